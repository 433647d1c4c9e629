#pragma once

// What the window shows before the account is approved: signing in, or waiting for an
// administrator's approval. Every control calls a model action.

#include <QWidget>

class QLabel;
class QLayout;
class QPushButton;

namespace quorvale {

class WorkspaceModel;

class AccessScreen final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AccessScreen)

public:
    explicit AccessScreen(WorkspaceModel &model, QWidget *parent = nullptr);

private:
    void buildSignInPanel();
    void buildWaitingPanel();
    QLayout *buildLanguageRow();
    void connectControls();
    void retranslate();
    // Which part shows (sign-in or waiting) and what the account says.
    void refresh();

    WorkspaceModel &m_model;
    QLabel *m_tagline;
    QWidget *m_signInPanel;
    QPushButton *m_cancel;
    QPushButton *m_continue;
    QLabel *m_signInNote;
    QWidget *m_waitingPanel;
    QLabel *m_status;
    QLabel *m_email;
    QLabel *m_waitingNote;
    QPushButton *m_checkApproval;
    QPushButton *m_signOut;
};

} // namespace quorvale
