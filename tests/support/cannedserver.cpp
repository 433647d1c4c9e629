#include "cannedserver.h"
#include "referenceserver.h"

#include <QFile>
#include <QSslKey>
#include <QSslSocket>

namespace quorvale::test {

CannedServer::CannedServer(const QString &certificateFile, const QString &keyFile)
{
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificateChain(QSslCertificate::fromPath(certificateFile));
    QFile key(keyFile);
    if (key.open(QIODevice::ReadOnly))
        tls.setPrivateKey(QSslKey(key.readAll(), QSsl::Ec, QSsl::Pem));
    if (tls.privateKey().isNull()) {
        key.seek(0);
        tls.setPrivateKey(QSslKey(key.readAll(), QSsl::Rsa, QSsl::Pem));
    }
    m_server.setSslConfiguration(tls);
    connect(&m_server, &QTcpServer::pendingConnectionAvailable, this, [this] {
        while (auto *socket = qobject_cast<QSslSocket *>(m_server.nextPendingConnection()))
            serve(socket);
    });
}

bool CannedServer::listen()
{
    return m_server.listen(QHostAddress::LocalHost, 0);
}

std::unique_ptr<CannedServer> CannedServer::besides(const ReferenceServer &server)
{
    auto canned =
        std::make_unique<CannedServer>(server.dataDir() + QStringLiteral("/server.pem"),
                                       server.dataDir() + QStringLiteral("/server-key.pem"));
    return canned->listen() ? std::move(canned) : nullptr;
}

QUrl CannedServer::origin() const
{
    return QUrl(QStringLiteral("https://localhost:%1").arg(m_server.serverPort()));
}

QByteArray CannedServer::response(int status, const QByteArray &body,
                                  const QByteArray &extraHeaders)
{
    return "HTTP/1.1 " + QByteArray::number(status) + " Canned\r\nConnection: close\r\n" +
           "Content-Length: " + QByteArray::number(body.size()) + "\r\n" + extraHeaders + "\r\n" +
           body;
}

void CannedServer::serve(QSslSocket *socket)
{
    auto buffer = std::make_shared<QByteArray>();
    connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QIODevice::readyRead, this, [this, socket, buffer] {
        buffer->append(socket->readAll());
        const qsizetype end = buffer->indexOf("\r\n\r\n");
        if (end < 0)
            return;
        RecordedRequest request;
        const QList<QByteArray> lines = buffer->left(end).split('\n');
        const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
        request.method = first.value(0);
        request.target = first.value(1);
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon > 0)
                request.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                       lines[i].mid(colon + 1).trimmed());
        }
        const qsizetype length = request.headers.value("content-length", "0").toLongLong();
        if (buffer->size() < end + 4 + length)
            return;
        request.body = buffer->mid(end + 4, length);
        buffer->clear();
        m_requests.append(request);
        const Canned canned = m_responses.isEmpty()
                                  ? Canned{response(500, "no canned response"), false}
                                  : m_responses.takeFirst();
        if (canned.raw.isEmpty())
            return; // silence: the client has to give up by itself
        socket->write(canned.raw);
        if (!canned.hold)
            socket->disconnectFromHost();
    });
}

} // namespace quorvale::test
