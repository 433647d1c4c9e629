#include "files/jsontext.h"
#include "style/viewstyle.h"
#include "support/modeltesting.h"
#include "support/relabelling.h"
#include "support/viewtesting.h"
#include "views/busyindicator.h"
#include "views/languagepicker.h"
#include "views/rootview.h"
#include "views/settingswindow.h"
#include "views/workspaceview.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QToolButton>

using quorvale::JSON;
using quorvale::LanguagePicker;
using quorvale::RootView;
using quorvale::WorkspaceModel;
using quorvale::WorkspaceView;
using quorvale::test::Accounts;
using quorvale::test::errorOf;
using quorvale::test::offlineModel;
using quorvale::test::ReferenceServer;
using quorvale::test::relabelFaults;
using quorvale::test::requests;
using quorvale::test::serverModel;

namespace {

template <typename T = QWidget>
T *child(const QWidget &root, const char *name)
{
    return root.findChild<T *>(QString::fromLatin1(name));
}

QString text(const QWidget &root, const char *name)
{
    if (auto *button = child<QAbstractButton>(root, name))
        return button->text();
    if (auto *label = child<QLabel>(root, name))
        return label->text();
    return QStringLiteral("<no %1>").arg(QLatin1String(name));
}

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
    void init();

    // The access screen.
    void signingInCanBeCancelledWhileItWaits();
    void aPendingAccountWaitsThenChecksItsApproval();

    // The message alert.
    void dismissingTheAlertClearsTheMessage_data();
    void dismissingTheAlertClearsTheMessage();
    void theAlertFollowsTheMessage();

    // Language.
    void changingTheLanguageRelabelsEveryOpenView();

    // The workspace.
    void theDetailFollowsTheSelection();
    void theToolbarFollowsUnsavedEditsAndAConflict();
    void signingOutAsksAndRefusesWhileEditsAreUnsaved();

private:
    std::unique_ptr<WorkspaceModel> approvedModel(const QString &email);

    QTemporaryDir m_home;
    ReferenceServer m_server;
    Accounts m_accounts{m_server};
};

void RootViewTest::initTestCase()
{
    // Drafts and the language preference stay in this test's own directories.
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_home.filePath(QStringLiteral("data"))));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.filePath(QStringLiteral("config"))));
    QVERIFY(m_server.start());
    m_accounts.add(QStringLiteral("admin@example.test"));
}

void RootViewTest::init()
{
    QSettings().remove(QStringLiteral("language"));
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
    root.resize(1280, 820);
    root.show();
    QVERIFY(QTest::qWaitForWindowExposed(&root));

    auto *signIn = child<QPushButton>(root, "continueWithMicrosoft");
    auto *cancel = child<QPushButton>(root, "cancelSignIn");
    auto *busy = root.findChild<quorvale::BusyIndicator *>();
    QVERIFY(signIn->isVisible());
    QVERIFY(!cancel->isVisible());

    // Waiting for the browser: busy, with the way out above the sign-in button.
    signIn->click();
    QCOMPARE(opened.path(), QStringLiteral("/auth/login"));
    QVERIFY(m->busy());
    QVERIFY(cancel->isVisible());
    QVERIFY(cancel->geometry().bottom() < signIn->geometry().top());
    QVERIFY(busy->isVisible());

    cancel->click();
    QTRY_VERIFY(!m->busy());
    QVERIFY(!cancel->isVisible());
    QVERIFY(!busy->isVisible());
    QCOMPARE(m->message(), QStringLiteral("Inicio de sesión cancelado"));
    QVERIFY(root.alert());
    QCOMPARE(root.alert()->text(), m->message());
}

void RootViewTest::aPendingAccountWaitsThenChecksItsApproval()
{
    auto m = serverModel(m_server, m_accounts.add(QStringLiteral("espera@example.test"), false));
    const QString id = m_accounts.lastId();
    RootView root(*m);
    root.show();
    QCOMPARE(errorOf(m->connect()), QString());

    QVERIFY(child(root, "waitingPanel")->isVisible());
    QCOMPARE(text(root, "accessStatus"), QStringLiteral("Estado de acceso: pending"));
    QCOMPARE(text(root, "accountEmail"), QStringLiteral("espera@example.test"));
    QVERIFY(!root.findChild<WorkspaceView *>()->isVisible());

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
    QVERIFY(!child(waiting, "waitingPanel")->isVisible());
}

void RootViewTest::dismissingTheAlertClearsTheMessage_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("OK") << QStringLiteral("ok");
    QTest::newRow("Escape") << QStringLiteral("escape");
    QTest::newRow("closing the window") << QStringLiteral("close");
}

