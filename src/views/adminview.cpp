#include "adminview.h"
#include "files/jsontext.h"

#include "model/workspacemodel.h"
#include "style/viewstyle.h"

#include <QFontDatabase>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScrollArea>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace quorvale {

// One account: who it is, its notification and access, and the menu that changes the access.
class AccountRow final : public QWidget
{
public:
    AccountRow(WorkspaceModel &model, QWidget *parent)
        : QWidget(parent)
        , m_model(model)
        , m_name(new QLabel(this))
        , m_email(new QLabel(this))
        , m_tenant(new QLabel(this))
        , m_notification(new QLabel(this))
        , m_status(new QLabel(this))
        , m_change(new QToolButton(this))
        , m_menu(new QMenu(m_change))
    {
        m_name->setObjectName(QStringLiteral("name"));
        m_email->setObjectName(QStringLiteral("email"));
        m_tenant->setObjectName(QStringLiteral("tenant"));
        m_notification->setObjectName(QStringLiteral("notification"));
        m_status->setObjectName(QStringLiteral("status"));
        m_change->setObjectName(QStringLiteral("changeAccess"));
        // What the server says is shown as text, never read as markup.
        for (QLabel *label : {m_name, m_email, m_tenant, m_notification, m_status}) {
            label->setTextFormat(Qt::PlainText);
            label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        }
        style::setFont(m_name, style::Text::Headline);
        style::setFont(m_tenant, style::Text::Caption);
        style::setSecondary(m_tenant);
        style::setFont(m_notification, style::Text::Caption);
        QFont mono = navstyle::font(style::Text::Callout, font());
        mono.setFamilies(QFontDatabase::systemFont(QFontDatabase::FixedFont).families());
        m_status->setFont(mono);

        m_change->setPopupMode(QToolButton::InstantPopup);
        m_change->setToolButtonStyle(Qt::ToolButtonTextOnly);
        m_change->setMenu(m_menu);
        m_approve = entry("approve", "approved");
        m_reject = entry("reject", "rejected");
        m_block = entry("block", "blocked");

        auto *who = new QVBoxLayout;
        who->setSpacing(6);
        for (QLabel *label : {m_name, m_email, m_tenant, m_notification})
            who->addWidget(label);
        auto *row = new QHBoxLayout(this);
        row->setContentsMargins(0, 10, 0, 10);
        row->setSpacing(12);
        row->addLayout(who);
        row->addStretch(1);
        row->addWidget(m_status, 0, Qt::AlignVCenter);
        row->addWidget(m_change, 0, Qt::AlignVCenter);
    }

    void display(JSON account)
    {
        m_account = std::move(account);
        m_name->setText(jsontext::member(m_account, "name"));
        m_email->setText(jsontext::member(m_account, "email"));
        m_tenant->setText(QStringLiteral("Tenant: ") + jsontext::member(m_account, "tenantId"));
        m_status->setText(jsontext::member(m_account, "status"));
        // Administrators' access is not changed from here; the server refuses it too.
        m_change->setVisible(
            !(m_account["role"].isString() && m_account["role"].stringValue() == "admin"));
        relabel();
    }

    void relabel()
    {
        m_notification->setText(m_model.text("Correo: ", "Email: ") +
                                jsontext::member(m_account["notification"], "status"));
        m_change->setText(m_model.text("Cambiar acceso", "Change access"));
        m_approve->setText(m_model.text("Aprobar", "Approve"));
        m_reject->setText(m_model.text("Rechazar", "Reject"));
        m_block->setText(m_model.text("Bloquear", "Block"));
    }

    const JSON &account() const { return m_account; }

private:
    QAction *entry(const char *name, const char *status)
    {
        QAction *action = m_menu->addAction(QString());
        action->setObjectName(QString::fromLatin1(name));
        // The record as shown when the entry is chosen, with the version the user saw.
        connect(action, &QAction::triggered, this,
                [this, status] { m_model.changeAccount(m_account, QString::fromLatin1(status)); });
        return action;
    }

    WorkspaceModel &m_model;
    JSON m_account;
    QLabel *m_name;
    QLabel *m_email;
    QLabel *m_tenant;
    QLabel *m_notification;
    QLabel *m_status;
    QToolButton *m_change;
    QMenu *m_menu;
    QAction *m_approve;
    QAction *m_reject;
    QAction *m_block;
};

AdminView::AdminView(WorkspaceModel &model, QWidget *parent)
    : QWidget(parent)
    , m_model(model)
    , m_title(new QLabel(this))
    , m_subtitle(new QLabel(this))
    , m_retry(new QPushButton(this))
{
    m_title->setObjectName(QStringLiteral("title"));
    style::setFont(m_title, style::Text::LargeTitle);
    m_subtitle->setObjectName(QStringLiteral("subtitle"));
    m_subtitle->setWordWrap(true);
    style::setSecondary(m_subtitle);
    m_retry->setObjectName(QStringLiteral("retryNotifications"));

    auto *list = new QWidget;
    list->setObjectName(QStringLiteral("accounts"));
    auto *column = style::bareColumn(list, 0);
    m_rows = new QVBoxLayout;
    m_rows->setSpacing(0);
    column->addLayout(m_rows);
    column->addStretch(1);
    auto *scroll = new QScrollArea(this);
    scroll->setWidget(list);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(28, 28, 28, 28);
    layout->setSpacing(18);
    layout->addWidget(m_title);
    layout->addWidget(m_subtitle);
    layout->addWidget(scroll, 1);
    layout->addWidget(m_retry, 0, Qt::AlignLeft);

    connect(m_retry, &QPushButton::clicked, &m_model, &WorkspaceModel::retryNotifications);
    connect(&m_model, &WorkspaceModel::accountsChanged, this, &AdminView::showAccounts);
    connect(&m_model, &WorkspaceModel::languageChanged, this, &AdminView::relabel);
    showAccounts();
    relabel();
}

void AdminView::relabel()
{
    m_title->setText(m_model.text("Acceso a Quorvale", "Access to Quorvale"));
    m_subtitle->setText(m_model.text("Cada cuenta conserva su propio espacio privado.",
                                     "Every account keeps a private workspace."));
    m_retry->setText(
        m_model.text("Reintentar notificaciones pendientes", "Retry pending notifications"));
    for (AccountRow *row : std::as_const(m_shown))
        row->relabel();
}

void AdminView::showAccounts()
{
    QList<AccountRow *> previous;
    previous.swap(m_shown);
    while (QLayoutItem *item = m_rows->takeAt(0))
        delete item;
    for (const JSON &account : m_model.accounts()) {
        const QString id = jsontext::member(account, "id");
        // Each row is taken once, so a second record with the same id gets a row of its own.
        const auto found = std::find_if(previous.begin(), previous.end(), [&](AccountRow *row) {
            return jsontext::member(row->account(), "id") == id;
        });
        AccountRow *row = nullptr;
        if (found != previous.end()) {
            row = *found;
            previous.erase(found);
        } else {
            row = new AccountRow(m_model, m_rows->parentWidget());
            row->setObjectName(QStringLiteral("account:") + id);
        }
        if (!row->account().isIdenticalTo(account))
            row->display(account);
        m_shown.append(row);
        m_rows->addWidget(row);
    }
    qDeleteAll(previous);
}

} // namespace quorvale
