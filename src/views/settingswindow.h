#pragma once

// The Settings window: the interface language, the server this build talks to (read-only),
// and where the session is kept.

#include <QWidget>

class QLabel;

namespace quorvale {

class WorkspaceModel;

class SettingsWindow final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SettingsWindow)

public:
    explicit SettingsWindow(WorkspaceModel &model, QWidget *parent = nullptr);

private:
    void retranslate();

    WorkspaceModel &m_model;
    QLabel *m_note;
};

} // namespace quorvale