void RootViewTest::dismissingTheAlertClearsTheMessage()
{
    QFETCH(QString, how);
    auto m = offlineModel();
    RootView root(*m);
    root.show();
    QVERIFY(QTest::qWaitForWindowExposed(&root));

    m->setMessage(QStringLiteral("No se pudo guardar."));
    QPointer<QMessageBox> box = root.alert();
    QMessageBox *shown = box.data();
    QVERIFY(shown);
    QTRY_VERIFY(shown->isVisible());
    QCOMPARE(box->text(), QStringLiteral("No se pudo guardar."));
    QCOMPARE(box->buttons().size(), 1);

    if (how == QLatin1String("ok"))
        box->buttons().constFirst()->click();
    else if (how == QLatin1String("escape"))
        QTest::keyClick(box, Qt::Key_Escape);
    else
        box->close();
    QCOMPARE(m->message(), QString());
    QVERIFY(!root.alert());
    QTRY_VERIFY(!box);

    // The same message, set again, is shown again.
    m->setMessage(QStringLiteral("No se pudo guardar."));
    QVERIFY(root.alert());
    const auto alertShown = [&root] {
        const QMessageBox *alert = root.alert();
        return alert && alert->isVisible();
    };
    QTRY_VERIFY(alertShown());
}

void RootViewTest::theAlertFollowsTheMessage()
{
    auto m = offlineModel();
    RootView root(*m);
    root.show();
    m->setMessage(QStringLiteral("Primero"));
    QPointer<QMessageBox> box = root.alert();
    QVERIFY(box);

    // A newer message replaces the text; one alert, not a stack of them.
    m->setMessage(QStringLiteral("Segundo"));
    QCOMPARE(root.alert(), box.data());
    QCOMPARE(box->text(), QStringLiteral("Segundo"));
    QCOMPARE(root.findChildren<QMessageBox *>().size(), 1);

    // Messages come from the server and the disk: shown as they are, never as markup.
    m->setMessage(QStringLiteral("<img src=\"file:///etc/passwd\"><b>Error</b>"));
    QCOMPARE(box->textFormat(), Qt::PlainText);
    QCOMPARE(box->text(), m->message());

    // Cleared elsewhere: the alert goes.
    m->setMessage(QString());
    QTRY_VERIFY(!box);
    QVERIFY(!root.alert());
}

void RootViewTest::changingTheLanguageRelabelsEveryOpenView()
{
    // The workspace open over the access screen, and the settings window: everything there.
    auto m = approvedModel(QStringLiteral("idioma@example.test"));
    RootView root(*m);
    root.show();
    quorvale::SettingsWindow settings(*m);
    settings.show();
    const QStringList names{QStringLiteral("idioma@example.test")};
    QCOMPARE(relabelFaults(*m, names), QString());
    m->select(QStringLiteral("@admin"));
    QCOMPARE(relabelFaults(*m, names), QString());

    // Chosen on the access screen; everything open follows at once, pickers included.
    pickLanguage(child<LanguagePicker>(root, "languagePicker"), QStringLiteral("en"));
    QCOMPARE(m->language(), QStringLiteral("en"));
    QCOMPARE(QSettings().value(QStringLiteral("language")).toString(), QStringLiteral("en"));
    QCOMPARE(text(root, "continueWithMicrosoft"), QStringLiteral("Continue with Microsoft"));
    QCOMPARE(text(settings, "settingsNote"),
             QStringLiteral("Every account has a private workspace. Your session is stored in "
                            "the system keyring."));
    QCOMPARE(child<LanguagePicker>(settings, "languagePicker")->currentText(),
             QStringLiteral("English"));

    // Back from the settings window.
    pickLanguage(child<LanguagePicker>(settings, "languagePicker"), QStringLiteral("es"));
    QCOMPARE(text(root, "continueWithMicrosoft"), QStringLiteral("Continuar con Microsoft"));

    // Anything but "en" reads as Spanish, and neither option is shown as chosen.
    m->setLanguage(QStringLiteral("fr"));
    QCOMPARE(text(root, "continueWithMicrosoft"), QStringLiteral("Continuar con Microsoft"));
    QCOMPARE(child<LanguagePicker>(root, "languagePicker")->currentIndex(), -1);
}

