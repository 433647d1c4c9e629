#include "settingswindow.h"

#include "languagepicker.h"
#include "model/workspacemodel.h"
#include "style/viewstyle.h"

#include <QFormLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace quorvale {

SettingsWindow::SettingsWindow(WorkspaceModel &model, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_model(model)
{
    setObjectName(QStringLiteral("settingsWindow"));
    // An open Settings window alone does not keep the application running.
    setAttribute(Qt::WA_QuitOnClose, false);

    auto *picker = new LanguagePicker(model, this);
    auto *server = new QLabel(Service::defaultOrigin().toString(), this);
    server->setObjectName(QStringLiteral("serverOrigin"));
    server->setTextFormat(Qt::PlainText);
    server->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_note = new QLabel(this);
    m_note->setObjectName(QStringLiteral("settingsNote"));
    m_note->setWordWrap(true);
    style::setSecondary(m_note);

    auto *form = new QFormLayout;
    form->addRow(LanguagePicker::title(), picker);
    form->addRow(QStringLiteral("Servidor"), server); // Spanish in both languages
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->setSpacing(16);
    layout->addLayout(form);
    layout->addWidget(m_note);
    layout->addStretch();
    setFixedWidth(450);

    connect(&m_model, &WorkspaceModel::languageChanged, this, &SettingsWindow::retranslate);
    retranslate();
}

void SettingsWindow::retranslate()
{
    setWindowTitle(m_model.text("Ajustes", "Settings"));
#ifdef Q_OS_MACOS
    m_note->setText(m_model.text("Cada cuenta tiene un espacio privado. La sesión se guarda en "
                                 "el llavero de macOS.",
                                 "Every account has a private workspace. Your session is "
                                 "stored in the macOS Keychain."));
#else
    // Here the session lives in the desktop's keyring (the Secret Service).
    m_note->setText(m_model.text("Cada cuenta tiene un espacio privado. La sesión se guarda en "
                                 "el llavero del sistema.",
                                 "Every account has a private workspace. Your session is "
                                 "stored in the system keyring."));
#endif
}

} // namespace quorvale
