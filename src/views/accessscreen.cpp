#include "accessscreen.h"
#include "files/jsontext.h"

#include "languagepicker.h"
#include "model/workspacemodel.h"
#include "style/icons.h"
#include "style/viewstyle.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <initializer_list>

namespace quorvale {

namespace {

QLabel *brandImage(QWidget *parent)
{
    auto *image = new QLabel(parent);
    image->setObjectName(QStringLiteral("accessImage"));
    image->setPixmap(icon(QStringLiteral("book-closed")).pixmap(64, 64));
    image->setAlignment(Qt::AlignCenter);
    return image;
}

QLabel *brandTitle(QWidget *parent)
{
    auto *title = new QLabel(QStringLiteral("Quorvale"), parent);
    title->setObjectName(QStringLiteral("accessTitle"));
    style::setFont(title, style::Text::Brand);
    title->setAlignment(Qt::AlignCenter);
    return title;
}

QLabel *serverHost(QWidget *parent)
{
    auto *host = new QLabel(Service::defaultOrigin().host(), parent);
    host->setObjectName(QStringLiteral("serverHost"));
    host->setTextFormat(Qt::PlainText);
    host->setAlignment(Qt::AlignCenter);
    style::setFont(host, style::Text::Caption);
    style::setTertiary(host);
    return host;
}

// The widgets side by side in the middle of the row.
QHBoxLayout *centredRow(std::initializer_list<QWidget *> widgets, int spacing = -1)
{
    auto *row = new QHBoxLayout;
    if (spacing >= 0)
        row->setSpacing(spacing);
    row->addStretch();
    for (QWidget *widget : widgets)
        row->addWidget(widget);
    row->addStretch();
    return row;
}

} // namespace

AccessScreen::AccessScreen(WorkspaceModel &model, QWidget *parent)
    : QWidget(parent)
    , m_model(model)
{
    setObjectName(QStringLiteral("accessScreen"));

    // Built top to bottom, which is also the order focus moves in.
    QLabel *image = brandImage(this);
    QLabel *title = brandTitle(this);
    m_tagline = new QLabel(this);
    m_tagline->setObjectName(QStringLiteral("accessTagline"));
    m_tagline->setAlignment(Qt::AlignCenter);
    style::setSecondary(m_tagline);
    buildSignInPanel();
    buildWaitingPanel();
    QLayout *pickerRow = buildLanguageRow();
    QLabel *host = serverHost(this);

    auto *content = new QWidget(this);
    content->setFixedWidth(460);
    auto *column = new QVBoxLayout(content);
    column->setSpacing(14);
    column->addWidget(image);
    column->addWidget(title);
    column->addWidget(m_tagline);
    column->addSpacing(12);
    column->addWidget(m_signInPanel);
    column->addWidget(m_waitingPanel);
    column->addSpacing(12);
    column->addLayout(pickerRow);
    column->addWidget(host);

    // Centred by stretches rather than alignment, so that wrapped text gets its height.
    auto *row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(content);
    row->addStretch();
    auto *outer = new QVBoxLayout(this);
    outer->addStretch();
    outer->addLayout(row);
    outer->addStretch();

    connectControls();
    retranslate();
}

void AccessScreen::buildSignInPanel()
{
    // Nobody signed in.
    m_signInPanel = new QWidget(this);
    m_signInPanel->setObjectName(QStringLiteral("signInPanel"));
    m_cancel = new QPushButton(m_signInPanel);
    m_cancel->setObjectName(QStringLiteral("cancelSignIn"));
    m_continue = new QPushButton(m_signInPanel);
    m_continue->setObjectName(QStringLiteral("continueWithMicrosoft"));
    m_continue->setIcon(icon(QStringLiteral("person-check")));
    style::setProminent(m_continue);
    m_signInNote = new QLabel(m_signInPanel);
    m_signInNote->setObjectName(QStringLiteral("signInNote"));
    m_signInNote->setAlignment(Qt::AlignCenter);
    style::setFont(m_signInNote, style::Text::Callout);
    style::setSecondary(m_signInNote);
    auto *signIn = new QVBoxLayout(m_signInPanel);
    signIn->setContentsMargins(0, 0, 0, 0);
    signIn->setSpacing(12);
    signIn->addWidget(m_cancel, 0, Qt::AlignHCenter);
    signIn->addWidget(m_continue, 0, Qt::AlignHCenter);
    signIn->addWidget(m_signInNote);
}

void AccessScreen::buildWaitingPanel()
{
    // Signed in, waiting for approval.
    m_waitingPanel = new QWidget(this);
    m_waitingPanel->setObjectName(QStringLiteral("waitingPanel"));
    auto *statusIcon = new QLabel(m_waitingPanel);
    statusIcon->setPixmap(icon(QStringLiteral("clock-alert")).pixmap(22, 22));
    m_status = new QLabel(m_waitingPanel);
    m_status->setObjectName(QStringLiteral("accessStatus"));
    m_status->setTextFormat(Qt::PlainText);
    style::setFont(m_status, style::Text::Title3);
    m_email = new QLabel(m_waitingPanel);
    m_email->setObjectName(QStringLiteral("accountEmail"));
    m_email->setAlignment(Qt::AlignCenter);
    m_email->setTextFormat(Qt::PlainText);
    m_email->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_waitingNote = new QLabel(m_waitingPanel);
    m_waitingNote->setObjectName(QStringLiteral("waitingNote"));
    m_waitingNote->setAlignment(Qt::AlignCenter);
    m_waitingNote->setWordWrap(true);
    style::setSecondary(m_waitingNote);
    m_checkApproval = new QPushButton(m_waitingPanel);
    m_checkApproval->setObjectName(QStringLiteral("checkApproval"));
    m_signOut = new QPushButton(m_waitingPanel);
    m_signOut->setObjectName(QStringLiteral("waitingSignOut"));

    auto *waiting = new QVBoxLayout(m_waitingPanel);
    waiting->setContentsMargins(0, 0, 0, 0);
    waiting->setSpacing(10);
    waiting->addLayout(centredRow({statusIcon, m_status}, 6));
    waiting->addWidget(m_email);
    waiting->addWidget(m_waitingNote);
    waiting->addLayout(centredRow({m_checkApproval, m_signOut}));
}

QLayout *AccessScreen::buildLanguageRow()
{
    auto *picker = new LanguagePicker(m_model, this);
    picker->setFixedWidth(200);
    auto *pickerTitle = new QLabel(LanguagePicker::title(), this);
    pickerTitle->setBuddy(picker);
    return centredRow({pickerTitle, picker});
}

void AccessScreen::connectControls()
{
    connect(m_continue, &QPushButton::clicked, &m_model, &WorkspaceModel::signIn);
    connect(m_cancel, &QPushButton::clicked, &m_model,
            [this] { m_model.service().cancelSignIn(); });
    // connect() never fails; its problems arrive as the model's message.
    connect(m_checkApproval, &QPushButton::clicked, &m_model, [this] { m_model.connect(); });
    connect(m_signOut, &QPushButton::clicked, &m_model, &WorkspaceModel::logout);

    connect(&m_model, &WorkspaceModel::languageChanged, this, &AccessScreen::retranslate);
    connect(&m_model, &WorkspaceModel::accountChanged, this, &AccessScreen::refresh);
    connect(&m_model, &WorkspaceModel::busyChanged, this, &AccessScreen::refresh);
}

void AccessScreen::retranslate()
{
    const WorkspaceModel &m = m_model;
    m_tagline->setText(
        m.text("Tu espacio, tus ideas, tus reuniones.", "Your space, ideas, and meetings."));
    m_cancel->setText(m.text("Cancelar inicio de sesión", "Cancel sign-in"));
    m_continue->setText(m.text("Continuar con Microsoft", "Continue with Microsoft"));
    m_signInNote->setText(m.text("Cuentas personales y de cualquier organización.\n"
                                 "Las cuentas nuevas requieren aprobación.",
                                 "Personal accounts and any organization.\n"
                                 "New accounts require administrator approval."));
    m_waitingNote->setText(m.text("El administrador recibió tu solicitud. Tus notas estarán "
                                  "disponibles después de aprobarla.",
                                  "The administrator received your request. Your notes will "
                                  "be available after approval."));
    m_checkApproval->setText(m.text("Comprobar aprobación", "Check approval"));
    m_signOut->setText(m.text("Cerrar sesión", "Sign out"));
    refresh();
}

void AccessScreen::refresh()
{
    const JSON &account = m_model.account();
    const bool signedIn = !account.isNull();
    m_signInPanel->setVisible(!signedIn);
    m_waitingPanel->setVisible(signedIn);
    m_cancel->setVisible(!signedIn && m_model.busy());
    // The server's own words, untranslated; anything but a string shows as nothing.
    m_status->setText(m_model.text("Estado de acceso", "Access status") + QStringLiteral(": ") +
                      jsontext::text(account["status"].stringValue()));
    m_email->setText(jsontext::text(account["email"].stringValue()));
}

} // namespace quorvale