void RootViewTest::theDetailFollowsTheSelection()
{
    auto m = approvedModel(QStringLiteral("detalle@example.test"));
    QVERIFY(m->approved());
    RootView root(*m);
    root.show();
    auto *workspace = root.findChild<WorkspaceView *>();
    QVERIFY(workspace->isVisible());
    const auto detailName = [&] { return workspace->detail()->objectName(); };

    QCOMPARE(m->selection(), QStringLiteral("@meetings"));
    QCOMPARE(detailName(), QStringLiteral("meetingsView"));
    m->select(QStringLiteral("@pages"));
    QCOMPARE(detailName(), QStringLiteral("pageSearchView"));
    QTest::keyClicks(child<QLineEdit>(*workspace->detail(), "search"), QStringLiteral("plan"));
    m->select(QStringLiteral("@meetings"));
    m->select(QStringLiteral("@pages"));
    QCOMPARE(child<QLineEdit>(*workspace->detail(), "search")->text(), QString()); // opened afresh
    m->select(QStringLiteral("@admin"));
    QCOMPARE(detailName(), QStringLiteral("adminView"));
    QCOMPARE(text(*workspace->detail(), "placeholderTitle"), QStringLiteral("Administración"));

    // A page: its icon and title, the title editable in edit mode.
    m->newPage(QStringLiteral("document"), false);
    const QString id = m->selection();
    QCOMPARE(detailName(), QStringLiteral("pageView"));
    QCOMPARE(text(*workspace, "pageTitleLabel"), QStringLiteral("Sin título"));
    child<QPushButton>(*workspace, "pageEdit")->click();
    auto *title = child<QLineEdit>(*workspace, "pageTitle");
    QCOMPARE(title->text(), QStringLiteral("Sin título"));
    QCOMPARE(text(*workspace, "pageIcon"),
             quorvale::jsontext::text(m->selectedPage()["icon"].stringValue()));
    m->rename(id.toStdString(), QStringLiteral("Plan de lanzamiento"));
    QCOMPARE(title->text(), QStringLiteral("Plan de lanzamiento"));
    // Typing edits the model; the field keeps the focus and the caret while it does.
    QVERIFY(QTest::qWaitForWindowActive(&root));
    title->setFocus();
    title->selectAll();
    QTest::keyClicks(title, QStringLiteral("Plan"));
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral(" B"));
    QCOMPARE(m->selectedPage()["title"].stringValue(), std::string_view("Plan B"));

    // Importing is not there yet, and the sidebar's button says so.
    child<QPushButton>(root, "importNotion")->click();
    QCOMPARE(m->message(), QStringLiteral("La importación desde Notion aún no está disponible."));
    root.alert()->buttons().constFirst()->click();

    // An id that names no page.
    m->select(QStringLiteral("0b9e4f4e-0000-4000-8000-000000000000"));
    QCOMPARE(detailName(), QStringLiteral("noPage"));
    QCOMPARE(text(*workspace->detail(), "placeholderTitle"),
             QStringLiteral("Selecciona una página"));
    m->select(id);
    QCOMPARE(detailName(), QStringLiteral("pageView"));
    // Another page, or the same one again, always opens for reading.
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
    QVERIFY(!status->isVisible());
    QVERIFY(!save->isVisible());
    QVERIFY(!exportAndReload->isVisible());
    QVERIFY(refresh->isVisible());
    QVERIFY(refresh->isEnabled());
    const qsizetype reloads = requests(m_server, "GET", "/api/workspace");
    refresh->click();
    QVERIFY(m->busy());
    QVERIFY(!refresh->isEnabled());
    QTRY_VERIFY(!m->busy());
    QCOMPARE(requests(m_server, "GET", "/api/workspace"), reloads + 1);

    // Unsaved: status, Save and Export and reload; no reload that would drop the edit.
    m->newPage(QStringLiteral("document"), false);
    QVERIFY(status->isVisible());
    QCOMPARE(text(root, "saveStatusText"), QStringLiteral("Cambios sin guardar"));
    QVERIFY(save->isVisible() && save->isEnabled());
    QVERIFY(exportAndReload->isVisible() && exportAndReload->isEnabled());
    QVERIFY(!refresh->isEnabled());

    // Saving: busy disables both buttons until the server answers.
    save->click();
    QVERIFY(m->busy());
    QVERIFY(!save->isEnabled());
    QVERIFY(!exportAndReload->isEnabled());
    QTRY_VERIFY(!m->dirty());
    QTRY_VERIFY(!m->busy());
    QVERIFY(!status->isVisible());
    QVERIFY(!save->isVisible());
    QVERIFY(refresh->isEnabled());
    QCOMPARE(m->revision(), 1);
    QVERIFY(m->message().isEmpty());

    // Another device saves meanwhile.
    auto other = serverModel(m_server, m_server.token(m_accounts.lastId()));
    QCOMPARE(errorOf(other->connect()), QString());
    other->newPage(QStringLiteral("document"), false);
    other->rename(other->selection().toStdString(), QStringLiteral("Desde el otro equipo"));
    QCOMPARE(errorOf(other->save()), QString());

    m->newPage(QStringLiteral("document"), false);
    m->rename(m->selection().toStdString(), QStringLiteral("Mi copia"));
    child<QPushButton>(root, "saveButton")->click();
    QTRY_VERIFY(m->conflict());
    QTRY_VERIFY(!m->busy());
    // The toolbar's Save goes through run: the refusal is also an alert.
    QVERIFY(!m->message().isEmpty());
    QVERIFY(root.alert());
    QCOMPARE(text(root, "saveStatusText"), QStringLiteral("Conflicto: conserva tu copia"));
    root.alert()->buttons().constFirst()->click();

    // Cancelling the panel changes nothing.
    QString proposed;
    QString answer;
    m->setSavePanel([&](const QString &name) {
        proposed = name;
        return answer;
    });
    child<QPushButton>(root, "exportAndReloadButton")->click();
    QCOMPARE(proposed, QStringLiteral("quorvale-respaldo.json"));
    QVERIFY(m->dirty() && m->conflict());

    // Exported: the copy is in the file and the server's document is back.
    QTemporaryDir folder;
    answer = folder.filePath(QStringLiteral("copia.json"));
    child<QPushButton>(root, "exportAndReloadButton")->click();
    QVERIFY(!m->dirty());
    QVERIFY(!m->conflict());
    QTRY_VERIFY(!m->busy());
    QFile backup(answer);
    QVERIFY(backup.open(QIODevice::ReadOnly));
    const JSON copy = JSON::decode(backup.readAll().toStdString());
    QCOMPARE(copy["workspace"]["pages"].at(1)["title"].stringValue(), std::string_view("Mi copia"));
    QCOMPARE(m->visiblePages().at(1)["title"].stringValue(),
             std::string_view("Desde el otro equipo"));
    QVERIFY(!child(root, "saveStatus")->isVisible());
}

