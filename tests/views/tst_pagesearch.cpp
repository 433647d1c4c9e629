// "All pages": the search in titles and block texts that ignores case and accents, the result
// rows (reconciled as the user types), selection, the imported tag and the language; and the
// fast folding, which must agree with the model's search key everywhere.

#include "model/document.h"
#include "navtesting.h"
#include "views/pagesearchview.h"
#include "views/rowmodel.h"
#include "model/textsearch.h"

#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QRandomGenerator>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>

using quorvale::JSON;
using quorvale::PageSearchView;
using quorvale::TextSearch;
using quorvale::WorkspaceModel;
using namespace quorvale::test;

namespace {

JSON blocks(std::initializer_list<JSON> texts)
{
    JSON list = JSON::array();
    for (const JSON &text : texts)
        list.append(JSON::object({{"id", "b"}, {"type", "text"}, {"text", text}}));
    return list;
}

JSON sampleWorkspace()
{
    return workspace({
        page("team", "Reunión de equipo"),
        with(page("year", "Año nuevo"), "blocks", blocks({"Presupuesto anual", 42})),
        with(page("plain", "Plain"), "blocks", blocks({JSON(), "la oﬁcina cerró"})),
        with(with(page("gone", "Reunión borrada"), "trashed", true), "blocks",
             blocks({"presupuesto"})),
        with(with(page("notion", "Importada de Notion"), "importBatchId", "batch-1"), "blocks",
             "not a list"),
        with(page("empty", ""), "importBatchId", ""),
    });
}

std::string key(std::string_view text)
{
    std::string out;
    TextSearch::appendKey(out, text);
    return out;
}

std::string utf8(char32_t code)
{
    return QString::fromUcs4(&code, 1).toStdString();
}

} // namespace

class PageSearchTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void findsTitlesAndBlockTextsWhateverTheCaseAndAccents_data();
    void findsTitlesAndBlockTextsWhateverTheCaseAndAccents();
    void typingNarrowsTheRowsWithoutRebuildingThem();
    void resultsFollowTheDocument();
    void clickingAResultOpensThePage();
    void importedPagesAreTaggedInTheLanguage();

    void foldingAgreesWithTheModelsSearchKey();

private:
    QTemporaryDir m_home;
    std::unique_ptr<WorkspaceModel> m_model;
};

void PageSearchTest::initTestCase()
{
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.filePath(QStringLiteral("config"))));
}

void PageSearchTest::init()
{
    QSettings().remove(QStringLiteral("language"));
    m_model = offlineModel();
    m_model->setWorkspace(sampleWorkspace());
}

void PageSearchTest::findsTitlesAndBlockTextsWhateverTheCaseAndAccents_data()
{
    QTest::addColumn<QString>("search");
    QTest::addColumn<QStringList>("results");

    const QStringList visible{"team", "year", "plain", "notion", "empty"};
    QTest::newRow("empty: every visible page") << "" << visible;
    QTest::newRow("accent left out") << "reunion" << QStringList{"team"};
    QTest::newRow("capitals and accents") << "REUNIÓN DE" << QStringList{"team"};
    QTest::newRow("ñ typed as n") << "ano nuevo" << QStringList{"year"};
    QTest::newRow("only in a block") << "presupuesto" << QStringList{"year"};
    QTest::newRow("accent only in the search") << "cerro" << QStringList{"plain"};
    QTest::newRow("a ligature") << "oficina" << QStringList{"plain"};
    QTest::newRow("nothing matches") << "zzz" << QStringList{};
    QTest::newRow("spaces are not trimmed") << " nuevo " << QStringList{};
    QTest::newRow("a space is searched for")
        << " " << QStringList{"team", "year", "plain", "notion"};
    QTest::newRow("numbers in blocks are not text") << "42" << QStringList{};
}

void PageSearchTest::findsTitlesAndBlockTextsWhateverTheCaseAndAccents()
{
    QFETCH(QString, search);
    QFETCH(QStringList, results);

    PageSearchView view(*m_model);
    auto *field = view.findChild<QLineEdit *>(QStringLiteral("search"));
    QCOMPARE(field->text(), QString()); // a new view starts with an empty search
    QTest::keyClicks(field, search);
    QCOMPARE(view.search(), search);
    QCOMPARE(tags(view.findChild<QListView *>(QStringLiteral("results"))->model()), results);
}

void PageSearchTest::typingNarrowsTheRowsWithoutRebuildingThem()
{
    PageSearchView view(*m_model);
    const QAbstractItemModel *rows =
        view.findChild<QListView *>(QStringLiteral("results"))->model();
    const QPersistentModelIndex year(rows->index(1, 0));
    QSignalSpy reset(rows, &QAbstractItemModel::modelReset);
    QSignalSpy changed(rows, &QAbstractItemModel::dataChanged);
    QSignalSpy removed(rows, &QAbstractItemModel::rowsRemoved);

    auto *field = view.findChild<QLineEdit *>(QStringLiteral("search"));
    QTest::keyClicks(field, QStringLiteral("an"));
    QTest::keyClick(field, Qt::Key_Backspace);
    QTest::keyClicks(field, QStringLiteral("nu"));
    QCOMPARE(tags(rows), QStringList({"year"}));
    QCOMPARE(reset.count(), 0);
    QCOMPARE(changed.count(), 0);
    QVERIFY(removed.count() > 0);
    QVERIFY(year.isValid());
    QCOMPARE(year.row(), 0);
}

