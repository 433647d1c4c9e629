#pragma once

// The workspace window's content once the account is approved: the sidebar on the left and,
// on the right, the view the selection names under a toolbar for saving and reloading.

#include <QWidget>

class QLabel;
class QPushButton;
class QSplitter;
class QToolButton;
class QVBoxLayout;

namespace quorvale {

class MeetingAudio;
class WorkspaceModel;

class WorkspaceView final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(WorkspaceView)

public:
    // audio: the recorder and uploads that meeting pages' panels use; none in views that
    // show no recording panel.
    explicit WorkspaceView(WorkspaceModel &model, QWidget *parent = nullptr,
                           MeetingAudio *audio = nullptr);

    // The view the detail column shows now.
    QWidget *detail() const { return m_detail; }

signals:
    // The sidebar's "Sign out" (which only asks) and its settings button.
    void signOutRequested();
    void settingsRequested();

private:
    QWidget *buildSidebar();
    QWidget *buildToolbar();
    void connectControls();
    void retranslate();
    void refreshToolbar();
    // Replaces the detail view when the selection names another view or page.
    void showDetail();

    WorkspaceModel &m_model;
    MeetingAudio *m_audio;
    QSplitter *m_splitter;
    QWidget *m_status;
    QLabel *m_statusText;
    QPushButton *m_save;
    QPushButton *m_exportAndReload;
    QToolButton *m_refresh;
    QVBoxLayout *m_detailColumn;
    QWidget *m_detail = nullptr;
    QString m_detailKey;
};

} // namespace quorvale
