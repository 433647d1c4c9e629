#include "referenceserver.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTimer>
#include <QUrlQuery>

#include <memory>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#endif

namespace quorvale::test {

namespace {

constexpr int startTimeoutMs = 15000;
constexpr int stopTimeoutMs = 15000;
constexpr int commandTimeoutMs = 30000;
constexpr int browserTimeoutMs = 15000;

struct Fetched
{
    int status = 0; // 0: no answer
    QByteArray body;
    QByteArray location;
    QString error;
};

// One request, answered or given up after the time-out, without following redirects.
Fetched fetch(QNetworkAccessManager &network, QNetworkRequest request, const QString &caFile,
              const QByteArray *formBody = nullptr)
{
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.addCaCertificates(QSslCertificate::fromPath(caFile));
    request.setSslConfiguration(tls);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    if (formBody)
        request.setHeader(QNetworkRequest::ContentTypeHeader,
                          QByteArrayLiteral("application/x-www-form-urlencoded"));
    std::unique_ptr<QNetworkReply> reply(formBody ? network.post(request, *formBody)
                                                  : network.get(request));
    QEventLoop loop;
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QObject::connect(&timeout, &QTimer::timeout, reply.get(), &QNetworkReply::abort);
    timeout.start(browserTimeoutMs);
    if (!reply->isFinished())
        loop.exec();

    Fetched result;
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.body = reply->readAll();
    result.location = reply->rawHeader("Location");
    if (result.status == 0)
        result.error = request.url().toString() + QStringLiteral(": ") + reply->errorString();
    return result;
}

QString unescapeHtml(QString text)
{
    static const QRegularExpression numeric(QStringLiteral("&#(x[0-9a-fA-F]+|[0-9]+);"));
    QString out;
    qsizetype last = 0;
    for (auto it = numeric.globalMatch(text); it.hasNext();) {
        const auto match = it.next();
        out += text.mid(last, match.capturedStart() - last);
        const QString digits = match.captured(1);
        bool ok = false;
        const uint code = digits.startsWith(QLatin1Char('x')) ? digits.mid(1).toUInt(&ok, 16)
                                                              : digits.toUInt(&ok, 10);
        const char32_t character = ok && code <= 0x10ffff ? code : 0xfffd;
        out += QString::fromUcs4(&character, 1);
        last = match.capturedEnd();
    }
    out += text.mid(last);
    return out.replace(QStringLiteral("&quot;"), QStringLiteral("\""))
        .replace(QStringLiteral("&lt;"), QStringLiteral("<"))
        .replace(QStringLiteral("&gt;"), QStringLiteral(">"))
        .replace(QStringLiteral("&amp;"), QStringLiteral("&"));
}

// The attributes of one tag, names in lower case, values unescaped.
QHash<QString, QString> attributes(const QString &tag)
{
    static const QRegularExpression attribute(QStringLiteral(
        R"re(([A-Za-z_:][-A-Za-z0-9_:.]*)\s*=\s*(?:"([^"]*)"|'([^']*)'|([^\s"'=<>`]+)))re"));
    QHash<QString, QString> found;
    for (auto it = attribute.globalMatch(tag); it.hasNext();) {
        const auto match = it.next();
        QString value = match.captured(2);
        if (match.capturedStart(3) >= 0)
            value = match.captured(3);
        else if (match.capturedStart(4) >= 0)
            value = match.captured(4);
        found.insert(match.captured(1).toLower(), unescapeHtml(value));
    }
    return found;
}

// The message of a page that refused the form, when it shows one.
QString pageMessage(const QByteArray &html)
{
    static const QRegularExpression message(QStringLiteral(R"(<p class="error"[^>]*>([^<]*)</p>)"));
    const auto match = message.match(QString::fromUtf8(html));
    return match.hasMatch() ? unescapeHtml(match.captured(1)) : QString();
}

} // namespace

ReferenceServer::ReferenceServer()
    : m_temporary(std::make_unique<QTemporaryDir>())
{
    if (m_temporary->isValid())
        m_dataDir = m_temporary->path();
    prepareProcess();
}

ReferenceServer::ReferenceServer(const QString &dataDir)
{
    if (QDir().mkpath(dataDir))
        m_dataDir = QDir(dataDir).absolutePath();
    prepareProcess();
}

void ReferenceServer::prepareProcess()
{
    // Server errors go straight to the test's output.
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
#ifdef Q_OS_LINUX
    // A test that crashes takes its server with it.
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
#endif
}

ReferenceServer::~ReferenceServer()
{
    stop();
}

QString ReferenceServer::executable()
{
    return QStringLiteral(QUORVALE_SERVER_EXECUTABLE);
}

bool ReferenceServer::start()
{
    if (m_process.state() != QProcess::NotRunning)
        return m_port > 0;
    if (m_dataDir.isEmpty())
        return false;
    m_port = 0;
    m_process.start(executable(),
                    QStringList{QStringLiteral("--data"), m_dataDir, QStringLiteral("serve"),
                                QStringLiteral("--port"), QString::number(m_requestedPort)} +
                        m_serveOptions);
    if (!m_process.waitForStarted(startTimeoutMs))
        return false;

    static const QRegularExpression listening(
        QStringLiteral("^listening on https://localhost:(\\d+)$"));
    QDeadlineTimer deadline(startTimeoutMs);
    QByteArray pending;
    while (!deadline.hasExpired()) {
        if (!m_process.canReadLine() &&
            !m_process.waitForReadyRead(static_cast<int>(deadline.remainingTime())))
            break;
        while (m_process.canReadLine()) {
            const QString line = QString::fromUtf8(m_process.readLine()).trimmed();
            const auto match = listening.match(line);
            if (match.hasMatch()) {
                m_port = match.captured(1).toInt();
                return m_port > 0;
            }
        }
    }
    stop();
    return false;
}

void ReferenceServer::stop()
{
    if (m_process.state() == QProcess::NotRunning) {
        // It ended by itself (killed, crashed): say how.
        if (m_port > 0)
            m_lastExitCode =
                m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
        m_port = 0;
        return;
    }
    m_process.terminate();
    if (!m_process.waitForFinished(stopTimeoutMs)) {
        m_process.kill();
        m_process.waitForFinished(stopTimeoutMs);
        m_lastExitCode = -1;
    } else {
        m_lastExitCode = m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }
    m_port = 0;
}

int ReferenceServer::port() const
{
    return m_port;
}

QUrl ReferenceServer::origin() const
{
    QUrl url;
    url.setScheme(QStringLiteral("https"));
    url.setHost(QStringLiteral("localhost"));
    url.setPort(m_port);
    return url;
}

QString ReferenceServer::dataDir() const
{
    return m_dataDir;
}

QString ReferenceServer::caFile() const
{
    return QDir(m_dataDir).filePath(QStringLiteral("ca.pem"));
}

QByteArray ReferenceServer::cli(const QStringList &args, bool *ok)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(executable(), QStringList{QStringLiteral("--data"), m_dataDir} + args);
    const bool finished = process.waitForFinished(commandTimeoutMs);
    if (!finished)
        process.kill();
    if (ok)
        *ok = finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return process.readAllStandardOutput().trimmed();
}

QString ReferenceServer::addAccount(const QString &email, const QString &name)
{
    QStringList args{QStringLiteral("account"), QStringLiteral("add"), QStringLiteral("--email"),
                     email};
    if (!name.isEmpty())
        args << QStringLiteral("--name") << name;
    bool ok = false;
    const QByteArray id = cli(args, &ok);
    return ok ? QString::fromUtf8(id) : QString();
}

bool ReferenceServer::setStatus(const QString &id, const QString &status)
{
    // Takes the verb or the status it leads to.
    QString verb = status;
    if (status == QLatin1String("approved"))
        verb = QStringLiteral("approve");
    else if (status == QLatin1String("rejected"))
        verb = QStringLiteral("reject");
    else if (status == QLatin1String("blocked"))
        verb = QStringLiteral("block");
    bool ok = false;
    cli({QStringLiteral("account"), verb, id}, &ok);
    return ok;
}

bool ReferenceServer::promote(const QString &id)
{
    bool ok = false;
    cli({QStringLiteral("account"), QStringLiteral("promote"), id}, &ok);
    return ok;
}

QString ReferenceServer::token(const QString &accountId)
{
    bool ok = false;
    const QByteArray token = cli({QStringLiteral("token"), accountId}, &ok);
    return ok ? QString::fromUtf8(token) : QString();
}

QString ReferenceServer::addNotionFile(const QString &accountId, const QString &batchId,
                                       const QString &path, const QString &file,
                                       const QString &type)
{
    QStringList args{
        QStringLiteral("notion"), QStringLiteral("add-file"), accountId, batchId, path, file};
    if (!type.isEmpty())
        args << QStringLiteral("--type") << type;
    bool ok = false;
    const QByteArray id = cli(args, &ok);
    return ok ? QString::fromUtf8(id) : QString();
}

bool ReferenceServer::setListLayout(const QString &accountId, const QString &pageId,
                                    const QByteArray &json)
{
    bool ok = false;
    cli({QStringLiteral("notion"), QStringLiteral("set-layout"), accountId, pageId,
         QString::fromUtf8(json)},
        &ok);
    return ok;
}

QList<QByteArray> ReferenceServer::accessLog() const
{
    QFile file(QDir(m_dataDir).filePath(QStringLiteral("access.log")));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<QByteArray> lines = file.readAll().split('\n');
    lines.removeAll(QByteArray());
    return lines;
}

} // namespace quorvale::test

namespace quorvale::test {

QUrl ReferenceServer::loginUrl(const QString &challenge, const QString &appState) const
{
    QUrl url = origin();
    url.setPath(QStringLiteral("/auth/login"));
    // Each value encoded completely, so that "+" or "&" in a state arrive as they are.
    url.setQuery(
        QStringLiteral("challenge=") + QString::fromLatin1(QUrl::toPercentEncoding(challenge)) +
            QStringLiteral("&app_state=") + QString::fromLatin1(QUrl::toPercentEncoding(appState)),
        QUrl::StrictMode);
    return url;
}

QUrl ReferenceServer::signInWithBrowser(const QUrl &loginUrl, const QString &name,
                                        const QString &email, QString *error)
{
    const auto fail = [&](const QString &reason) {
        if (error)
            *error = reason;
        return QUrl();
    };
    QNetworkAccessManager network;
    network.setCookieJar(nullptr);

    const Fetched page = fetch(network, QNetworkRequest(loginUrl), caFile());
    if (page.status != 200)
        return fail(page.error.isEmpty() ? QStringLiteral("the login page answered %1: %2")
                                               .arg(page.status)
                                               .arg(pageMessage(page.body))
                                         : page.error);

    const QString html = QString::fromUtf8(page.body);
    static const QRegularExpression formPattern(
        QStringLiteral(R"(<form\b([^>]*)>([\s\S]*?)</form>)"),
        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression inputPattern(QStringLiteral(R"(<input\b[^>]*>)"),
                                                 QRegularExpression::CaseInsensitiveOption);
    const auto form = formPattern.match(html);
    if (!form.hasMatch())
        return fail(QStringLiteral("the login page has no form"));
    const auto formAttributes = attributes(form.captured(1));
    if (formAttributes.value(QStringLiteral("method")).toLower() != QLatin1String("post") ||
        formAttributes.value(QStringLiteral("action")).isEmpty())
        return fail(QStringLiteral("the form does not post anywhere"));

    QStringList fields;
    QStringList seen;
    const auto add = [&](const QString &key, const QString &value) {
        fields << QString::fromLatin1(QUrl::toPercentEncoding(key) + '=' +
                                      QUrl::toPercentEncoding(value));
        seen << key;
    };
    for (auto it = inputPattern.globalMatch(form.captured(2)); it.hasNext();) {
        const auto input = attributes(it.next().captured(0));
        const QString key = input.value(QStringLiteral("name"));
        if (input.value(QStringLiteral("type")).toLower() == QLatin1String("hidden"))
            add(key, input.value(QStringLiteral("value")));
        else if (key == QLatin1String("name"))
            add(key, name);
        else if (key == QLatin1String("email"))
            add(key, email);
    }
    for (const char *required : {"challenge", "app_state", "name", "email"}) {
        if (!seen.contains(QLatin1String(required)))
            return fail(QStringLiteral("the form has no field %1").arg(QLatin1String(required)));
    }

    const QUrl action = loginUrl.resolved(QUrl(formAttributes.value(QStringLiteral("action"))));
    const QByteArray body = fields.join(QLatin1Char('&')).toLatin1();
    const Fetched answer = fetch(network, QNetworkRequest(action), caFile(), &body);
    if (answer.status != 302)
        return fail(answer.error.isEmpty() ? QStringLiteral("the form answered %1: %2")
                                                 .arg(answer.status)
                                                 .arg(pageMessage(answer.body))
                                           : answer.error);
    const QUrl location(QString::fromUtf8(answer.location), QUrl::StrictMode);
    if (!location.isValid())
        return fail(QStringLiteral("the redirect has no usable Location: ") +
                    QString::fromUtf8(answer.location));
    if (error)
        error->clear();
    return location;
}

} // namespace quorvale::test
