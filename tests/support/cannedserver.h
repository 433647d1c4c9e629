#pragma once

// A tiny HTTPS server for the answers the reference server never gives (a 206, a redirect, a
// silence): it records each request and replies with the next canned response.

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QSslServer>
#include <QString>
#include <QUrl>

#include <memory>

namespace quorvale::test {

class ReferenceServer;

struct RecordedRequest
{
    QByteArray method;
    QByteArray target;
    QMap<QByteArray, QByteArray> headers; // names in lower case
    QByteArray body;
};

class CannedServer final : public QObject
{
    Q_OBJECT

public:
    // certificateFile and keyFile: a certificate for "localhost" and its key (PEM).
    CannedServer(const QString &certificateFile, const QString &keyFile);

    bool listen();
    QUrl origin() const;
    // One listening with server's localhost certificate, which its authority signs; null if not.
    static std::unique_ptr<CannedServer> besides(const ReferenceServer &server);

    // The next connection gets this response, written as it stands; an empty one is silence.
    void reply(QByteArray raw) { m_responses.append({std::move(raw), false}); }
    // Like reply, but the connection then stays open and silent.
    void replyAndHold(QByteArray raw) { m_responses.append({std::move(raw), true}); }
    static QByteArray response(int status, const QByteArray &body,
                               const QByteArray &extraHeaders = {});

    const QList<RecordedRequest> &requests() const { return m_requests; }

private:
    void serve(QSslSocket *socket);

    QSslServer m_server;
    struct Canned
    {
        QByteArray raw;
        bool hold;
    };
    QList<Canned> m_responses;
    QList<RecordedRequest> m_requests;
};

} // namespace quorvale::test
