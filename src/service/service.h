#pragma once

// The one HTTP client of the application. Requests go only to the server's own origin over
// https, carry the session token, and a refused response becomes a ServiceError.

#include "service/serviceerror.h"
#include "json/json.h"

#include <QCoroTask>
#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QSslConfiguration>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <functional>
#include <optional>

namespace quorvale {

class SecretStore;
class SignInWait;

class Service final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Service)

public:
    // The server origin built into this program.
    static QUrl defaultOrigin();
    // Authorities trusted besides the system's: in builds for the local reference server, the
    // development authority it keeps in its data directory.
    static QList<QSslCertificate> defaultAuthorities();

    // The stored session, if any, is read from secrets, which must outlive the service.
    explicit Service(SecretStore &secrets, QUrl origin = defaultOrigin(),
                     QList<QSslCertificate> extraAuthorities = defaultAuthorities(),
                     QObject *parent = nullptr);
    ~Service() override;

    const QUrl &origin() const { return m_origin; }

    const std::optional<QString> &token() const { return m_token; }
    void setToken(std::optional<QString> token) { m_token = std::move(token); }

    // Sends a request and returns the body of a 2xx response.
    QCoro::Task<QByteArray> request(QString path, QByteArray method, std::optional<QByteArray> body,
                                    QString type);
    // Sends the file at path `file` as the body of a POST, streamed from disk, and returns the
    // body of a 2xx response. progress, when given, hears (bytes sent, total) as the file goes.
    QCoro::Task<QByteArray> upload(QString path, QString file, QString type,
                                   std::function<void(qint64, qint64)> progress = {});
    // Sends value (when given) as JSON and returns the response parsed as JSON.
    QCoro::Task<JSON> json(QString path, QByteArray method, std::optional<JSON> value = {});
    // Streams a 200 response into destination (replaced atomically), private to the user.
    QCoro::Task<> download(QString path, QString destination);

    // The absolute URL path stands for, when requests may go there; throws
    // ServiceError(0, "Destino no permitido") otherwise.
    QUrl destination(const QString &path) const;

    // Ends every transfer under way (its caller gets a transfer error) and any pending sign-in.
    void abortTransfers();

    // Idle time a transfer may wait for data, and the limit of a whole transfer.
    void setTimeouts(std::chrono::milliseconds idle, std::chrono::milliseconds total);

    // Signs in through the browser with a proof key; returns once the session is stored.
    QCoro::Task<> signIn();
    // A URL opened with the application's scheme; anything but the awaited callback is ignored.
    void completeAuthentication(const QUrl &url);
    void cancelSignIn();
    // Ends the session on the server (failures ignored) and forgets it here.
    QCoro::Task<> logout();
    // 32 random bytes from the system's secure source, base64url without padding.
    static QString random();

    // How the browser is opened and the window brought forward; how long a sign-in may wait.
    void setBrowser(std::function<bool(const QUrl &)> open) { m_openBrowser = std::move(open); }
    void setActivator(std::function<void()> activate) { m_activate = std::move(activate); }
    void setSignInTimeout(std::chrono::milliseconds timeout) { m_signInTimeout = timeout; }
    // The interface language ("en" or else Spanish) of transport failures' texts; the Service's
    // own protocol messages are Spanish whatever it says.
    void setLanguage(std::function<QString()> language) { m_language = std::move(language); }

private:
    QNetworkRequest makeRequest(const QUrl &url) const;
    void guard(QNetworkReply *reply) const;
    // Awaits a reply sent to the origin, which it then owns, and returns its 2xx body.
    QCoro::Task<QByteArray> answer(QNetworkReply *sent);
    // What became of a transfer that did not deliver a whole HTTP response.
    [[noreturn]] void throwTransferError(QNetworkReply *reply) const;

    SecretStore &m_secrets;
    QUrl m_origin;
    std::optional<QString> m_token;
    QSslConfiguration m_tls;
    // The pending sign-in: who waits, for which state, and until when.
    QPointer<SignInWait> m_authContinuation;
    std::optional<QString> m_authenticationState;
    QTimer m_authTimeout;
    std::chrono::milliseconds m_signInTimeout{std::chrono::seconds(600)};
    std::function<bool(const QUrl &)> m_openBrowser;
    std::function<void()> m_activate;
    std::function<QString()> m_language;
    std::chrono::milliseconds m_idleTimeout{std::chrono::seconds(60)};
    std::chrono::milliseconds m_totalTimeout{std::chrono::seconds(3600)};
    QNetworkAccessManager m_network;
};

} // namespace quorvale
