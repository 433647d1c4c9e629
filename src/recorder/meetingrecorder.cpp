#include "recorder/meetingrecorder.h"

#include "files/durablefile.h"
#include "recorder/audiosink.h"
#include "recorder/offthread.h"
#include "json/json.h"

#include <QCoroFuture>
#include <QCoroSignal>
#include <QDir>
#include <QFileInfo>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QUuid>
#include <QtConcurrent/QtConcurrentRun>

#include <exception>

namespace quorvale {

namespace {

QString applicationSupport()
{
    const QString appData = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (appData.isEmpty())
        throw FileError(QStringLiteral("No se encontró la carpeta de datos de la aplicación."));
    const QString support = QFileInfo(appData).absolutePath();
    durable::makePrivateDirectories(support);
    return support;
}

QByteArray utf8(const std::string &text)
{
    return QByteArray(text.data(), static_cast<qsizetype>(text.size()));
}

std::string toStd(const QString &text)
{
    return text.toStdString();
}

QString mixWork(QList<Track> tracks, QString to, QString language)
{
    return mixTracks(tracks, to, language);
}

Recovery recoverWork(QString directory, QString language)
{
    return recoverRecording(directory, language);
}

// About -60 dBFS: quieter than the noise floor of any real output that played something.
constexpr float kWhisper = 0.001f;
// The meter is read about 20 times a second.
constexpr std::chrono::milliseconds kLevelEvery{50};

// A source may deliver less often than the meter is read: with no news its level falls away
// instead of flickering to zero.
float nextLevel(float shown, float recent)
{
    if (recent >= 0)
        return recent;
    return shown / 2 < kWhisper ? 0.0f : shown / 2;
}

} // namespace

struct MeetingRecorder::StopOutcome
{
    bool done = false;
    QString path;
    std::exception_ptr error;
};

MeetingRecorder::MeetingRecorder(std::unique_ptr<CaptureLayer> capture, QObject *parent)
    : QObject(parent)
    , m_capture(std::move(capture))
{
    m_levelTimer.setInterval(kLevelEvery);
    connect(&m_levelTimer, &QTimer::timeout, this, &MeetingRecorder::readLevels);
}

MeetingRecorder::~MeetingRecorder()
{
    // The stream first: once it is gone nothing feeds the sink any more.
    m_stream.reset();
    m_sink.reset();
}

QString MeetingRecorder::accountFolder(const QString &accountID)
{
    // The identifier becomes one path level: it must not reach outside the recordings folder.
    if (accountID.isEmpty() || accountID == u"." || accountID == u".." ||
        accountID.contains(u'/') || accountID.contains(QChar(u'\0')))
        throw RecordingError(QStringLiteral("El identificador de la cuenta no sirve como nombre "
                                            "de la carpeta de grabaciones."));
    return applicationSupport() + QStringLiteral("/Quorvale/Recordings/") + accountID;
}

QCoro::Task<> MeetingRecorder::start(QString pageID, QString accountID)
{
    if (m_isRecording || m_isFinishing || m_starting)
        co_return;
    m_starting = true;
    const auto starting = qScopeGuard([this] { m_starting = false; });

    // Here a refusal means the sound server offers no usable input device.
    if (!co_await m_capture->requestMicrophoneAccess())
        throw RecordingError(
            m_language == QLatin1String("en")
                ? QStringLiteral("No microphone is available. Check the input device in the "
                                 "sound settings.")
                : QStringLiteral("No hay ningún micrófono disponible. Revisa el dispositivo "
                                 "de entrada en la configuración de sonido."));
    const QList<CaptureDisplay> displays = co_await m_capture->displays();
    if (displays.isEmpty())
        throw RecordingError(
            QStringLiteral("No hay pantalla disponible para capturar el audio de la reunión."));
    const CaptureDisplay display = displays.first();

    const QString directory = accountFolder(accountID) + u'/' +
                              QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    durable::makePrivateDirectories(directory);
    JSON session = JSON::object();
    session.set("pageId", JSON(toStd(pageID)));
    session.set("accountId", JSON(toStd(accountID)));
    session.set("startedAt", JSON(toStd(QDateTime::currentDateTimeUtc().toString(Qt::ISODate))));
    durable::writeFileAtomically(directory + QStringLiteral("/session.json"),
                                 utf8(session.encode()));

    m_pageID = pageID;
    m_accountID = accountID;
    m_directory = directory;
    setPending({});

    m_sink = std::make_shared<AudioSink>(directory);
    m_levels = m_sink->levels();
    std::shared_ptr<CaptureStream> stream =
        m_capture->createStream(display, CaptureConfiguration{}, this);
    // A track that cannot be written ends the recording at once, as if the system had stopped
    // it: the user learns it now, not when stopping an hour later.
    m_sink->setFailureHandler([this, serial = stream->serial()](const QString &message) {
        QMetaObject::invokeMethod(
            this, [this, serial, message] { captureEnded(serial, message); }, Qt::QueuedConnection);
    });
    stream->addOutput(m_sink, OutputType::System);
    stream->addOutput(m_sink, OutputType::Microphone);
    m_stream = stream;

    try {
        co_await stream->startCapture();
    } catch (...) {
        if (m_stream == stream) {
            m_stream.reset();
            m_sink.reset();
        }
        throw;
    }
    // The capture may already have ended on its own while it was starting; that is in error.
    if (m_stream != stream)
        co_return;
    setStarted(QDateTime::currentDateTime());
    m_levelTimer.start();
    setSystemSilent(false);
    setRecording(true);
}

QCoro::Task<QString> MeetingRecorder::stop()
{
    if (m_stopping && !m_stopping->done) {
        // One teardown per recording: a second stop waits for the first and shares its result.
        const std::shared_ptr<StopOutcome> joined = m_stopping;
        while (!joined->done)
            co_await qCoro(this, &MeetingRecorder::isFinishingChanged);
        if (joined->error)
            std::rethrow_exception(joined->error);
        co_return QString(joined->path); // a copy: GCC 12 moves from lvalues in co_return
    }
    if (!m_stream || !m_sink || m_directory.isEmpty())
        throw RecordingError(QStringLiteral("No hay grabación activa."));

    const std::shared_ptr<CaptureStream> stream = m_stream;
    const std::shared_ptr<AudioSink> sink = m_sink;
    const std::shared_ptr<SourceLevels> levels = m_levels;
    const QString output = m_directory + QStringLiteral("/meeting.m4a");
    const auto outcome = std::make_shared<StopOutcome>();
    m_stopping = outcome;
    setFinishing(true);

    try {
        co_await stream->stopCapture();
        const AudioSink::Finished finished = co_await sink->finish();
        if (finished.error)
            throw RecordingError(*finished.error);
        outcome->path = co_await mix(finished.files, output, m_language);
        setPending(outcome->path);
    } catch (...) {
        outcome->error = std::current_exception();
    }
    outcome->done = true;
    // Judged before the recorder turns idle, so that whoever watches it end reads the verdict.
    endMetering(*levels);
    cleanUp(stream);
    if (outcome->error)
        std::rethrow_exception(outcome->error);
    co_return QString(outcome->path);
}

void MeetingRecorder::cleanUp(const std::shared_ptr<CaptureStream> &stream)
{
    setFinishing(false);
    setRecording(false);
    if (m_stream == stream) {
        m_stream.reset();
        m_sink.reset();
    }
}

QCoro::Task<QString> MeetingRecorder::mix(QList<Track> tracks, QString to, QString language)
{
    recording::Attempt<QString> mixed = co_await QtConcurrent::run(
        &recording::attempt<QString, decltype(&mixWork), QList<Track>, QString, QString>, &mixWork,
        tracks, to, language);
    co_return mixed.take();
}

QCoro::Task<QString> MeetingRecorder::recover(QString directory, QString language)
{
    const Recovery recovered = co_await recoverReporting(directory, language);
    co_return QString(recovered.path); // a copy: GCC 12 moves from lvalues in co_return
}

QCoro::Task<Recovery> MeetingRecorder::recoverReporting(QString directory, QString language)
{
    recording::Attempt<Recovery> recovered = co_await QtConcurrent::run(
        &recording::attempt<Recovery, decltype(&recoverWork), QString, QString>, &recoverWork,
        directory, language);
    co_return recovered.take();
}

QStringList MeetingRecorder::recoverable(QString accountID)
{
    try {
        QStringList pending = recoverableDirectories(accountFolder(accountID));
        // A start cut short before any audio reached disk left nothing to recover: offered, it
        // would fail the same way at every start. Its files stay where they are.
        pending.removeIf([](const QString &path) {
            return QFileInfo(path).isDir() && !holdsRecoverableAudio(path);
        });
        return pending;
    } catch (const std::exception &) {
        // No folder, or no usable one: nothing to recover.
        return {};
    }
}

void MeetingRecorder::streamDidStop(CaptureStream *, quint64 serial, const QString &error)
{
    // Off the main thread: only hop.
    QMetaObject::invokeMethod(
        this, [this, serial, error] { captureEnded(serial, error); }, Qt::QueuedConnection);
}

void MeetingRecorder::captureEnded(quint64 serial, const QString &error)
{
    // A stream already replaced or released, or one that stop() is tearing down, is no news.
    if (!m_stream || m_stream->serial() != serial || m_isFinishing)
        return;
    setError(error);
    // Released without finish(): a capture still running stops, and the track files close as
    // they stand, ready for recovery. First, so that the verdict counts every buffer queued.
    m_stream.reset();
    m_sink.reset();
    endMetering(*m_levels);
    setRecording(false);
    setFinishing(false);
}

void MeetingRecorder::readLevels()
{
    setLevels(nextLevel(m_microphoneLevel, m_levels->takeRecent(OutputType::Microphone)),
              nextLevel(m_systemLevel, m_levels->takeRecent(OutputType::System)));
}

void MeetingRecorder::endMetering(const SourceLevels &levels)
{
    m_levelTimer.stop();
    setLevels(0, 0);
    setSystemSilent(levels.loudest(OutputType::System) <= kWhisper);
}

void MeetingRecorder::setRecording(bool value)
{
    if (m_isRecording == value)
        return;
    m_isRecording = value;
    emit isRecordingChanged(value);
}

void MeetingRecorder::setFinishing(bool value)
{
    if (m_isFinishing == value)
        return;
    m_isFinishing = value;
    emit isFinishingChanged(value);
}

void MeetingRecorder::setError(const QString &value)
{
    if (m_error == value)
        return;
    m_error = value;
    emit errorChanged(value);
}

void MeetingRecorder::setStarted(const QDateTime &value)
{
    if (m_started == value)
        return;
    m_started = value;
    emit startedChanged(value);
}

void MeetingRecorder::setLevels(float microphone, float system)
{
    if (m_microphoneLevel == microphone && m_systemLevel == system)
        return;
    m_microphoneLevel = microphone;
    m_systemLevel = system;
    emit levelsChanged();
}

void MeetingRecorder::setSystemSilent(bool value)
{
    if (m_systemSilent == value)
        return;
    m_systemSilent = value;
    emit systemSilentChanged(value);
}

void MeetingRecorder::setPending(const QString &value)
{
    if (m_pending == value)
        return;
    m_pending = value;
    emit pendingChanged(value);
}

} // namespace quorvale
