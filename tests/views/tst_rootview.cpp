#include "support/modeltesting.h"
#include "support/relabelling.h"
#include "support/viewtesting.h"
#include "support/xdghome.h"
#include "views/busyindicator.h"
#include "views/languagepicker.h"
#include "views/rootview.h"
#include "views/settingswindow.h"
#include "views/workspaceview.h"

#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QToolButton>

using namespace quorvale;
using namespace quorvale::test;

namespace {

void pickLanguage(LanguagePicker *picker, const QString &language)
{
    const int index = picker->findData(language);
    picker->setCurrentIndex(index);
    emit picker->activated(index);
}

} // namespace

class RootViewTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        QVERIFY(m_server.start());
        m_accounts.add("admin@example.test");
    }

    // The access screen.
    void signingInCanBeCancelledWhileItWaits()
    {
        // Waiting for the browser: busy, with a way out (the end-to-end run opens the browser).
        auto m = offlineModel();
        m->service().setBrowser([](const QUrl &) { return true; });
        RootView root(*m);
        root.show();
        auto *cancel = child<QPushButton>(root, "cancelSignIn");
        auto *busy = root.findChild<BusyIndicator *>();
        child<QPushButton>(root, "continueWithMicrosoft")->click();
        QVERIFY(m->busy() && cancel->isVisible() && busy->isVisible());

        cancel->click();
        QTRY_VERIFY(!m->busy());
        QVERIFY(!cancel->isVisible() && !busy->isVisible());
        QCOMPARE(m->message(), "Inicio de sesión cancelado");
    }

    void aPendingAccountWaitsThenChecksItsApproval()
    {
        auto m = serverModel(m_server, m_accounts.add("espera@example.test", false));
        const QString id = m_accounts.lastId();
        RootView root(*m);
        root.show();
        QCOMPARE(errorOf(m->connect()), QString());
        QVERIFY(child(root, "waitingPanel")->isVisible());

        // Approved meanwhile: checking opens the workspace.
        QVERIFY(m_server.setStatus(id, "approve"));
        child<QPushButton>(root, "checkApproval")->click();
        QTRY_VERIFY(m->approved());
        QVERIFY(root.findChild<WorkspaceView *>()->isVisible());

        // The waiting screen's sign-out does not ask.
        auto other = serverModel(m_server, m_accounts.add("otra@example.test", false));
        RootView waiting(*other);
        waiting.show();
        QCOMPARE(errorOf(other->connect()), QString());
        child<QPushButton>(waiting, "waitingSignOut")->click();
        QTRY_VERIFY(other->account().isNull());
        QVERIFY(!waiting.signOutConfirmation());
        QVERIFY(child(waiting, "signInPanel")->isVisible());
    }

    // The message alert.
    void theAlertFollowsTheMessage()
    {
        auto m = offlineModel();
        RootView root(*m);
        root.show();
        QVERIFY(QTest::qWaitForWindowExposed(&root));
        m->setMessage("Primero");
        QPointer<QMessageBox> box = root.alert();
        QMessageBox *shown = box.data();
        QVERIFY(shown);
        QTRY_VERIFY(shown->isVisible());

        // A newer message replaces the text; one alert, not a stack of them.
        const QString markup = "<img src=\"file:///etc/passwd\"><b>Error</b>";
        m->setMessage(markup);
        QCOMPARE(root.alert(), shown);
        QCOMPARE(root.findChildren<QMessageBox *>().size(), 1);
        // Messages come from the server and the disk: shown as they are, never as markup.
        QCOMPARE(shown->textFormat(), Qt::PlainText);
        QCOMPARE(shown->text(), markup);

        // Escape, or OK, is done with the message; the same one, set again, is shown again.
        QTest::keyClick(shown, Qt::Key_Escape);
        QCOMPARE(m->message(), QString());
        QTRY_VERIFY(!box);
        m->setMessage(markup);
        QTRY_VERIFY(root.alert() && root.alert()->isVisible());
        root.alert()->buttons().constFirst()->click();
        QCOMPARE(m->message(), QString());

        // Cleared elsewhere: the alert goes.
        m->setMessage(markup);
        box = root.alert();
        m->setMessage(QString());
        QTRY_VERIFY(!box);
    }

    // Language.
    void changingTheLanguageRelabelsEveryOpenView()
    {
        // The workspace open over the access screen, and the settings window: everything there.
        auto m = approvedModel("idioma@example.test");
        RootView root(*m);
        root.show();
        SettingsWindow settings(*m);
        settings.show();
        m->select("@admin");
        QCOMPARE(relabelFaults(*m, {"idioma@example.test"}), QString());

        // Chosen on the access screen, stored, and followed at once by everything, pickers
        // included.
        pickLanguage(child<LanguagePicker>(root, "languagePicker"), "en");
        QCOMPARE(QSettings().value("language").toString(), "en");
        QCOMPARE(child<LanguagePicker>(settings, "languagePicker")->currentText(), "English");
        pickLanguage(child<LanguagePicker>(settings, "languagePicker"), "es");
        QCOMPARE(m->language(), "es");

        // Anything but "en" reads as Spanish, and neither option is shown as chosen.
        m->setLanguage("fr");
        QCOMPARE(child<LanguagePicker>(root, "languagePicker")->currentIndex(), -1);
    }

    // The workspace.
    void theDetailFollowsTheSelection()
    {
        auto m = approvedModel("detalle@example.test");
        RootView root(*m);
        root.show();
        auto *workspace = root.findChild<WorkspaceView *>();
        const auto detailName = [&] { return workspace->detail()->objectName(); };

        QCOMPARE(detailName(), "meetingsView");
        m->select("@pages");
        QCOMPARE(detailName(), "pageSearchView");
        m->select("@admin");
        QCOMPARE(detailName(), "adminView");

        // A page in edit mode (the end-to-end run types its title there).
        m->newPage("document", false);
        const QString id = m->selection();
        QCOMPARE(detailName(), "pageView");
        child<QPushButton>(*workspace, "pageEdit")->click();

        // The sidebar's import asks for an archive; cancelling the panel does nothing at all.
        int asked = 0;
        m->setOpenPanel([&asked] {
            ++asked;
            return QString();
        });
        child<QPushButton>(root, "importNotion")->click();
        QCOMPARE(asked, 1);
        QVERIFY(!m->busy() && m->message().isEmpty() && m->importPreview().isNull());

        // An id that names no page; then the page again, which always opens for reading.
        m->select("0b9e4f4e-0000-4000-8000-000000000000");
        QCOMPARE(detailName(), "noPage");
        m->select(id);
        QCOMPARE(detailName(), "pageView");
        QVERIFY(!child<QLineEdit>(*workspace, "pageTitle")->isVisibleTo(workspace->detail()));
    }

    void theToolbarFollowsUnsavedEdits()
    {
        auto m = approvedModel("barra@example.test");
        RootView root(*m);
        root.show();
        auto *status = child(root, "saveStatus");
        auto *save = child<QPushButton>(root, "saveButton");
        auto *exportAndReload = child<QPushButton>(root, "exportAndReloadButton");
        auto *refresh = child<QToolButton>(root, "refreshButton");
        QVERIFY(!save->isVisible() && !exportAndReload->isVisible());

        // Unsaved: Save and Export and reload; no reload that would drop the edit. (The end-to-end
        // run saves from here and reloads with the refresh button.)
        m->newPage("document", false);
        QVERIFY(status->isVisible() && save->isEnabled() && exportAndReload->isVisible());
        QVERIFY(!refresh->isEnabled());

        // Saving: busy disables both buttons until the server answers.
        save->click();
        QVERIFY(!save->isEnabled() && !exportAndReload->isEnabled());
        QTRY_VERIFY(!m->dirty() && !m->busy());

        // A conflict and its way out, export and reload, are the end-to-end run's.
    }

    void signingOutAsksAndRefusesWhileEditsAreUnsaved()
    {
        auto m = approvedModel("salida@example.test");
        RootView root(*m);
        root.show();
        m->newPage("document", false);

        // The sidebar's sign-out only asks; with unsaved edits the answer cannot be "yes".
        auto *sidebarSignOut = child<QPushButton>(root, "signOut");
        sidebarSignOut->click();
        QPointer<QMessageBox> box = root.signOutConfirmation();
        QMessageBox *shown = box.data();
        QVERIFY(shown);
        QTRY_VERIFY(shown->isVisible());
        QVERIFY(!child<QPushButton>(*box, "confirmSignOut")->isEnabled());
        QTest::keyClick(box, Qt::Key_Return); // the default is to stay
        QTRY_VERIFY(!box);
        QVERIFY(m->approved());

        // Saved while the question is open: the answer becomes possible; relabelled live.
        sidebarSignOut->click();
        box = root.signOutConfirmation();
        QCOMPARE(errorOf(m->save()), QString());
        QVERIFY(child<QPushButton>(*box, "confirmSignOut")->isEnabled());
        QCOMPARE(relabelFaults(*m, {"salida@example.test", "Sin título"}), QString());
        // Confirmed, it signs out: the end-to-end run's last step.
    }

private:
    std::unique_ptr<WorkspaceModel> approvedModel(const QString &email)
    {
        auto m = serverModel(m_server, m_accounts.add(email));
        const QString error = errorOf(m->connect());
        if (!error.isEmpty() || !m->approved())
            qWarning("could not connect %s: %s", qPrintable(email), qPrintable(error));
        return m;
    }

    XdgHome m_home; // drafts and the language preference stay in this test's own folders
    ReferenceServer m_server;
    Accounts m_accounts{m_server};
};

QTEST_MAIN(RootViewTest)
#include "tst_rootview.moc"
