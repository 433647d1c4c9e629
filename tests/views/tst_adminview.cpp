// Account administration: approving, rejecting and blocking from the view against the real
// server, a change on a stale record, a retry of pending e-mails, records read leniently and
// sent back as read, and the texts in both languages.

#include "support/cannedserver.h"
#include "support/files.h"
#include "support/modeltesting.h"
#include "support/relabelling.h"
#include "support/servertesting.h"
#include "support/viewtesting.h"
#include "support/xdghome.h"
#include "views/adminview.h"

#include <QAction>
#include <QDir>
#include <QPushButton>
#include <QScopeGuard>
#include <QSettings>
#include <QToolButton>

using namespace quorvale;
using namespace quorvale::test;

namespace {

QWidget *rowOf(const QWidget &view, const QString &id)
{
    return view.findChild<QWidget *>(QStringLiteral("account:") + id);
}

bool hasMenu(const QWidget *row)
{
    return child<QToolButton>(*row, "changeAccess")->isVisibleTo(row);
}

// Picks an entry of the row's "Change access" menu and waits for the change and its reload.
void choose(const WorkspaceModel &m, const QWidget *row, const char *entry)
{
    child<QAction>(*row, entry)->trigger();
    QVERIFY(m.busy());
    QTRY_VERIFY(!m.busy());
}

} // namespace

class AdminViewTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        QVERIFY(m_server.start());
        // The first account is the administrator.
        m_adminId = m_server.addAccount("root@example.test", "Root");
        m_adminToken = m_server.token(m_adminId);
    }

    void init()
    {
        QSettings().remove("language");
        m_model = serverModel(m_server, m_adminToken);
    }

    void approveRejectAndBlockFromTheMenu()
    {
        const QString ana = addAccount("ana", "contoso");
        QVERIFY(!ana.isEmpty());
        QCOMPARE(errorOf(m_model->connect()), QString());
        AdminView view(*m_model);
        view.show();
        QWidget *row = rowOf(view, ana);
        QVERIFY(row);
        QCOMPARE(text(*row, "tenant"), "Tenant: contoso");
        QCOMPARE(text(*row, "notification"), "Correo: sent"); // the administrators were told
        QCOMPARE(text(*row, "status"), "pending");
        QVERIFY(hasMenu(row));
        QVERIFY(!hasMenu(rowOf(view, m_adminId)));

        // Each change tells the account and shows the server's new state, read back from it.
        const char *changes[][2] = {
            {"approve", "approved"}, {"reject", "rejected"}, {"block", "blocked"}};
        int mails = 0;
        for (const auto &[entry, status] : changes) {
            choose(*m_model, rowOf(view, ana), entry);
            QCOMPARE(m_model->message(), QString());
            row = rowOf(view, ana);
            QCOMPARE(text(*row, "status"), QString::fromLatin1(status));
            QCOMPARE(mailsTo("ana@example.test").size(), ++mails);
        }

        // Every text is relabelled at once; the accounts' own values stay.
        QCOMPARE(
            relabelFaults(*m_model, {"Root", "root@example.test", "ana", "ana@example.test",
                                     "Tenant: local", "Tenant: contoso", "approved", "blocked"}),
            QString());
    }

    void aStaleRecordChangesNothingAndSaysWhy()
    {
        const QString bea = addAccount("bea");
        QCOMPARE(errorOf(m_model->connect()), QString());
        AdminView view(*m_model);
        view.show();
        const JSON::Array before = m_model->accounts();

        // Changed elsewhere after the list was read: the approval is refused, nothing moves.
        QVERIFY(m_server.setStatus(bea, "block"));
        choose(*m_model, rowOf(view, bea), "approve");
        QVERIFY(!m_model->message().isEmpty());
        QVERIFY(m_model->accounts() == before);
        QCOMPARE(text(*rowOf(view, bea), "status"), "pending");

        // Reloaded, the list shows the server's state and the change goes through.
        m_model->setMessage(QString());
        QCOMPARE(errorOf(m_model->loadAccounts()), QString());
        QCOMPARE(text(*rowOf(view, bea), "status"), "blocked");
        choose(*m_model, rowOf(view, bea), "approve");
        QCOMPARE(text(*rowOf(view, bea), "status") + m_model->message(), "approved");
    }

    void retryDeliversWhatIsPending()
    {
        // A file where the spool directory should be makes every delivery fail.
        const QString spool = m_server.dataDir() + "/mail";
        const QString saved = spool + ".saved";
        const auto putBack = [&] { return QFile::remove(spool) && QDir().rename(saved, spool); };
        QVERIFY(QDir().rename(spool, saved));
        auto restore = qScopeGuard(putBack);
        QVERIFY(QFile(spool).open(QIODevice::WriteOnly));

        const QString carla = addAccount("carla");
        QCOMPARE(errorOf(m_model->connect()), QString());
        AdminView view(*m_model);
        view.show();
        QCOMPARE(text(*rowOf(view, carla), "notification"), "Correo: pending");

        // Still failing: the e-mail stays pending and nothing is said to be sent.
        auto *retry = child<QPushButton>(view, "retryNotifications");
        retry->click();
        QTRY_VERIFY(!m_model->busy());
        QCOMPARE(text(*rowOf(view, carla), "notification"), "Correo: pending");

        restore.dismiss();
        QVERIFY(putBack());
        retry->click();
        QTRY_VERIFY(!m_model->busy());
        QCOMPARE(m_model->message(), QString());
        QCOMPARE(text(*rowOf(view, carla), "notification"), "Correo: sent");
        QCOMPARE(mailsTo("root@example.test").filter(carla).size(), 1);
    }

    void recordsAreReadLenientlyAndSentBackAsRead()
    {
        CannedServer canned(m_server.dataDir() + "/server.pem",
                            m_server.dataDir() + "/server-key.pem");
        QVERIFY(canned.listen());
        auto m = test::cannedModel(m_server, canned);
        const QByteArray list = R"({"accounts":[
            {"id":"x/../y?z#w","name":"<b>Dana</b><img src='x'>","version":{"n":[1,"two"]},"notification":"sent"},
            {"id":"adm","name":"Admin","role":"admin","notification":{"status":"sent"}},
            {"id":"nov","name":7,"role":["admin"]},
            5]})";
        canned.reply(CannedServer::response(200, list));
        QCOMPARE(errorOf(m->loadAccounts()), QString());
        AdminView view(*m);
        view.show();

        // Missing or odd members read as empty; only the role "admin" itself hides the menu.
        QWidget *dana = rowOf(view, "x/../y?z#w");
        // Names are text, never markup.
        QCOMPARE(text(*dana, "name"), "<b>Dana</b><img src='x'>");
        QCOMPARE(child<QLabel>(*dana, "name")->textFormat(), Qt::PlainText);
        QCOMPARE(text(*dana, "notification"), "Correo: ");
        QCOMPARE(text(*dana, "status"), "");
        QVERIFY(hasMenu(dana));
        QVERIFY(!hasMenu(rowOf(view, "adm")));
        QCOMPARE(text(*rowOf(view, "nov"), "name"), "");
        QVERIFY(hasMenu(rowOf(view, "nov")));
        QVERIFY(hasMenu(rowOf(view, "")));

        // The id stays one segment of the path; the version goes back exactly as read, then the
        // list is reloaded once.
        canned.reply(CannedServer::response(200, "{}"));
        canned.reply(CannedServer::response(200, list));
        choose(*m, dana, "approve");
        QCOMPARE(m->message(), QString());
        QCOMPARE(canned.requests().size(), 3);
        QCOMPARE(canned.requests()[1].method + ' ' + canned.requests()[1].target,
                 "POST /api/admin/accounts/x%2F..%2Fy%3Fz%23w");
        QCOMPARE(JSON::decode(canned.requests()[1].body.toStdString()),
                 JSON::decode(R"({"status":"approved","version":{"n":[1,"two"]}})"));
        QCOMPARE(canned.requests()[2].method + ' ' + canned.requests()[2].target,
                 "GET /api/admin/accounts");

        // A record without a version sends null; an answer without "accounts" empties the list.
        canned.reply(CannedServer::response(200, "{}"));
        canned.reply(CannedServer::response(200, R"({"accounts":"none"})"));
        choose(*m, rowOf(view, "nov"), "block");
        QCOMPARE(JSON::decode(canned.requests()[3].body.toStdString()),
                 JSON::decode(R"({"status":"blocked","version":null})"));
        QVERIFY(m->accounts().empty());
        QVERIFY(!rowOf(view, "nov"));

        // A refused change says why and reloads nothing.
        canned.reply(CannedServer::response(200, list));
        QCOMPARE(errorOf(m->loadAccounts()), QString());
        canned.reply(CannedServer::response(403, R"({"error":"solo administradores"})"));
        choose(*m, rowOf(view, "nov"), "reject");
        QVERIFY(!m->message().isEmpty());
        QCOMPARE(canned.requests().size(), 7);
        QCOMPARE(m->accounts().size(), std::size_t(4));
    }

    void aListAskedForBeforeSignOutIsDropped()
    {
        QCOMPARE(errorOf(m_model->connect()), QString());
        QVERIFY(!m_model->accounts().empty());
        auto loading = start(m_model->loadAccounts());
        m_model->clearPrivateMemory();
        QCOMPARE(loading.finish().error, QString());
        QVERIFY(m_model->accounts().empty());
    }

private:
    QString addAccount(const QString &name, const QString &tenant = "local")
    {
        bool ok = false;
        const QByteArray id = m_server.cli({"account", "add", "--email", name + "@example.test",
                                            "--name", name, "--tenant", tenant},
                                           &ok);
        return ok ? QString::fromUtf8(id) : QString();
    }

    // The e-mails in the server's spool addressed to email.
    QStringList mailsTo(const QString &email) const { return test::mailsTo(m_server, email); }

    XdgHome m_home;
    ReferenceServer m_server;
    QString m_adminId;
    QString m_adminToken;
    std::unique_ptr<WorkspaceModel> m_model;
};

QTEST_MAIN(AdminViewTest)
#include "tst_adminview.moc"
