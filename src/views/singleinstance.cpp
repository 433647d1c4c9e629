#include "singleinstance.h"

#include <QLocalSocket>
#include <QProcessEnvironment>

#include <unistd.h>

namespace quorvale {

namespace {

// The name lives in Linux's abstract namespace: nothing stays behind after a crash, and a
// second listen() fails while the first instance lives. Elsewhere it is a socket file.
QLocalServer::SocketOptions socketOptions()
{
#ifdef Q_OS_LINUX
    return QLocalServer::AbstractNamespaceOption;
#else
    return QLocalServer::UserAccessOption;
#endif
}

} // namespace

QString SingleInstance::defaultName()
{
    QString name = QStringLiteral("mx.qvl.quorvale.%1").arg(::getuid());
    const QString instance = qEnvironmentVariable("QUORVALE_INSTANCE");
    if (!instance.isEmpty())
        name += u'.' + instance;
    return name;
}

SingleInstance::SingleInstance(QString name, QObject *parent)
    : QObject(parent)
    , m_name(std::move(name))
{
    m_server.setSocketOptions(socketOptions());
    connect(&m_server, &QLocalServer::newConnection, this, &SingleInstance::accept);
}

bool SingleInstance::forward(const QStringList &urls, std::chrono::milliseconds timeout)
{
    QLocalSocket socket;
#ifdef Q_OS_LINUX
    socket.setSocketOptions(QLocalSocket::AbstractNamespaceOption);
#endif
    socket.connectToServer(m_name);
    const int ms = static_cast<int>(timeout.count());
    if (!socket.waitForConnected(ms))
        return false;
    // One line per URL; an empty message only asks the instance to come forward.
    QByteArray message;
    for (const QString &url : urls)
        message += url.toUtf8() + '\n';
    message += '\n';
    socket.write(message);
    if (!socket.waitForBytesWritten(ms))
        return false;
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(ms);
    return true;
}

bool SingleInstance::listen()
{
    if (m_server.listen(m_name))
        return true;
#ifndef Q_OS_LINUX
    // A socket file left by a process that died: nobody answered forward(), so reclaim it.
    QLocalServer::removeServer(m_name);
    return m_server.listen(m_name);
#else
    return false;
#endif
}

void SingleInstance::accept()
{
    while (QLocalSocket *socket = m_server.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            while (socket->canReadLine()) {
                const QByteArray line = socket->readLine().trimmed();
                if (line.isEmpty()) {
                    emit activationRequested();
                    continue;
                }
                const QUrl url(QString::fromUtf8(line), QUrl::StrictMode);
                if (url.isValid())
                    emit urlReceived(url);
            }
        });
    }
}

} // namespace quorvale
