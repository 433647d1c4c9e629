#include "service.h"
#include "destination.h"
#include "files/jsontext.h"

#include "secretstore.h"
#include "vault.h"

#include <QCoroNetworkReply>
#include <QCoroSignal>
#include <QCryptographicHash>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QSslCertificate>
#include <QStandardPaths>
#include <QUrlQuery>

#include <memory>

namespace quorvale {

namespace {

const char *const refusedDestination = "Destino no permitido";

// Deletes a reply once the coroutine is done with it, unless its manager went first.
struct ReplyDeleter
{
    void operator()(QNetworkReply *reply) const { reply->deleteLater(); }
};
using Reply = std::unique_ptr<QNetworkReply, ReplyDeleter>;

std::optional<qint64> httpStatus(QNetworkReply *reply)
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return std::nullopt;
    return status.toLongLong();
}

// Whether the reply's error is the transfer's own (a lost connection, a time-out, TLS), as
// opposed to Qt's name for a refused HTTP status, which the status itself reports better.
bool failedInTransit(QNetworkReply *reply)
{
    const QNetworkReply::NetworkError error = reply->error();
    if (error == QNetworkReply::NoError)
        return false;
    const qint64 status = httpStatus(reply).value_or(0);
    if (status < 400)
        return true;
    return !((error >= QNetworkReply::ContentAccessDenied &&
              error <= QNetworkReply::UnknownContentError) ||
             error == QNetworkReply::ProtocolInvalidOperationError ||
             (error >= QNetworkReply::InternalServerError &&
              error <= QNetworkReply::UnknownServerError) ||
             (status == 407 && error == QNetworkReply::ProxyAuthenticationRequiredError));
}

} // namespace

void Service::throwTransferError(QNetworkReply *reply) const
{
    const bool english = m_language && m_language() == QLatin1String("en");
    const auto text = [english](const char *spanish, const char *inEnglish) {
        return QString::fromUtf8(english ? inEnglish : spanish);
    };
    if (reply->property("qv_cancelled").toBool())
        throw TransferError(text("La transferencia se canceló.", "The transfer was cancelled."));
    if (reply->property("qv_timedOut").toBool())
        throw TransferError(
            text("El servidor no respondió a tiempo.", "The server did not respond in time."));
    switch (reply->error()) {
    case QNetworkReply::TimeoutError:
    case QNetworkReply::OperationCanceledError:
        // The idle limit aborts with "canceled" too; the total limit marks its own abort.
        throw TransferError(
            text("El servidor no respondió a tiempo.", "The server did not respond in time."));
    case QNetworkReply::ConnectionRefusedError:
        throw TransferError(
            text("El servidor rechazó la conexión.", "The server refused the connection."));
    case QNetworkReply::HostNotFoundError:
        throw TransferError(text("No se encontró el servidor.", "The server could not be found."));
    case QNetworkReply::SslHandshakeFailedError:
        throw TransferError(text("No se aceptó el certificado del servidor.",
                                 "The server's certificate was refused."));
    case QNetworkReply::RemoteHostClosedError:
        throw TransferError(text("La conexión se cerró antes de terminar la transferencia.",
                                 "The connection closed before the transfer ended."));
    default:
        throw TransferError(text("Falló la conexión con el servidor (%1).",
                                 "The connection to the server failed (%1).")
                                .arg(static_cast<int>(reply->error())));
    }
}

QUrl Service::defaultOrigin()
{
    return QUrl(QStringLiteral(QUORVALE_ORIGIN));
}

QList<QSslCertificate> Service::defaultAuthorities()
{
#if QUORVALE_TRUST_LOCAL_CA
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return QSslCertificate::fromPath(base + QStringLiteral("/quorvale-server/ca.pem"));
#else
    return {};
#endif
}

