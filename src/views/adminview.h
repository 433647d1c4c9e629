#pragma once

// Account administration: every account with its e-mail, tenant, notification and access, a
// menu that changes the access of those who are not administrators, and a retry of the
// notification e-mails still pending. The list is the model's; nothing is edited here.

#include "json/json.h"

#include <QList>
#include <QWidget>

class QLabel;
class QPushButton;
class QVBoxLayout;

namespace quorvale {

class AccountRow;
class WorkspaceModel;

class AdminView final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AdminView)

public:
    explicit AdminView(WorkspaceModel &model, QWidget *parent = nullptr);

private:
    void relabel();
    // Rows are kept by account id: an unchanged account keeps its row and its open menu.
    void showAccounts();

    WorkspaceModel &m_model;
    QLabel *m_title;
    QLabel *m_subtitle;
    QVBoxLayout *m_rows;
    QPushButton *m_retry;
    QList<AccountRow *> m_shown; // in the list's order
};

} // namespace quorvale
