#pragma once

// The application: creates the one model, opens the main window with the root view, offers
// the File menu and the Settings window, and hands URLs of the callback scheme to the sign-in.

#include "model/workspacemodel.h"

#include <QMainWindow>
#include <QObject>
#include <QUrl>

#include <memory>

class QAction;
class QMenu;

namespace quorvale {

class MeetingAudio;
class MeetingRecorder;
class RootView;
class SettingsWindow;
class SingleInstance;

class QuorvaleApp final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QuorvaleApp)

public:
    // instance: the listening single-instance channel; other starts hand their URLs to it.
    explicit QuorvaleApp(SingleInstance &instance, QObject *parent = nullptr);
    // With a model made by the caller (tests: another keychain or server).
    QuorvaleApp(SingleInstance &instance, std::unique_ptr<WorkspaceModel> model,
                QObject *parent = nullptr);
    ~QuorvaleApp() override;

    WorkspaceModel &model() { return *m_model; }
    QMainWindow &window() { return *m_window; }
    RootView &rootView() { return *m_root; }
    MeetingAudio &audio() { return *m_audio; }

    // A URL the system handed over (the browser's sign-in callback, in practice).
    void open(const QUrl &url);
    void bringToFront();
    // Opens the Settings window, or brings it forward.
    void showSettings();

    // The File menu's commands, in menu order.
    QAction *newPageAction() const { return m_newPage; }
    QAction *saveAction() const { return m_save; }
    QAction *importAction() const { return m_import; }
    QAction *exportAction() const { return m_export; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildMenu();
    void retranslate();
    void refreshCommands();
    void readTestSettings();

    std::unique_ptr<WorkspaceModel> m_model;
    // The one recorder, and the uploads beside the model, handed to the views.
    std::unique_ptr<MeetingRecorder> m_recorder;
    std::unique_ptr<MeetingAudio> m_audio;
    std::unique_ptr<QMainWindow> m_window;
    RootView *m_root;
    std::unique_ptr<SettingsWindow> m_settings;
    // The automation channel, in builds with test hooks.
    std::unique_ptr<QObject> m_automation;
    bool m_connected = false;
    QMenu *m_fileMenu = nullptr;
    QAction *m_newPage = nullptr;
    QAction *m_save = nullptr;
    QAction *m_import = nullptr;
    QAction *m_export = nullptr;
    QAction *m_settingsAction = nullptr;
    QAction *m_quit = nullptr;
};

} // namespace quorvale
