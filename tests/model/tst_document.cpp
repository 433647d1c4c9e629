#include "model/document.h"

#include <QTest>

using quorvale::JSON;
namespace document = quorvale::document;

namespace {

constexpr std::string_view later = "2026-03-02T10:00:00Z";

JSON workspace(const char *pages)
{
    return JSON::decode(std::string(R"({"name":"w","pages":)") + pages + "}");
}

QStringList ids(const JSON::Array &list)
{
    QStringList out;
    for (const JSON &item : list)
        out << QString::fromUtf8(item.id().data(), static_cast<qsizetype>(item.id().size()));
    return out;
}

} // namespace

class DocumentTest : public QObject
{
    Q_OBJECT

private slots:
    // Editing pages.
    void updatingAMissingPageChangesNothing()
    {
        for (const char *pages : {"[]", R"([{"id":"a"}])", R"("not a list")"}) {
            JSON w = workspace(pages);
            const JSON before = w;
            bool called = false;
            QVERIFY(!document::updatePage(
                w, "zzz", [&](JSON &) { called = true; }, later));
            QVERIFY(!called);
            QVERIFY(w.isIdenticalTo(before));
        }
        JSON none;
        QVERIFY(!document::updatePage(
            none, "", [](JSON &) {}, later));
        QVERIFY(none.isNull());
    }