Service::Service(SecretStore &secrets, QUrl origin, QList<QSslCertificate> extraAuthorities,
                 QObject *parent)
    : QObject(parent)
    , m_secrets(secrets)
    , m_origin(std::move(origin))
    , m_token(Vault::read(secrets))
    , m_tls(QSslConfiguration::defaultConfiguration())
    , m_openBrowser([](const QUrl &url) { return QDesktopServices::openUrl(url); })
    , m_activate([] {})
{
    m_authTimeout.setSingleShot(true);
    connect(&m_authTimeout, &QTimer::timeout, this, &Service::cancelSignIn);
    // Certificates are verified as always; the extra authorities only widen whom to trust.
    m_tls.addCaCertificates(extraAuthorities);
    // Nothing is remembered between requests: no cookies, no cache.
    m_network.setCookieJar(nullptr);
    m_network.setCache(nullptr);
    // A redirect could lead anywhere; it is reported like any other refused status.
    m_network.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
}

Service::~Service()
{
    abortTransfers();
}

void Service::abortTransfers()
{
    // Aborting finishes a reply at once, so the task awaiting it resumes and ends instead of
    // waiting forever on a reply that its manager took down with it.
    const auto replies = m_network.findChildren<QNetworkReply *>();
    for (QNetworkReply *reply : replies) {
        if (reply->isRunning()) {
            reply->setProperty("qv_cancelled", true);
            reply->abort();
        }
    }
    cancelSignIn();
}

void Service::setTimeouts(std::chrono::milliseconds idle, std::chrono::milliseconds total)
{
    m_idleTimeout = idle;
    m_totalTimeout = total;
}

QUrl Service::destination(const QString &path) const
{
    auto url = allowedDestination(m_origin, path);
    if (!url)
        throw ServiceError(0, QString::fromUtf8(refusedDestination));
    return *std::move(url);
}

QNetworkRequest Service::makeRequest(const QUrl &url) const
{
    QNetworkRequest request(url);
    request.setSslConfiguration(m_tls);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setTransferTimeout(static_cast<int>(m_idleTimeout.count()));
    if (m_token)
        request.setRawHeader("Authorization", "Bearer " + m_token->toUtf8());
    return request;
}

void Service::guard(QNetworkReply *reply) const
{
    // The idle time-out is the request's own; the whole transfer gets a limit of its own.
    auto *timer = new QTimer(reply);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, reply, [reply] {
        reply->setProperty("qv_timedOut", true);
        reply->abort();
    });
    timer->start(m_totalTimeout);
}

QCoro::Task<QByteArray> Service::request(QString path, QByteArray method,
                                         std::optional<QByteArray> body, QString type)
{
    const QUrl url = destination(path);
    QNetworkRequest req = makeRequest(url);
    req.setHeader(QNetworkRequest::ContentTypeHeader, type);
    co_return co_await answer(body ? m_network.sendCustomRequest(req, method, *body)
                                   : m_network.sendCustomRequest(req, method));
}

QCoro::Task<QByteArray> Service::upload(QString path, QString file, QString type,
                                        std::function<void(qint64, qint64)> progress)
{
    const QUrl url = destination(path);

    // A pipe or a device has no length to declare, and Qt would buffer all of it in memory.
    if (!QFileInfo(file).isFile())
        throw FileError(QStringLiteral("No se pudo leer %1: no es un archivo.").arg(file));
    auto source = std::make_unique<QFile>(file);
    if (!source->open(QIODevice::ReadOnly))
        throw FileError(QStringLiteral("No se pudo leer %1: %2").arg(file, source->errorString()));
    if (source->isSequential())
        throw FileError(QStringLiteral("No se pudo leer %1: no es un archivo.").arg(file));
    const qint64 total = source->size();

    QNetworkRequest req = makeRequest(url);
    req.setHeader(QNetworkRequest::ContentTypeHeader, type);
    req.setHeader(QNetworkRequest::ContentLengthHeader, total);
    QNetworkReply *sent = m_network.post(req, source.get());
    // The reply reads the file until it is deleted, so the file goes with it.
    source.release()->setParent(sent);
    // Qt may repeat a step, or report (0, 0) as it finishes; callers hear only steps forward.
    auto reported = std::make_shared<qint64>(-1);
    if (progress) {
        connect(sent, &QNetworkReply::uploadProgress, sent,
                [progress, reported, total](qint64 bytes, qint64) {
                    if (bytes > *reported && bytes <= total) {
                        *reported = bytes;
                        progress(bytes, total);
                    }
                });
    }
    const QByteArray body = co_await answer(sent);
    if (progress && *reported != total)
        progress(total, total);
    co_return body;
}