void RootViewTest::signingOutAsksAndRefusesWhileEditsAreUnsaved()
{
    auto m = approvedModel(QStringLiteral("salida@example.test"));
    RootView root(*m);
    root.show();
    m->newPage(QStringLiteral("document"), false);

    // The sidebar's sign-out only asks; with unsaved edits the answer cannot be "yes".
    auto *sidebarSignOut = child<QPushButton>(root, "signOut");
    QVERIFY(sidebarSignOut);
    sidebarSignOut->click();
    QPointer<QMessageBox> box = root.signOutConfirmation();
    QMessageBox *shown = box.data();
    QVERIFY(shown);
    QTRY_VERIFY(shown->isVisible());
    QCOMPARE(box->text(), QStringLiteral("¿Cerrar sesión? Guarda tus cambios primero."));
    auto *confirm = child<QPushButton>(*box, "confirmSignOut");
    QVERIFY(!confirm->isEnabled());
    QTest::keyClick(box, Qt::Key_Return); // the default is to stay
    QTRY_VERIFY(!box);
    QVERIFY(m->approved());

    // Saved while the question is open: the answer becomes possible; relabelled live.
    sidebarSignOut->click();
    box = root.signOutConfirmation();
    confirm = child<QPushButton>(*box, "confirmSignOut");
    QCOMPARE(errorOf(m->save()), QString());
    QVERIFY(confirm->isEnabled());
    QCOMPARE(
        relabelFaults(*m, {QStringLiteral("salida@example.test"), QStringLiteral("Sin título")}),
        QString());
    m->setLanguage(QStringLiteral("en"));
    QCOMPARE(box->text(), QStringLiteral("Sign out? Save your changes first."));

    // Cancel does nothing; asking again and confirming signs out.
    child<QPushButton>(*box, "cancelSignOut")->click();
    QTRY_VERIFY(!box);
    QVERIFY(m->approved());
    sidebarSignOut->click();
    box = root.signOutConfirmation();
    child<QPushButton>(*box, "confirmSignOut")->click();
    QTRY_VERIFY(m->account().isNull());
    QTRY_VERIFY(!box);
    QVERIFY(child(root, "accessScreen")->isVisible());
    QVERIFY(child(root, "signInPanel")->isVisible());
}

QTEST_MAIN(RootViewTest)
#include "tst_rootview.moc"
