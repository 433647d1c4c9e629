#pragma once

// The main window's content: the access screen until the account is approved, then the
// workspace. Over either it shows the busy indicator, the model's message in an alert, the pending
// Notion import's sheet and the sign-out confirmation.

#include "importsheet.h"

#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QWidget>

class QStackedLayout;

class QLabel;

namespace quorvale {

class AccessScreen;
class BusyIndicator;
class MeetingAudio;
class WorkspaceModel;
class WorkspaceView;

class RootView final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RootView)

public:
    // audio: the application's recorder and uploads; while it records, signing out is refused.
    explicit RootView(WorkspaceModel &model, QWidget *parent = nullptr,
                      MeetingAudio *audio = nullptr);

    // Asks before signing out. Signing out is refused there while edits are unsaved.
    void confirmSignOut();

    // The open alert or confirmation, if any.
    QMessageBox *alert() const { return m_alert; }
    QMessageBox *signOutConfirmation() const { return m_confirmation; }
    ImportSheet *importSheet() const { return m_importSheet; }

signals:
    // The sidebar's settings button.
    void settingsRequested();

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void showScreen();
    void showMessage();
    void showImportSheet();
    void refreshConfirmation();
    void placeBusyIndicator();
    void showImportProgress();

    WorkspaceModel &m_model;
    MeetingAudio *m_audio;
    QStackedLayout *m_screens;
    AccessScreen *m_access;
    WorkspaceView *m_workspace;
    BusyIndicator *m_busy;
    // How much of an export has been sent for its preview.
    QLabel *m_importProgress;
    QPointer<QMessageBox> m_alert;
    QPointer<QMessageBox> m_confirmation;
    QPointer<ImportSheet> m_importSheet;
    QPointer<QPushButton> m_confirmSignOut;
    QPointer<QPushButton> m_cancelSignOut;
};

} // namespace quorvale
