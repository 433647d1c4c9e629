#include "soundserver.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QThread>

#include <csignal>
#include <optional>
#include <sys/prctl.h>

namespace quorvale::test {

namespace {

std::optional<QString> run(const QString &address, const QStringList &arguments)
{
    QProcess process;
    process.start("pactl", QStringList{"-s", address} + arguments);
    if (!process.waitForFinished(5000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        return {};
    return QString::fromUtf8(process.readAllStandardOutput());
}

QString pactl(const QString &address, const QStringList &arguments)
{
    return run(address, arguments).value_or(QString());
}

} // namespace

SoundServer::SoundServer(Kind kind)
    : m_kind(kind)
{}

SoundServer::~SoundServer()
{
    if (m_daemon.state() != QProcess::NotRunning) {
        m_daemon.terminate();
        if (!m_daemon.waitForFinished(5000)) {
            m_daemon.kill();
            m_daemon.waitForFinished(5000);
        }
    }
}

QString SoundServer::address() const
{
    if (!m_given.isEmpty())
        return m_given;
    return "unix:" + m_runtime.path() + "/pulse/native";
}

bool SoundServer::start()
{
    if (m_kind == Kind::Shared) {
        m_given = qEnvironmentVariable("QUORVALE_TEST_SOUND_SERVER");
        if (!m_given.isEmpty()) {
            if (pactl(m_given, {"get-default-source"}).startsWith(u"vmic"))
                return true;
            m_error = "no usable sound server at " + m_given;
            return false;
        }
    }
    if (!m_runtime.isValid()) {
        m_error = "no temporary directory";
        return false;
    }
    QFile::setPermissions(m_runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QString script = m_runtime.path() + "/test.pa";
    QFile file(script);
    file.open(QIODevice::WriteOnly);
    file.write("load-module module-native-protocol-unix auth-anonymous=1\n"
               "load-module module-null-sink sink_name=vsink rate=48000 channels=2\n"
               "load-module module-null-sink sink_name=micsink rate=48000 channels=2\n"
               "load-module module-remap-source source_name=vmic master=micsink.monitor\n"
               "load-module module-combine-sink sink_name=both slaves=vsink,micsink "
               "rate=48000 channels=2\n"
               "set-default-sink vsink\n"
               "set-default-source vmic\n");
    file.close();

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_RUNTIME_DIR", m_runtime.path());
    environment.insert("HOME", m_runtime.path());
    environment.remove("PULSE_SERVER");
    // Off the session bus: a second daemon there fails to take the bus name that the first holds.
    environment.remove("DBUS_SESSION_BUS_ADDRESS");
    environment.remove("DISPLAY");
    m_daemon.setProcessEnvironment(environment);
    m_daemon.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // A test that crashes takes its daemon with it.
    m_daemon.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    // -n: no default configuration; --exit-idle-time=-1: stays up between tests. Running as root
    // only prints a warning.
    m_daemon.start("pulseaudio", {"--daemonize=no", "-n", "--exit-idle-time=-1",
                                  "--log-level=error", "--use-pid-file=no", "-F", script});
    if (!m_daemon.waitForStarted(5000)) {
        m_error = "pulseaudio did not start: " + m_daemon.errorString();
        return false;
    }
    // The daemon gives no sign of readiness but its answers.
    QElapsedTimer waited;
    waited.start();
    while (!pactl(address(), {"get-default-source"}).startsWith(u"vmic")) {
        if (m_daemon.state() == QProcess::NotRunning || waited.elapsed() > 10000) {
            m_error = "pulseaudio did not answer";
            return false;
        }
        QThread::msleep(20);
    }
    return true;
}

void SoundServer::kill()
{
    m_daemon.kill();
    m_daemon.waitForFinished(5000);
}

std::optional<QString> SoundServer::control(const QStringList &arguments) const
{
    return run(address(), arguments);
}

bool SoundServer::unloadSink(const QString &name) const
{
    const QRegularExpression made(
        QStringLiteral("sink_name=%1(\\s|$)").arg(QRegularExpression::escape(name)));
    for (const QString &line : pactl(address(), {"list", "short", "modules"}).split(u'\n'))
        if (made.match(line).hasMatch())
            return control({"unload-module", line.section(u'\t', 0, 0)}).has_value();
    return false;
}

bool SoundServer::isRecorded(const QString &source) const
{
    QString index;
    for (const QString &line : pactl(address(), {"list", "short", "sources"}).split(u'\n'))
        if (line.section(u'\t', 1, 1) == source)
            index = line.section(u'\t', 0, 0);
    if (index.isEmpty())
        return false;
    for (const QString &line : pactl(address(), {"list", "short", "source-outputs"}).split(u'\n'))
        if (line.section(u'\t', 1, 1) == index)
            return true;
    return false;
}

QProcess *SoundServer::play(const QString &file, const QString &sink) const
{
    auto *process = new QProcess;
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->start("paplay", {"-s", address(), "-d", sink, file});
    return process;
}

} // namespace quorvale::test