    void updatingStampsOnlyThePageItChanged()
    {
        JSON w = workspace(R"([{"id":"a","updatedAt":"old"},{"id":"b","updatedAt":"old"},
                               {"id":"b","title":"second b"}])");
        const JSON before = w;
        QVERIFY(document::updatePage(w, "b", document::rename("Plan"), later));
        QCOMPARE(w["pages"].at(1), JSON::decode(R"({"id":"b","title":"Plan","updatedAt":")" +
                                                std::string(later) + R"("})"));
        QVERIFY(w["pages"].at(0).isIdenticalTo(before["pages"].at(0)));
        QVERIFY(w["pages"].at(2).isIdenticalTo(before["pages"].at(2)));
        // The copy held before the edit (a save's snapshot) did not move.
        QCOMPARE(before["pages"].at(1), JSON::decode(R"({"id":"b","updatedAt":"old"})"));
    }

    void blockEditsFindTheFirstMatchingBlock()
    {
        JSON w = workspace(R"([{"id":"p","blocks":[{"id":"x","type":"text","text":"1"},
                                                   {"id":"x","type":"text","text":"2"}]}])");
        QVERIFY(
            document::updatePage(w, "p", document::setBlockMember("x", "checked", true), later));
        QVERIFY(document::updatePage(w, "p", document::setBlockMember("x", "type", "todo"), later));
        const auto &blocks = w["pages"].at(0)["blocks"].arrayValue();
        QCOMPARE(blocks[0]["checked"], JSON(true));
        QCOMPARE(blocks[0]["type"], JSON("todo"));
        QVERIFY(!blocks[1].contains("checked"));
        // A to-do turned back to text keeps its check mark.
        QVERIFY(document::updatePage(w, "p", document::setBlockMember("x", "type", "text"), later));
        QCOMPARE(w["pages"].at(0)["blocks"].at(0)["checked"], JSON(true));

        // No such block, whatever the blocks are: they stay, and the page is stamped all the same.
        for (const char *kept : {R"([{"id":"x"}])", R"("garbage")", "null"}) {
            JSON odd = workspace((std::string(R"([{"id":"p","blocks":)") + kept + "}]").c_str());
            const JSON before = odd["pages"].at(0)["blocks"];
            QVERIFY(
                document::updatePage(odd, "p", document::setBlockMember("no", "text", "t"), later));
            QCOMPARE(odd["pages"].at(0)["updatedAt"], JSON(later));
            QVERIFY(odd["pages"].at(0)["blocks"].isIdenticalTo(before));
        }
    }

    void favouriteTogglesFromItsLenientValue()
    {
        JSON w = workspace(R"([{"id":"p"},{"id":"q","favorite":"yes"}])");
        QVERIFY(document::updatePage(w, "p", document::toggleFavorite(), later));
        QCOMPARE(w["pages"].at(0)["favorite"], JSON(true));
        QVERIFY(document::updatePage(w, "p", document::toggleFavorite(), later));
        QCOMPARE(w["pages"].at(0)["favorite"], JSON(false));
        // A text "yes" is not true: the first toggle makes it a favourite.
        QVERIFY(document::updatePage(w, "q", document::toggleFavorite(), later));
        QCOMPARE(w["pages"].at(1)["favorite"], JSON(true));
    }

    void cardsAreAddedAndEditedById()
    {
        JSON w = workspace(R"([{"id":"b","kind":"board"}])");
        QVERIFY(
            document::updatePage(w, "b", document::addCard("c1", "New task", "En curso"), later));
        QVERIFY(document::updatePage(w, "b", document::addCard("c2", "New task", "Listo"), later));
        QVERIFY(
            document::updatePage(w, "b", document::setCardMember("c2", "priority", "Alta"), later));
        QCOMPARE(w["pages"].at(0)["cards"], JSON::decode(R"([
            {"id":"c1","title":"New task","status":"En curso","priority":"Media","tag":""},
            {"id":"c2","title":"New task","status":"Listo","priority":"Alta","tag":""}])"));

        // No card with that id: the cards stay as they were, whatever they were.
        JSON odd = workspace(R"([{"id":"b","cards":{"not":"a list"}}])");
        QVERIFY(document::updatePage(odd, "b", document::setCardMember("c9", "title", "x"), later));
        QCOMPARE(odd["pages"].at(0)["cards"], JSON::decode(R"({"not":"a list"})"));
    }

    void unknownKeysSurviveEdits()
    {
        JSON w = JSON::decode(R"({"schemaVersion":1,"theme":"dark","x-other":{"k":[1,2]},
            "pages":[{"id":"p","cover":"c.png","custom":true,"blocks":[{"id":"b","color":"red"}]}]})");
        QVERIFY(document::updatePage(w, "p", document::setBlockMember("b", "text", "hola"), later));
        QVERIFY(
            document::updatePage(w, "p", document::appendBlock(document::block("n", "h1")), later));
        QCOMPARE(w, JSON::decode(R"({"schemaVersion":1,"theme":"dark","x-other":{"k":[1,2]},
            "pages":[{"id":"p","cover":"c.png","custom":true,"updatedAt":"2026-03-02T10:00:00Z",
                      "blocks":[{"id":"b","color":"red","text":"hola"},
                                {"id":"n","type":"h1","text":"","checked":false}]}]})"));
    }

    void appendingPagesToABrokenWorkspace()
    {
        document::NewPage fields{
            "p1", "document", false, JSON(), "Sin título", "b1", "2026-03-01T09:30:00Z"};
        // A null workspace is the model suite's case.
        JSON odd = JSON::decode(R"({"name":"w","pages":"broken"})");
        document::appendPage(odd, document::page(fields));
        QCOMPARE(odd,
                 JSON::object({{"name", "w"}, {"pages", JSON::array({document::page(fields)})}}));
    }

    // Queries.
    void findsPagesByPlainIdEquality()
    {
        const JSON w = workspace(R"([{"id":"a","n":1},{"id":"a","n":2},{"id":"A"},{"title":"no id"},
                                     {"id":"t","trashed":true}])");
        QCOMPARE(document::findPage(w, "a")["n"].numberValue(), 1.0);
        QCOMPARE(document::findPage(w, "A").id(), std::string_view("A"));
        QVERIFY(document::findPage(w, "@meetings").isNull());
        // Trashed pages can still be the selected one.
        QCOMPARE(document::findPage(w, "t").id(), std::string_view("t"));
        QVERIFY(document::findPage(JSON(), "a").isNull());
    }

    void trashedMeansTheBooleanTrue()
    {
        const JSON w = workspace(R"([{"id":"1","trashed":true},{"id":"2","trashed":"true"},
                                     {"id":"3","trashed":false},{"id":"4"},{"id":"5","trashed":1}])");
        QCOMPARE(ids(document::visiblePages(w)), (QStringList{"2", "3", "4", "5"}));
    }

    void filterMeetings_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::addColumn<QStringList>("expected");
        const auto row = [](const char *name, const char *query, const char *from, const char *to,
                            QStringList expected) {
            QTest::newRow(name) << query << from << to << expected;
        };
        row("no filter keeps all, undated last", "", "", "",
            {"apr1", "mar31", "mar15", "time", "undated"});
        row("accents and case ignored", "REUNION", "", "", {"mar31", "mar15"});
        row("march range is inclusive", "", "2026-03-01", "2026-03-31", {"mar31", "mar15", "time"});
        row("a time after the date sorts after it", "", "", "2026-03-01", {});
        row("from bound alone drops undated", "", "2026-03-16", "", {"apr1", "mar31"});
    }

    void filterMeetings()
    {
        QFETCH(QString, query);
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(QStringList, expected);
        const JSON meetings = JSON::decode(R"([
            {"id":"mar15","title":"Reunión de equipo","date":"2026-03-15"},
            {"id":"undated","title":"Sin fecha aún"},
            {"id":"time","title":"Kickoff","date":"2026-03-01T10:00"},
            {"id":"apr1","title":"Planning","date":"2026-04-01"},
            {"id":"mar31","title":"reunion mensual","date":"2026-03-31"}])");
        const auto kept = document::filterMeetings(
            meetings.arrayValue(), {query.toStdString(), from.toStdString(), to.toStdString()});
        QCOMPARE(ids(kept), expected);
    }

    void meetingsSortNewestFirstThenTitleDescending()
    {
        const JSON meetings = JSON::decode(R"([
            {"id":"alpha","title":"Alpha","date":"2026-03-01"},
            {"id":"beta","title":"Beta","date":"2026-03-01"},
            {"id":"tie1","title":"Same","date":"2026-02-01"},
            {"id":"empty","title":"Zeta","date":""},
            {"id":"tie2","title":"Same","date":"2026-02-01"},
            {"id":"numberdate","title":"N","date":20260301}])");
        QCOMPARE(ids(document::filterMeetings(meetings.arrayValue(), {})),
                 (QStringList{"beta", "alpha", "tie1", "tie2", "empty", "numberdate"}));
    }

    void searchKeyIgnoresCaseAndAccents()
    {
        QCOMPARE(document::searchKey("Reunión ÑANDÚ"), document::searchKey("reunion nandu"));
        // Decomposed input folds the same way as composed input.
        QCOMPARE(document::searchKey("Reunio\xcc\x81n"), std::string("reunion"));
        QCOMPARE(document::searchKey("Straße"), std::string("strasse"));
        QVERIFY(document::searchKey("Reunión 🎙️").find("🎙") != std::string::npos);
    }
};

QTEST_APPLESS_MAIN(DocumentTest)
#include "tst_document.moc"
