#include "referenceserver.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#endif

namespace quorvale::test {

namespace {

constexpr int startTimeoutMs = 15000;
constexpr int stopTimeoutMs = 15000;
constexpr int commandTimeoutMs = 30000;

} // namespace

ReferenceServer::ReferenceServer()
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
    if (!m_dir.isValid())
        return false;
    m_port = 0;
    m_process.start(executable(), {QStringLiteral("--data"), m_dir.path(), QStringLiteral("serve"),
                                   QStringLiteral("--port"), QStringLiteral("0")});
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
    if (m_process.state() == QProcess::NotRunning)
        return;
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
    return m_dir.path();
}

QString ReferenceServer::caFile() const
{
    return m_dir.filePath(QStringLiteral("ca.pem"));
}

QByteArray ReferenceServer::cli(const QStringList &args, bool *ok)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(executable(), QStringList{QStringLiteral("--data"), m_dir.path()} + args);
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

QList<QByteArray> ReferenceServer::accessLog() const
{
    QFile file(m_dir.filePath(QStringLiteral("access.log")));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<QByteArray> lines = file.readAll().split('\n');
    lines.removeAll(QByteArray());
    return lines;
}

} // namespace quorvale::test
