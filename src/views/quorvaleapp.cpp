#include "quorvaleapp.h"

#include "singleinstance.h"

#include <QLabel>

namespace quorvale {

QuorvaleApp::QuorvaleApp(SingleInstance &instance, QObject *parent)
    : QObject(parent)
    , m_window(std::make_unique<QMainWindow>())
{
    m_window->setWindowTitle(QStringLiteral("Quorvale"));
    m_window->setMinimumSize(1000, 680);
    m_window->resize(1280, 820);
    auto *placeholder = new QLabel(QStringLiteral("Quorvale"), m_window.get());
    placeholder->setAlignment(Qt::AlignCenter);
    m_window->setCentralWidget(placeholder);

    m_model.service().setActivator([this] { bringToFront(); });
    connect(&instance, &SingleInstance::urlReceived, this, &QuorvaleApp::open);
    connect(&instance, &SingleInstance::activationRequested, this, &QuorvaleApp::bringToFront);
}

QuorvaleApp::~QuorvaleApp() = default;

void QuorvaleApp::open(const QUrl &url)
{
    // Whatever the state: the sign-in ignores anything but the callback it waits for.
    m_model.service().completeAuthentication(url);
}

void QuorvaleApp::bringToFront()
{
    m_window->show();
    m_window->setWindowState((m_window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    m_window->raise();
    m_window->activateWindow();
}

} // namespace quorvale
