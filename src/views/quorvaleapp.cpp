#include "quorvaleapp.h"

#include "style/navstyle.h"
#include "style/scheme.h"

#include <QApplication>

#if QUORVALE_TEST_HOOKS
#include "automation.h"
#endif
#include "recorder/meetingrecorder.h"
#include "recordingpanel/meetingaudio.h"
#include "rootview.h"
#include "savepanel.h"
#include "settingswindow.h"
#include "singleinstance.h"

#include <QAction>
#include <QCoreApplication>
#include <QEvent>
#include <QMenu>
#include <QMenuBar>

namespace quorvale {

namespace {

// The menu's Save awaits the save itself, outside run: no busy flag and no alert. A conflict
// still shows, as the window's status.
QCoro::Task<> saveFromMenu(WorkspaceModel *model)
{
    try {
        co_await model->save();
    } catch (const std::exception &) {
        // The edits stay unsaved, and the window keeps saying so.
    }
}

} // namespace

QuorvaleApp::QuorvaleApp(SingleInstance &instance, QObject *parent)
    : QuorvaleApp(instance, std::make_unique<WorkspaceModel>(), parent)
{}

QuorvaleApp::QuorvaleApp(SingleInstance &instance, std::unique_ptr<WorkspaceModel> model,
                         QObject *parent)
    : QObject(parent)
    , m_model(std::move(model))
    , m_recorder(std::make_unique<MeetingRecorder>())
    , m_audio(std::make_unique<MeetingAudio>(*m_model, *m_recorder))
    , m_window(std::make_unique<QMainWindow>())
{
    // Page icons are emoji: the colour font comes first, before any monochrome symbol font.
    QApplication::setFont(navstyle::withEmoji(QApplication::font()));
    // Light or dark as the desktop is, and as it changes while we run.
    new style::SchemeWatcher(this);
    m_window->setObjectName(QStringLiteral("mainWindow"));
    m_window->setWindowTitle(QStringLiteral("Quorvale"));
    m_window->setMinimumSize(1000, 680);
    m_window->resize(1280, 820);
    m_root = new RootView(*m_model, m_window.get(), m_audio.get());
    m_window->setCentralWidget(m_root);
    // The model connects when the window is first shown.
    m_window->installEventFilter(this);
    m_model->setSavePanel(fileDialogSavePanel(m_window.get(), *m_model));
    m_model->setOpenPanel(fileDialogZipPanel(m_window.get(), *m_model));
    buildMenu();
    connect(m_root, &RootView::settingsRequested, this, &QuorvaleApp::showSettings);

    m_model->service().setActivator([this] { bringToFront(); });
    connect(&instance, &SingleInstance::urlReceived, this, &QuorvaleApp::open);
    connect(&instance, &SingleInstance::activationRequested, this, &QuorvaleApp::bringToFront);
    readTestSettings();
}

QuorvaleApp::~QuorvaleApp() = default;

void QuorvaleApp::buildMenu()
{
    WorkspaceModel *m = m_model.get();
    m_fileMenu = m_window->menuBar()->addMenu(QString());
    m_fileMenu->setObjectName(QStringLiteral("fileMenu"));
    m_fileMenu->setToolTipsVisible(true);

    // No toolkit-provided "new" group to follow here, so these four lead the menu.
    m_newPage = m_fileMenu->addAction(QString(), this,
                                      [m] { m->newPage(QStringLiteral("document"), false); });
    m_newPage->setObjectName(QStringLiteral("newPageAction"));
    m_newPage->setShortcut(QKeySequence::New);
    m_save = m_fileMenu->addAction(QString(), this, [m] { saveFromMenu(m); });
    m_save->setObjectName(QStringLiteral("saveAction"));
    m_save->setShortcut(QKeySequence::Save);
    m_import = m_fileMenu->addAction(QString(), this, [m] { m->importZIP(); });
    m_import->setObjectName(QStringLiteral("importAction"));
    m_export = m_fileMenu->addAction(QString(), this, [m] { m->exportDraft(); });
    m_export->setObjectName(QStringLiteral("exportAction"));

    m_fileMenu->addSeparator();
    m_settingsAction = m_fileMenu->addAction(QString(), this, &QuorvaleApp::showSettings);
    m_settingsAction->setObjectName(QStringLiteral("settingsAction"));
    m_settingsAction->setMenuRole(QAction::PreferencesRole);
    m_settingsAction->setShortcut(QKeySequence::Preferences);
    m_quit = m_fileMenu->addAction(QString(), this, [] { QCoreApplication::quit(); });
    m_quit->setObjectName(QStringLiteral("quitAction"));
    m_quit->setMenuRole(QAction::QuitRole);
    m_quit->setShortcut(QKeySequence::Quit);

    connect(m, &WorkspaceModel::languageChanged, this, &QuorvaleApp::retranslate);
    connect(m, &WorkspaceModel::accountChanged, this, &QuorvaleApp::refreshCommands);
    connect(m, &WorkspaceModel::dirtyChanged, this, &QuorvaleApp::refreshCommands);
    retranslate();
}

void QuorvaleApp::retranslate()
{
    const WorkspaceModel &m = *m_model;
    m_fileMenu->setTitle(m.text("&Archivo", "&File"));
    m_newPage->setText(m.text("Nueva página", "New page"));
    m_save->setText(m.text("Guardar", "Save"));
    m_import->setText(m.text("Importar ZIP de Notion…", "Import Notion ZIP…"));
    m_export->setText(m.text("Exportar espacio…", "Export workspace…"));
    m_settingsAction->setText(m.text("Ajustes…", "Settings…"));
    m_quit->setText(m.text("Salir de Quorvale", "Quit Quorvale"));
    refreshCommands();
}

void QuorvaleApp::refreshCommands()
{
    const bool approved = m_model->approved();
    m_newPage->setEnabled(approved);
    m_save->setEnabled(m_model->dirty());
    m_import->setEnabled(approved);
    m_export->setEnabled(approved);
}

bool QuorvaleApp::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_window.get() && event->type() == QEvent::Show && !m_connected) {
        m_connected = true;
        // Never fails: problems become the model's message.
        m_model->connect();
    }
    return QObject::eventFilter(watched, event);
}

void QuorvaleApp::open(const QUrl &url)
{
    // Whatever the state: the sign-in ignores anything but the callback it waits for.
    m_model->service().completeAuthentication(url);
}

void QuorvaleApp::bringToFront()
{
    m_window->show();
    m_window->setWindowState((m_window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    m_window->raise();
    m_window->activateWindow();
}

void QuorvaleApp::showSettings()
{
    if (!m_settings)
        m_settings = std::make_unique<SettingsWindow>(*m_model);
    m_settings->show();
    m_settings->raise();
    m_settings->activateWindow();
}

void QuorvaleApp::readTestSettings()
{
#if QUORVALE_TEST_HOOKS
    // Hooks for end-to-end tests of the real program; a release build has none.
    bool ok = false;
    const int interval = qEnvironmentVariableIntValue("QUORVALE_OBSERVATION_MS", &ok);
    if (ok && interval > 0)
        m_model->setObservationInterval(std::chrono::milliseconds(interval));
    const QString automation = qEnvironmentVariable("QUORVALE_AUTOMATION");
    if (!automation.isEmpty())
        m_automation = std::make_unique<Automation>(*this, automation);
#endif
}

} // namespace quorvale
