// The meetings list: its counters over every meeting, the filter fields bound to the model, the
// list of filtered meetings from the real server, selection, the new-meeting button, and the
// language.

#include "support/httpsclient.h"
#include "support/modeltesting.h"
#include "support/relabelling.h"
#include "support/viewtesting.h"
#include "support/xdghome.h"
#include "views/meetingsview.h"
#include "views/rowmodel.h"

#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QSettings>

using namespace quorvale;
using namespace quorvale::test;

namespace {

JSON meetingPage(const std::string &id, const std::string &title, const std::string &created)
{
    JSON p = with(page(id, title), "meeting", true);
    if (!created.empty())
        p.set("createdAt", created);
    return p;
}

} // namespace

class MeetingsViewTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        QVERIFY(m_server.start());
        m_token = m_server.token(m_server.addAccount(QStringLiteral("host@example.test")));

        // The account's meetings: two with recordings, one imported, one without a date, and a
        // trashed one the server leaves out.
        auto model = serverModel(m_server, m_token);
        QCOMPARE(errorOf(model->connect()), QString());
        model->setWorkspace(workspace({
            meetingPage("m-team", "Reunión de equipo", "2026-03-01T09:00:00Z"),
            meetingPage("m-plan", "Planning", "2026-03-15T10:00:00Z"),
            page("notes", "Notes"),
            meetingPage("m-retro", "Retro", "2026-04-01T16:00:00Z"),
            with(meetingPage("m-import", "Kick-off", "2026-02-10T08:00:00Z"), "importBatchId",
                 "b1"),
            meetingPage("m-undated", "Sin fecha", ""),
            with(meetingPage("m-gone", "Gone", "2026-03-02T08:00:00Z"), "trashed", true),
        }));
        model->updatePage("notes", [](JSON &) {}); // an edit, so that there is something to save
        QCOMPARE(errorOf(model->save()), QString());
        HttpsClient client(m_server);
        for (const std::string page : {"m-team", "m-team", "m-plan", "m-plan", "m-plan"}) {
            QCOMPARE(client
                         .send("POST", "/api/recordings?name=a.m4a&pageId=" + page,
                               m_token.toStdString(), "not really audio", "audio/mp4")
                         .status,
                     201);
        }
    }

    void init()
    {
        QSettings().remove(QStringLiteral("language"));
        m_model = serverModel(m_server, m_token);
        QCOMPARE(errorOf(m_model->connect()), QString());
    }

    void countersAddUpEveryMeeting_data()
    {
        QTest::addColumn<QString>("meetings");
        QTest::addColumn<QList<qint64>>("counts"); // meetings, imported, recordings
        QTest::newRow("counts that are missing or not numbers count 0")
            << R"([{"audioCount":2},{"audioCount":3},{},{"audioCount":"4"},{"audioCount":[1]}])"
            << QList<qint64>{5, 0, 5};
        QTest::newRow("only true is imported, entries that are not objects count")
            << R"([{"imported":true},{"imported":"true"},{"imported":1},1,null])"
            << QList<qint64>{5, 1, 0};
        QTest::newRow("absurd counts are held to 64 bits")
            << R"([{"audioCount":1e300},{"audioCount":1e300}])"
            << QList<qint64>{2, 0, std::numeric_limits<qint64>::max()};
    }

    void countersAddUpEveryMeeting()
    {
        QFETCH(QString, meetings);
        QFETCH(QList<qint64>, counts);
        const auto counted = MeetingsView::count(JSON::decode(meetings.toStdString()).arrayValue());
        QCOMPARE((QList<qint64>{counted.meetings, counted.imported, counted.recordings}), counts);
    }

    void showsTheServersMeetingsNewestFirstInTheLanguage()
    {
        MeetingsView view(*m_model);
        view.resize(900, 700);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QCOMPARE(text(view, "meetingCount"), "5");
        QCOMPARE(text(view, "recordingCount"), "5");

        auto *list = child<QListView>(view, "meetings");
        const QAbstractItemModel *rows = list->model();
        QCOMPARE(tags(rows), QStringList({"m-retro", "m-plan", "m-team", "m-import", "m-undated"}));
        QCOMPARE(column(rows, DetailRole), QStringList({"2026-04-01", "2026-03-15", "2026-03-01",
                                                        "2026-02-10", "Fecha no indicada"}));
        QCOMPARE(column(rows, CountRole), QStringList({"0", "3", "2", "0", "0"}));

        clickRow(list, rows->index(1, 0));
        QCOMPARE(m_model->selection(), "m-plan");
        QCOMPARE(list->selectionModel()->selectedIndexes().value(0).row(), 1);
        m_model->select(QStringLiteral("@meetings"));
        QVERIFY(!list->selectionModel()->hasSelection());

        // Relabelled at once; neither rows nor fields are walked: spot-checked.
        QCOMPARE(relabelFaults(*m_model), QString());
        m_model->setLanguage(QStringLiteral("en"));
        QCOMPARE(child<QLineEdit>(view, "query")->placeholderText(), "Search by name…");
        QCOMPARE(rows->index(4, 0).data(DetailRole).toString(), "Date not provided");
    }

    void fieldsWriteTheModelsFilter()
    {
        MeetingsView view(*m_model);
        view.show();
        auto *query = child<QLineEdit>(view, "query");
        auto *from = child<QLineEdit>(view, "from");
        auto *to = child<QLineEdit>(view, "to");
        const QAbstractItemModel *rows = child<QListView>(view, "meetings")->model();

        // The counters count every meeting, not the filtered ones.
        QTest::keyClicks(query, QStringLiteral("reunion"));
        QCOMPARE(tags(rows), QStringList({"m-team"}));
        QCOMPARE(text(view, "meetingCount"), "5");

        query->selectAll();
        QTest::keyClick(query, Qt::Key_Backspace);
        QTest::keyClicks(from, QStringLiteral("2026-03-01"));
        QTest::keyClicks(to, QStringLiteral("2026-03-31"));
        QCOMPARE(tags(rows), QStringList({"m-plan", "m-team"}));

        // "Clear" empties the model's filter, and the fields show it.
        child<QPushButton>(view, "clear")->click();
        QCOMPARE(m_model->from() + to->text(), QString());
        QCOMPARE(rows->rowCount(), 5);

        // The filter lives in the model: the fields follow changes made elsewhere.
        m_model->setQuery(QStringLiteral("retro"));
        QCOMPARE(query->text(), "retro");
        QCOMPARE(tags(rows), QStringList({"m-retro"}));
    }

    void aNewMeetingThatCannotBeSavedIsKept()
    {
        // Without a server: kept, unsaved, and the failure said.
        auto offline = offlineModel();
        MeetingsView alone(*offline);
        child<QPushButton>(alone, "newMeeting")->click();
        QTRY_VERIFY(!offline->busy());
        QVERIFY(!offline->message().isEmpty() && offline->dirty());
        // Saved, it is listed: the end-to-end run makes one from this button.
    }

private:
    XdgHome m_home;
    ReferenceServer m_server;
    QString m_token;
    std::unique_ptr<WorkspaceModel> m_model;
};

QTEST_MAIN(MeetingsViewTest)
#include "tst_meetingsview.moc"
