#include "singleinstance.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QStandardPaths>

#include <sys/stat.h>
#include <unistd.h>

namespace quorvale {

namespace {

// Sockets of this user only: $XDG_RUNTIME_DIR (Qt checks that it is the user's own, mode 0700),
// or the per-user temporary directory on macOS.
QString runtimeDirectory()
{
#ifdef Q_OS_MACOS
    return QDir::tempPath();
#else
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
#endif
}

// Whether only this user can reach what lies in path: its owner, with no access for others.
bool isPrivateDirectory(const QString &path)
{
    struct stat st
    {};
    return !path.isEmpty() && ::lstat(QFile::encodeName(path).constData(), &st) == 0 &&
           S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}

} // namespace

QString SingleInstance::defaultName()
{
    const QString directory = runtimeDirectory();
    return directory.isEmpty() ? QString()
                               : directory + QStringLiteral("/mx.qvl.quorvale.instance");
}

SingleInstance::SingleInstance(QString name, QObject *parent)
    : QObject(parent)
    , m_name(std::move(name))
{
    connect(&m_server, &QLocalServer::newConnection, this, &SingleInstance::accept);
}

bool SingleInstance::forward(const QStringList &urls, std::chrono::milliseconds timeout)
{
    if (m_name.isEmpty())
        return false;
    QLocalSocket socket;
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
    // Any local account could reach a socket elsewhere and push sign-in links into this one.
    if (m_name.isEmpty() || !isPrivateDirectory(QFileInfo(m_name).path()))
        return false;
    if (!m_server.listen(m_name)) {
        if (m_server.serverError() != QAbstractSocket::AddressInUseError)
            return false;
        // A socket file left by a process that died: nobody answered forward(), so reclaim it.
        QLocalSocket probe;
        probe.connectToServer(m_name);
        if (probe.waitForConnected(200))
            return false;
        QLocalServer::removeServer(m_name);
        if (!m_server.listen(m_name))
            return false;
    }
    ::chmod(QFile::encodeName(m_name).constData(), S_IRUSR | S_IWUSR);
    return true;
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
