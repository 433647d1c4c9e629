#include "referenceserver.h"

#include "httpsclient.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QRegularExpression>

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

QString unescapeHtml(QString text)
{
    static const QRegularExpression numeric("&#(x[0-9a-fA-F]+|[0-9]+);");
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
    return out.replace("&quot;", "\"")
        .replace("&lt;", "<")
        .replace("&gt;", ">")
        .replace("&amp;", "&");
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

// Why a page answered as it did: the error it shows, or why no answer came.
QString failure(const char *what, const HttpsReply &reply)
{
    if (reply.status == 0)
        return QStringLiteral("%1: %2").arg(QLatin1String(what),
                                            QString::fromStdString(reply.error));
    static const QRegularExpression message(QStringLiteral(R"(<p class="error"[^>]*>([^<]*)</p>)"));
    const auto match = message.match(QString::fromStdString(reply.body));
    return QStringLiteral("%1 answered %2: %3")
        .arg(QLatin1String(what))
        .arg(reply.status)
        .arg(match.hasMatch() ? unescapeHtml(match.captured(1)) : QString());
}

std::string pathOf(const QUrl &url)
{
    return url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority).toStdString();
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
    m_process.start(executable(), QStringList{"--data", m_dataDir, "serve", "--port",
                                              QString::number(m_requestedPort)} +
                                      m_serveOptions);
    if (!m_process.waitForStarted(startTimeoutMs))
        return false;

    static const QRegularExpression listening("^listening on https://localhost:(\\d+)$");
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
        m_process.kill(); // then reported as a crash
        m_process.waitForFinished(stopTimeoutMs);
    }
    m_lastExitCode = m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    m_port = 0;
}

QUrl ReferenceServer::origin() const
{
    return QUrl(QStringLiteral("https://localhost:%1").arg(m_port));
}

QString ReferenceServer::caFile() const
{
    return QDir(m_dataDir).filePath("ca.pem");
}

QByteArray ReferenceServer::cli(const QStringList &args, bool *ok)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(executable(), QStringList{"--data", m_dataDir} + args);
    const bool finished = process.waitForFinished(commandTimeoutMs);
    if (!finished)
        process.kill();
    if (ok)
        *ok = finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return process.readAllStandardOutput().trimmed();
}

namespace {

// What a command printed, or nothing when it failed.
QString printed(ReferenceServer &server, const QStringList &args)
{
    bool ok = false;
    const QByteArray out = server.cli(args, &ok);
    return ok ? QString::fromUtf8(out) : QString();
}

bool succeeds(ReferenceServer &server, const QStringList &args)
{
    bool ok = false;
    server.cli(args, &ok);
    return ok;
}

} // namespace

QString ReferenceServer::addAccount(const QString &email, const QString &name)
{
    QStringList args{"account", "add", "--email", email};
    if (!name.isEmpty())
        args << "--name" << name;
    return printed(*this, args);
}

bool ReferenceServer::setStatus(const QString &id, const QString &status)
{
    static const QHash<QString, QString> verbs{
        {"approved", "approve"}, {"rejected", "reject"}, {"blocked", "block"}};
    return succeeds(*this, {"account", verbs.value(status, status), id});
}

bool ReferenceServer::promote(const QString &id)
{
    return succeeds(*this, {"account", "promote", id});
}

QString ReferenceServer::token(const QString &accountId)
{
    return printed(*this, {"token", accountId});
}

QString ReferenceServer::addNotionFile(const QString &accountId, const QString &batchId,
                                       const QString &path, const QString &file,
                                       const QString &type)
{
    QStringList args{"notion", "add-file", accountId, batchId, path, file};
    if (!type.isEmpty())
        args << "--type" << type;
    return printed(*this, args);
}

bool ReferenceServer::setListLayout(const QString &accountId, const QString &pageId,
                                    const QByteArray &json)
{
    return succeeds(*this, {"notion", "set-layout", accountId, pageId, QString::fromUtf8(json)});
}

QList<QByteArray> ReferenceServer::accessLog() const
{
    QFile file(QDir(m_dataDir).filePath("access.log"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<QByteArray> lines = file.readAll().split('\n');
    lines.removeAll(QByteArray());
    return lines;
}

QUrl ReferenceServer::loginUrl(const QString &challenge, const QString &appState) const
{
    QUrl url = origin();
    url.setPath("/auth/login");
    // Each value encoded completely, so that "+" or "&" in a state arrive as they are.
    url.setQuery("challenge=" + QString::fromLatin1(QUrl::toPercentEncoding(challenge)) +
                     "&app_state=" + QString::fromLatin1(QUrl::toPercentEncoding(appState)),
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
    // It trusts caFile() and follows no redirect.
    HttpsClient browser(*this);
    const HttpsReply page = browser.get(pathOf(loginUrl));
    if (page.status != 200)
        return fail(failure("the login page", page));

    const QString html = QString::fromStdString(page.body);
    static const QRegularExpression formPattern(
        QStringLiteral(R"(<form\b([^>]*)>([\s\S]*?)</form>)"),
        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression inputPattern(QStringLiteral(R"(<input\b[^>]*>)"),
                                                 QRegularExpression::CaseInsensitiveOption);
    const auto form = formPattern.match(html);
    if (!form.hasMatch())
        return fail("the login page has no form");
    const auto formAttributes = attributes(form.captured(1));
    if (formAttributes.value("method").toLower() != QLatin1String("post") ||
        formAttributes.value("action").isEmpty())
        return fail("the form does not post anywhere");

    QStringList fields;
    QStringList seen;
    const auto add = [&](const QString &key, const QString &value) {
        fields << QString::fromLatin1(QUrl::toPercentEncoding(key) + '=' +
                                      QUrl::toPercentEncoding(value));
        seen << key;
    };
    for (auto it = inputPattern.globalMatch(form.captured(2)); it.hasNext();) {
        const auto input = attributes(it.next().captured(0));
        const QString key = input.value("name");
        if (input.value("type").toLower() == QLatin1String("hidden"))
            add(key, input.value("value"));
        else if (key == QLatin1String("name"))
            add(key, name);
        else if (key == QLatin1String("email"))
            add(key, email);
    }
    for (const char *required : {"challenge", "app_state", "name", "email"}) {
        if (!seen.contains(QLatin1String(required)))
            return fail(QStringLiteral("the form has no field %1").arg(QLatin1String(required)));
    }

    const QUrl action = loginUrl.resolved(QUrl(formAttributes.value("action")));
    const std::string body = fields.join(QLatin1Char('&')).toStdString();
    const HttpsReply answer =
        browser.send("POST", pathOf(action), {}, body, "application/x-www-form-urlencoded");
    if (answer.status != 302)
        return fail(failure("the form", answer));
    const QString target = QString::fromStdString(answer.header("location"));
    const QUrl location(target, QUrl::StrictMode);
    if (!location.isValid())
        return fail("the redirect has no usable Location: " + target);
    if (error)
        error->clear();
    return location;
}

} // namespace quorvale::test
