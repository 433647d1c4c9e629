#include "support/modeltesting.h"
#include "support/relabelling.h"
#include "support/viewtesting.h"
#include "support/xdghome.h"
#include "views/busyindicator.h"
#include "views/languagepicker.h"
#include "views/rootview.h"
#include "views/settingswindow.h"
#include "views/workspaceview.h"

#include <QApplication>
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
    void initTestCase();

    // The access screen.
    void signingInCanBeCancelledWhileItWaits();
    void aPendingAccountWaitsThenChecksItsApproval();

    // The message alert.
    void theAlertFollowsTheMessage();

    // Language.
    void changingTheLanguageRelabelsEveryOpenView();

    // The workspace.
    void theDetailFollowsTheSelection();
    void theToolbarFollowsUnsavedEditsAndAConflict();
    void signingOutAsksAndRefusesWhileEditsAreUnsaved();

private:
    std::unique_ptr<WorkspaceModel> approvedModel(const QString &email);

    XdgHome m_home; // drafts and the language preference stay in this test's own folders
    ReferenceServer m_server;
    Accounts m_accounts{m_server};
};

void RootViewTest::initTestCase()
{
    QVERIFY(m_home.isValid());
    QVERIFY(m_server.start());
    m_accounts.add(QStringLiteral("admin@example.test"));
}

std::unique_ptr<WorkspaceModel> RootViewTest::approvedModel(const QString &email)
{
    auto m = serverModel(m_server, m_accounts.add(email));
    const QString error = errorOf(m->connect());
    if (!error.isEmpty() || !m->approved())
        qWarning("could not connect %s: %s", qPrintable(email), qPrintable(error));
    return m;
}

void RootViewTest::signingInCanBeCancelledWhileItWaits()
{
    auto m = offlineModel();
    QUrl opened;
    m->service().setBrowser([&](const QUrl &url) {
        opened = url;
        return true;
    });
    RootView root(*m);
    root.show();
    QVERIFY(QTest::qWaitForWindowExposed(&root));
    auto *cancel = child<QPushButton>(root, "cancelSignIn");
    auto *busy = root.findChild<BusyIndicator *>();
    QVERIFY(!cancel->isVisible());

    // Waiting for the browser: busy, with a way out.
    child<QPushButton>(root, "continueWithMicrosoft")->click();
    QCOMPARE(opened.path(), QStringLiteral("/auth/login"));
    QVERIFY(m->busy() && cancel->isVisible() && busy->isVisible());

    cancel->click();
    QTRY_VERIFY(!m->busy());
    QVERIFY(!cancel->isVisible() && !busy->isVisible());
    QCOMPARE(m->message(), QStringLiteral("Inicio de sesión cancelado"));
}

void RootViewTest::aPendingAccountWaitsThenChecksItsApproval()
{
    auto m = serverModel(m_server, m_accounts.add(QStringLiteral("espera@example.test"), false));
    const QString id = m_accounts.lastId();
    RootView root(*m);
    root.show();
    QCOMPARE(errorOf(m->connect()), QString());
    QVERIFY(child(root, "waitingPanel")->isVisible());

    // Approved meanwhile: checking opens the workspace.
    QVERIFY(m_server.setStatus(id, QStringLiteral("approve")));
    child<QPushButton>(root, "checkApproval")->click();
    QTRY_VERIFY(m->approved());
    QVERIFY(root.findChild<WorkspaceView *>()->isVisible());

    // The waiting screen's sign-out does not ask.
    auto other = serverModel(m_server, m_accounts.add(QStringLiteral("otra@example.test"), false));
    RootView waiting(*other);
    waiting.show();
    QCOMPARE(errorOf(other->connect()), QString());
    child<QPushButton>(waiting, "waitingSignOut")->click();
    QTRY_VERIFY(other->account().isNull());
    QVERIFY(!waiting.signOutConfirmation());
    QVERIFY(child(waiting, "signInPanel")->isVisible());
}