void PageSearchTest::resultsFollowTheDocument()
{
    PageSearchView view(*m_model);
    const QAbstractItemModel *rows =
        view.findChild<QListView *>(QStringLiteral("results"))->model();
    view.setSearch(QStringLiteral("informe"));
    QCOMPARE(rows->rowCount(), 0);

    // A page renamed, or a block typed, while the search is open shows up at once.
    m_model->rename("plain", QStringLiteral("Informe final"));
    QCOMPARE(tags(rows), QStringList({"plain"}));
    QCOMPARE(texts(rows), QStringList({"📄 Informe final"}));
    m_model->updatePage("team", [](JSON &p) { p.set("blocks", blocks({"Ver el INFORME"})); });
    QCOMPARE(tags(rows), QStringList({"team", "plain"}));
    m_model->updatePage("plain", [](JSON &p) { p.set("trashed", true); });
    QCOMPARE(tags(rows), QStringList({"team"}));
}

void PageSearchTest::clickingAResultOpensThePage()
{
    PageSearchView view(*m_model);
    view.resize(800, 600);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    auto *list = view.findChild<QListView *>(QStringLiteral("results"));
    clickRow(list, list->model()->index(2, 0));
    QCOMPARE(m_model->selection(), "plain");
    QCOMPARE(list->selectionModel()->selectedIndexes().value(0).row(), 2);

    // The highlight follows the search: the selected page stays highlighted where it goes.
    view.setSearch(QStringLiteral("oficina"));
    QCOMPARE(list->selectionModel()->selectedIndexes().value(0).row(), 0);
    view.setSearch(QStringLiteral("reunion"));
    QVERIFY(!list->selectionModel()->hasSelection());
    QCOMPARE(m_model->selection(), "plain");
}

void PageSearchTest::importedPagesAreTaggedInTheLanguage()
{
    PageSearchView view(*m_model);
    const QAbstractItemModel *rows =
        view.findChild<QListView *>(QStringLiteral("results"))->model();
    QStringList tagsShown;
    for (int i = 0; i < rows->rowCount(); ++i)
        tagsShown << rows->index(i, 0).data(quorvale::DetailRole).toString();
    QCOMPARE(tagsShown, QStringList({"", "", "", "Importada", ""}));
    QCOMPARE(view.findChild<QLabel *>(QStringLiteral("title"))->text(), "Todas las páginas");
    QCOMPARE(view.findChild<QLineEdit *>(QStringLiteral("search"))->placeholderText(),
             "Buscar título o contenido…");

    view.setSearch(QStringLiteral("notion"));
    m_model->setLanguage(QStringLiteral("en"));
    QCOMPARE(rows->index(0, 0).data(quorvale::DetailRole).toString(), "Imported");
    QCOMPARE(view.findChild<QLabel *>(QStringLiteral("title"))->text(), "All pages");
    QCOMPARE(view.findChild<QLineEdit *>(QStringLiteral("search"))->placeholderText(),
             "Search titles or content…");
    QCOMPARE(view.search(), "notion"); // relabelling leaves what the user typed alone
}

void PageSearchTest::foldingAgreesWithTheModelsSearchKey()
{
    // Every code point, alone and between letters.
    for (char32_t code = 1; code < 0x110000; ++code) {
        if (code >= 0xD800 && code <= 0xDFFF)
            continue;
        const std::string text = "a" + utf8(code) + "B";
        if (key(text) != quorvale::document::searchKey(text))
            QFAIL(qPrintable(QStringLiteral("U+%1 folds differently").arg(quint32(code), 4, 16)));
    }

    // Runs of letters, combining marks (in and out of canonical order), Hangul, emoji with
    // joiners and variation selectors, compatibility forms.
    const std::u32string pieces =
        U"aAzZ \u00e9\u00c9\u00f1\u0301\u0323\u0308\u0327\u1e9e\u00df\u0130\u0131\ufb01\u2126"
        U"\uac00\u1100\u1161\u11a8\U0001F399\ufe0f\u200d\U0001F469\u0915\u093f\u0d4d\u3300\uff21";
    QRandomGenerator random(20261206);
    for (int run = 0; run < 2000; ++run) {
        std::u32string text;
        const int length = random.bounded(1, 12);
        for (int i = 0; i < length; ++i)
            text.push_back(pieces[random.bounded(quint32(pieces.size()))]);
        const std::string bytes =
            QString::fromUcs4(text.data(), static_cast<qsizetype>(text.size())).toStdString();
        QCOMPARE(key(bytes), quorvale::document::searchKey(bytes));
    }

    // Appending keeps what was there.
    std::string out = "kept|";
    TextSearch::appendKey(out, "Árbol");
    QCOMPARE(out, std::string("kept|arbol"));
    TextSearch search("ÁRBOL");
    QVERIFY(search.foundIn("El arbol del patio"));
    QVERIFY(!search.foundIn("El arbusto"));
    QVERIFY(TextSearch("\u0301").foundIn("anything")); // a search that folds to nothing
}

QTEST_MAIN(PageSearchTest)
#include "tst_pagesearch.moc"
