#pragma once

// One Quorvale per user: a second start hands its callback URLs to the running one and ends,
// which is how the browser's sign-in callback reaches the window that asked for it.

#include <QLocalServer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <chrono>

namespace quorvale {

class SingleInstance final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SingleInstance)

public:
    // A socket in the user's private runtime directory; empty when there is none.
    static QString defaultName();

    explicit SingleInstance(QString name = defaultName(), QObject *parent = nullptr);

    // Hands urls (possibly none: then the running instance just comes forward) to a running
    // instance. True when one took them and this process should end.
    bool forward(const QStringList &urls,
                 std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));
    // Takes the name for this process; false when another process holds it or the socket's
    // directory is open to other users.
    bool listen();

signals:
    // A URL handed over by another start (a callback, in practice).
    void urlReceived(const QUrl &url);
    // Another start asked this instance to come forward.
    void activationRequested();

private:
    void accept();

    QString m_name;
    QLocalServer m_server;
};

} // namespace quorvale