void RootViewTest::theAlertFollowsTheMessage()
{
    auto m = offlineModel();
    RootView root(*m);
    root.show();
    QVERIFY(QTest::qWaitForWindowExposed(&root));
    m->setMessage(QStringLiteral("Primero"));
    QPointer<QMessageBox> box = root.alert();
    QMessageBox *shown = box.data();
    QVERIFY(shown);
    QTRY_VERIFY(shown->isVisible());

    // A newer message replaces the text; one alert, not a stack of them.
    const QString markup = QStringLiteral("<img src=\"file:///etc/passwd\"><b>Error</b>");
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

void RootViewTest::changingTheLanguageRelabelsEveryOpenView()
{
    // The workspace open over the access screen, and the settings window: everything there.
    auto m = approvedModel(QStringLiteral("idioma@example.test"));
    RootView root(*m);
    root.show();
    SettingsWindow settings(*m);
    settings.show();
    m->select(QStringLiteral("@admin"));
    QCOMPARE(relabelFaults(*m, {QStringLiteral("idioma@example.test")}), QString());

    // Chosen on the access screen, stored, and followed at once by everything, pickers included.
    pickLanguage(child<LanguagePicker>(root, "languagePicker"), QStringLiteral("en"));
    QCOMPARE(QSettings().value(QStringLiteral("language")).toString(), QStringLiteral("en"));
    QCOMPARE(text(root, "continueWithMicrosoft"), QStringLiteral("Continue with Microsoft"));
    QCOMPARE(child<LanguagePicker>(settings, "languagePicker")->currentText(),
             QStringLiteral("English"));
    pickLanguage(child<LanguagePicker>(settings, "languagePicker"), QStringLiteral("es"));
    QCOMPARE(text(root, "continueWithMicrosoft"), QStringLiteral("Continuar con Microsoft"));

    // Anything but "en" reads as Spanish, and neither option is shown as chosen.
    m->setLanguage(QStringLiteral("fr"));
    QCOMPARE(child<LanguagePicker>(root, "languagePicker")->currentIndex(), -1);
}

void RootViewTest::theDetailFollowsTheSelection()
{
    auto m = approvedModel(QStringLiteral("detalle@example.test"));
    RootView root(*m);
    root.show();
    auto *workspace = root.findChild<WorkspaceView *>();
    const auto detailName = [&] { return workspace->detail()->objectName(); };

    QCOMPARE(detailName(), QStringLiteral("meetingsView"));
    m->select(QStringLiteral("@pages"));
    QCOMPARE(detailName(), QStringLiteral("pageSearchView"));
    m->select(QStringLiteral("@admin"));
    QCOMPARE(detailName(), QStringLiteral("adminView"));

    // A page's title, typed in edit mode: the page is not rebuilt under the caret.
    m->newPage(QStringLiteral("document"), false);
    const QString id = m->selection();
    QCOMPARE(detailName(), QStringLiteral("pageView"));
    child<QPushButton>(*workspace, "pageEdit")->click();
    auto *title = child<QLineEdit>(*workspace, "pageTitle");
    QVERIFY(QTest::qWaitForWindowActive(&root));
    title->setFocus();
    title->selectAll();
    QTest::keyClicks(title, QStringLiteral("Plan"));
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral(" B"));
    QCOMPARE(m->selectedPage()["title"].stringValue(), std::string_view("Plan B"));

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
    m->select(QStringLiteral("0b9e4f4e-0000-4000-8000-000000000000"));
    QCOMPARE(detailName(), QStringLiteral("noPage"));
    m->select(id);
    QCOMPARE(detailName(), QStringLiteral("pageView"));
    QVERIFY(!child<QLineEdit>(*workspace, "pageTitle")->isVisibleTo(workspace->detail()));
}

void RootViewTest::theToolbarFollowsUnsavedEditsAndAConflict()
{
    auto m = approvedModel(QStringLiteral("barra@example.test"));
    RootView root(*m);
    root.show();
    auto *status = child(root, "saveStatus");
    auto *save = child<QPushButton>(root, "saveButton");
    auto *exportAndReload = child<QPushButton>(root, "exportAndReloadButton");
    auto *refresh = child<QToolButton>(root, "refreshButton");

    // Clean: only the refresh button, which reloads through run.
    QVERIFY(!status->isVisible() && !save->isVisible() && !exportAndReload->isVisible());
    const qsizetype reloads = requests(m_server, "GET", "/api/workspace");
    refresh->click();
    QVERIFY(m->busy() && !refresh->isEnabled());
    QTRY_VERIFY(!m->busy());
    QCOMPARE(requests(m_server, "GET", "/api/workspace"), reloads + 1);

    // Unsaved: Save and Export and reload; no reload that would drop the edit.
    m->newPage(QStringLiteral("document"), false);
    QVERIFY(status->isVisible() && save->isEnabled() && exportAndReload->isVisible());
    QVERIFY(!refresh->isEnabled());

    // Saving: busy disables both buttons until the server answers.
    save->click();
    QVERIFY(!save->isEnabled() && !exportAndReload->isEnabled());
    QTRY_VERIFY(!m->dirty() && !m->busy());
    QVERIFY(!status->isVisible() && refresh->isEnabled());
    QVERIFY(m->message().isEmpty());

    // Another device saves meanwhile: the toolbar's Save goes through run, so the refusal is
    // also an alert, and the status says what to do.
    auto other = serverModel(m_server, m_server.token(m_accounts.lastId()));
    QCOMPARE(errorOf(other->connect()), QString());
    other->newPage(QStringLiteral("document"), false);
    QCOMPARE(errorOf(other->save()), QString());
    m->newPage(QStringLiteral("document"), false);
    save->click();
    QTRY_VERIFY(m->conflict() && !m->busy());
    QVERIFY(root.alert());
    QCOMPARE(text(root, "saveStatusText"), QStringLiteral("Conflicto: conserva tu copia"));
    root.alert()->buttons().constFirst()->click();

    // Exported (the model's suite checks the file): the server's document is back.
    const QString backup = m_home.path() + QStringLiteral("/copia.json");
    m->setSavePanel([&](const QString &) { return backup; });
    exportAndReload->click();
    QVERIFY(!m->dirty() && !m->conflict());
    QTRY_VERIFY(!m->busy());
    QVERIFY(QFile::exists(backup));
    QVERIFY(!status->isVisible());
}

void RootViewTest::signingOutAsksAndRefusesWhileEditsAreUnsaved()
{
    auto m = approvedModel(QStringLiteral("salida@example.test"));
    RootView root(*m);
    root.show();
    m->newPage(QStringLiteral("document"), false);

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
    QCOMPARE(
        relabelFaults(*m, {QStringLiteral("salida@example.test"), QStringLiteral("Sin título")}),
        QString());

    child<QPushButton>(*box, "confirmSignOut")->click();
    QTRY_VERIFY(m->account().isNull() && !box);
    QVERIFY(child(root, "signInPanel")->isVisible());
}

QTEST_MAIN(RootViewTest)
#include "tst_rootview.moc"
