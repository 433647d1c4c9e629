#include "support/modeltesting.h"
#include "support/relabelling.h"
#include "support/viewtesting.h"
#include "support/xdghome.h"
#if QUORVALE_TEST_HOOKS
#include "views/automation.h"
#endif
#include "views/quorvaleapp.h"
#include "views/rootview.h"
#include "views/singleinstance.h"

#include <QAction>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QTimer>

#include <sys/stat.h>

using namespace quorvale;
using namespace quorvale::test;

namespace {

// Answers the next modal file dialog: chooses path, or cancels when it is empty. Keeps what
// the dialog proposed.
void answerFileDialog(const QString &path, QString *proposed)
{
    QTimer::singleShot(0, [path, proposed] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog) {
            answerFileDialog(path, proposed); // not open yet
            return;
        }
        *proposed = dialog->selectedFiles().value(0);
        if (path.isEmpty()) {
            dialog->reject();
        } else {
            dialog->selectFile(path);
            static_cast<QDialog *>(dialog)->accept();
        }
    });
}

QWidgetList settingsWindows()
{
    QWidgetList tops = QApplication::topLevelWidgets();
    tops.removeIf([](QWidget *top) { return top->objectName() != u"settingsWindow"; });
    return tops;
}

} // namespace

class QuorvaleAppTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        QVERIFY(m_server.start());
        m_accounts.add("admin@example.test");
    }

    void theWindowConnectsOnceWhenFirstShown()
    {
        auto a = app(m_accounts.add("ventana@example.test"));

        // Not before it is shown, and once however often it is shown.
        const qsizetype before = requests(m_server, "GET", "/auth/me");
        QCOMPARE(errorOf(a->model().load()), QString()); // a request awaited, to let it run
        QCOMPARE(requests(m_server, "GET", "/auth/me"), before);
        a->bringToFront();
        QTRY_VERIFY(a->model().approved());
        QTRY_VERIFY(!a->model().workspace().isNull());
        QCOMPARE(requests(m_server, "GET", "/auth/me"), before + 1);
        a->window().hide();
        a->bringToFront();
        // A request of its own after the showing: one more check, not two.
        QCOMPARE(errorOf(a->model().connect()), QString());
        QCOMPARE(requests(m_server, "GET", "/auth/me"), before + 2);
    }

    void fileCommandsAndSettingsFollowApprovalAndUnsavedEdits()
    {
        auto a = app(m_accounts.add("menu@example.test"));
        WorkspaceModel &m = a->model();

        a->bringToFront();
        QVERIFY(QTest::qWaitForWindowActive(&a->window()));
        QTRY_VERIFY(m.approved());
        QVERIFY(a->newPageAction()->isEnabled() && a->exportAction()->isEnabled() &&
                a->importAction()->isEnabled());
        QVERIFY(!a->saveAction()->isEnabled()); // nothing to save yet

        // The shortcuts: a new top-level document page; then saving it.
        QTest::keySequence(&a->window(), QKeySequence::New);
        QCOMPARE(m.visiblePages().size(), 1u);
        QVERIFY(m.dirty());
        QVERIFY(a->saveAction()->isEnabled());
        QTest::keySequence(&a->window(), QKeySequence::Save);
        QTRY_VERIFY(!m.dirty());
        QVERIFY(!a->saveAction()->isEnabled());

        // The window, menus included, relabelled with the language.
        QCOMPARE(relabelFaults(m, {"menu@example.test", "Sin título"}), QString());

        // One Settings window, showing the server, however often it is asked for.
        a->showSettings();
        QWidget *settings = settingsWindows().value(0);
        settings->close();
        child<QAbstractButton>(a->window(), "settings")->click(); // the sidebar's gear
        QVERIFY(settings->isVisible());
        QCOMPARE(settingsWindows().size(), 1);

        // Signing out takes the commands away.
        m.logout();
        QTRY_VERIFY(m.account().isNull());
        for (QAction *action :
             {a->newPageAction(), a->saveAction(), a->importAction(), a->exportAction()})
            QVERIFY2(!action->isEnabled(), qPrintable(action->text()));
    }

    void aWaitingAccountHasNoWorkspaceCommands()
    {
        auto a = app(m_accounts.add("pendiente@example.test", false));
        a->bringToFront();
        QTRY_VERIFY(!a->model().account().isNull());
        QVERIFY(!a->newPageAction()->isEnabled() && !a->exportAction()->isEnabled());
    }

    void exportingAsksWhereThroughTheFileDialog()
    {
        auto a = app(m_accounts.add("respaldo@example.test"));
        WorkspaceModel &m = a->model();
        a->bringToFront();
        QTRY_VERIFY(!m.workspace().isNull());
        m.newPage("document", false);

        // Cancelled: nothing is written.
        QString proposed;
        answerFileDialog(QString(), &proposed);
        a->exportAction()->trigger();
        QCOMPARE(QFileInfo(proposed).fileName(), "quorvale-respaldo.json");
        QVERIFY(m.message().isEmpty());

        // Chosen: the backup is written there (what it holds is the model suite's).
        const QString path = m_home.path() + QStringLiteral("/mi-respaldo.json");
        answerFileDialog(path, &proposed);
        a->exportAction()->trigger();
        QVERIFY(QFile::exists(path));
        QVERIFY(m.dirty()); // a backup is not a save
    }

    void theAutomationSocketTakesNoOneElsesFile()
    {
#if QUORVALE_TEST_HOOKS
        auto a = app(m_accounts.add("automation@example.test"));
        const QString taken = m_home.path() + QStringLiteral("/driver");
        QFile file(taken);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("not a socket");
        file.close();
        {
            const Automation automation(*a, taken);
            QVERIFY(!automation.isListening());
        }
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("not a socket"));

        // A free path: a socket only this user can reach, gone with the channel.
        const QString free = m_home.path() + QStringLiteral("/free");
        {
            const Automation automation(*a, free);
            QVERIFY(automation.isListening());
            struct stat st
            {};
            QCOMPARE(::lstat(QFile::encodeName(free).constData(), &st), 0);
            QVERIFY(S_ISSOCK(st.st_mode));
            QCOMPARE(st.st_mode & 077u, 0u);
        }
        QVERIFY(!QFileInfo::exists(free));
#else
        QSKIP("built without test hooks");
#endif
    }

private:
    std::unique_ptr<QuorvaleApp> app(const QString &token)
    {
        return std::make_unique<QuorvaleApp>(m_instance, serverModel(m_server, token));
    }

    XdgHome m_home;
    ReferenceServer m_server;
    Accounts m_accounts{m_server};
    SingleInstance m_instance{"quorvale-app-test-not-listening"};
};

QTEST_MAIN(QuorvaleAppTest)
#include "tst_quorvaleapp.moc"