QCoro::Task<QByteArray> Service::answer(QNetworkReply *sent)
{
    Reply reply(sent);
    guard(reply.get());
    co_await reply.get();

    // A body cut off after the headers is no response at all, whatever its status said.
    if (failedInTransit(reply.get()))
        throwTransferError(reply.get());
    const std::optional<qint64> status = httpStatus(reply.get());
    if (!status)
        throw ServiceError::fromResponse(0, reply->readAll());
    const QByteArray data = reply->readAll();
    if (*status < 200 || *status > 299)
        throw ServiceError::fromResponse(*status, data);
    co_return data;
}

QCoro::Task<JSON> Service::json(QString path, QByteArray method, std::optional<JSON> value)
{
    std::optional<QByteArray> body;
    if (value)
        body = QByteArray::fromStdString(value->encode());
    const QByteArray data = co_await request(std::move(path), std::move(method), std::move(body),
                                             QStringLiteral("application/json"));
    co_return JSON::decode(
        std::string_view(data.constData(), static_cast<std::size_t>(data.size())));
}

QCoro::Task<> Service::download(QString path, QString destinationPath)
{
    const QUrl url = destination(path);

    // The temporary file lives beside the destination so that the final rename is atomic.
    QDir().mkpath(QFileInfo(destinationPath).absolutePath());
    auto file = std::make_unique<QSaveFile>(destinationPath);
    if (!file->open(QIODevice::WriteOnly))
        throw FileError(
            QStringLiteral("No se pudo escribir %1: %2").arg(destinationPath, file->errorString()));
    file->setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);

    Reply reply(m_network.get(makeRequest(url)));
    guard(reply.get());
    QSaveFile *sink = file.get();
    QNetworkReply *source = reply.get();
    connect(source, &QNetworkReply::readyRead, sink,
            [sink, source] { sink->write(source->readAll()); });
    co_await reply.get();

    // Only a complete body is committed; the file destroyed uncommitted leaves no trace.
    if (failedInTransit(reply.get()))
        throwTransferError(reply.get());
    const std::optional<qint64> status = httpStatus(reply.get());
    if (status.value_or(0) != 200) {
        file->cancelWriting();
        throw ServiceError(
            status.value_or(0),
            QStringLiteral("No se pudo descargar el archivo (%1).").arg(status.value_or(0)));
    }
    sink->write(reply->readAll());
    if (!file->commit())
        throw FileError(
            QStringLiteral("No se pudo escribir %1: %2").arg(destinationPath, file->errorString()));
    if (!QFile::setPermissions(destinationPath, QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        throw FileError(
            QStringLiteral("No se pudieron ajustar los permisos de %1.").arg(destinationPath));
}

// ---------------------------------------------------------------------------------------------
// Sign-in

namespace {

const char *const cancelledSignIn = "Inicio de sesión cancelado";
const char *const invalidCallback = "Respuesta de inicio de sesión inválida";
const char *const callbackScheme = "mx.qvl.quorvale";

QString base64url(const QByteArray &bytes)
{
    return QString::fromLatin1(
        bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

// The value of the first query item named name, when it has one.
std::optional<QString> firstValue(const QUrl &url, const QString &name)
{
    const auto items = QUrlQuery(url).queryItems(QUrl::FullyDecoded);
    for (const auto &[key, value] : items) {
        if (key == name)
            return value.isEmpty() ? std::nullopt : std::optional<QString>(value);
    }
    return std::nullopt;
}

bool isCallback(const QUrl &url)
{
    return url.scheme() == QLatin1String(callbackScheme) && url.host() == QLatin1String("oauth");
}

} // namespace

// The one object a pending sign-in waits on; whoever takes it out of the service ends it.
class SignInWait final : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Queued, so that the waiting coroutine resumes from the event loop and never inside the
    // call that ended it.
    void end(const QUrl &url, const QString &error)
    {
        QMetaObject::invokeMethod(
            this, [this, url, error] { emit ended(url, error); }, Qt::QueuedConnection);
    }

signals:
    void ended(const QUrl &url, const QString &error);
};

QString Service::random()
{
    quint32 words[8];
    QRandomGenerator::system()->fillRange(words);
    return base64url(QByteArray(reinterpret_cast<const char *>(words), sizeof words));
}

QCoro::Task<> Service::signIn()
{
    const QString verifier = random();
    const QString state = random();
    const QString challenge =
        base64url(QCryptographicHash::hash(verifier.toUtf8(), QCryptographicHash::Sha256));

    QUrl login = m_origin;
    login.setPath(m_origin.path() +
                  (m_origin.path().endsWith(u'/') ? QString() : QStringLiteral("/")) +
                  QStringLiteral("auth/login"));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("challenge"), challenge);
    query.addQueryItem(QStringLiteral("app_state"), state);
    login.setQuery(query);

    cancelSignIn();
    m_authenticationState = state;
    auto *wait = new SignInWait(this);
    m_authContinuation = wait;
    m_authTimeout.start(m_signInTimeout);
    m_activate();
    if (!m_openBrowser(login))
        cancelSignIn();

    const auto ended = co_await qCoro(wait, &SignInWait::ended);
    wait->deleteLater();
    const QUrl &url = std::get<0>(ended);
    const QString &error = std::get<1>(ended);
    if (!error.isEmpty())
        throw ServiceError(0, error);
    m_authenticationState.reset();
    m_authTimeout.stop();

    if (!isCallback(url) || firstValue(url, QStringLiteral("state")) != state)
        throw ServiceError(0, QString::fromUtf8(invalidCallback));
    const std::optional<QString> code = firstValue(url, QStringLiteral("code"));
    if (!code)
        throw ServiceError(0, QString::fromUtf8(invalidCallback));

    // Built before the await: GCC 12 cannot keep the literals of an initializer list in a
    // coroutine frame.
    JSON exchange =
        JSON::object({{"code", code->toStdString()}, {"verifier", verifier.toStdString()}});
    const JSON response =
        co_await json(QStringLiteral("/auth/native/exchange"), "POST", std::move(exchange));
    const std::string_view token = response["token"].stringValue();
    if (token.empty())
        throw ServiceError(0, QStringLiteral("Sesión inválida"));
    const QString session = jsontext::text(token);
    Vault::save(m_secrets, session);
    m_token = session;
}

void Service::completeAuthentication(const QUrl &url)
{
    if (!isCallback(url) || !m_authenticationState)
        return;
    if (firstValue(url, QStringLiteral("state")) != m_authenticationState)
        return;
    QPointer<SignInWait> wait = std::exchange(m_authContinuation, nullptr);
    m_authTimeout.stop();
    if (wait)
        wait->end(url, {});
    m_activate();
}

void Service::cancelSignIn()
{
    QPointer<SignInWait> wait = std::exchange(m_authContinuation, nullptr);
    m_authenticationState.reset();
    m_authTimeout.stop();
    if (wait)
        wait->end({}, QString::fromUtf8(cancelledSignIn));
}

QCoro::Task<> Service::logout()
{
    try {
        co_await request(QStringLiteral("/auth/logout"), "POST", std::nullopt,
                         QStringLiteral("application/json"));
    } catch (const std::exception &) {
        // The session ends here whatever the server says.
    }
    m_token.reset();
    Vault::clear(m_secrets);
}

} // namespace quorvale

#include "service.moc"
