// Recording a meeting: the sink's track files, the recorder's states with a scripted capture,
// and whole recordings from a real PulseAudio daemon fed with known tones, mixed and checked
// with ffprobe and ffmpeg.

#include "recorder/audiosink.h"
#include "recorder/meetingrecorder.h"

#include "support/audio.h"
#include "support/awaiting.h"
#include "support/soundserver.h"
#include "support/xdghome.h"

#include <QCoroSignal>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sndfile.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cmath>
#include <memory>
#include <optional>

using namespace quorvale;
using quorvale::test::finish;

namespace {

// The sound server's latency reports step by whole fragments on a busy machine, so a start record
// may be a few fragments off; the faults caught here are far larger (a track placed by its first
// burst, hundreds of milliseconds out).
constexpr double startTolerance = 0.060;

const QString noRecording = QStringLiteral("No hay grabación activa.");
const QString writeFailure = QStringLiteral(
    "No se pudo escribir el audio. Revisa el espacio del disco. Los archivos parciales se "
    "conservaron.");

QJsonObject readObject(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

sf_count_t framesOf(const QString &path)
{
    SF_INFO info{};
    SNDFILE *file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!file)
        return -1;
    sf_close(file);
    return info.frames;
}

int permissionsOf(const QString &path)
{
    struct stat status;
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? int(status.st_mode & 0777)
                                                                     : -1;
}

// Pages of a file in memory not yet written to the disk, by cachestat(2); -1 where the kernel
// cannot tell (before Linux 6.5, or on tmpfs, whose pages never reach a disk).
qint64 dirtyPages(const QString &path)
{
    struct Range
    {
        quint64 offset = 0, length = 0; // a length of 0: to the end of the file
    } range;
    struct Stat
    {
        quint64 cached, dirty, writeback, evicted, recentlyEvicted;
    } stat{};
    QFile file(path);
    struct statfs system;
    if (!file.open(QIODevice::ReadOnly) || ::fstatfs(file.handle(), &system) != 0 ||
        system.f_type == 0x01021994 /* TMPFS_MAGIC */)
        return -1;
    constexpr long cachestat = 451;
    return ::syscall(cachestat, file.handle(), &range, &stat, 0) == 0 ? qint64(stat.dirty) : -1;
}

// 0.1 s of a quiet tone, as the capture delivers it.
AudioBuffer tone(double time, qsizetype frames = 4800, float amplitude = 0.2f)
{
    AudioBuffer buffer;
    buffer.sampleRate = 48000;
    buffer.channels = 2;
    buffer.time = time;
    buffer.samples.resize(std::size_t(frames) * 2);
    for (std::size_t i = 0; i < buffer.samples.size(); ++i)
        buffer.samples[i] = amplitude * float(std::sin(double(i / 2) * 2 * M_PI * 440 / 48000));
    return buffer;
}

// Delivers a buffer on the sink's queue, as the capture does.
void deliver(AudioSink &sink, AudioBuffer buffer, OutputType type)
{
    sink.post([&sink, buffer = std::move(buffer), type] { sink.output(buffer, type); });
}

// The recording directories of an account, in no particular order.
QStringList directoriesOf(const QString &account)
{
    const QDir folder(MeetingRecorder::accountFolder(account));
    QStringList found;
    for (const QString &name : folder.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        found.append(folder.filePath(name));
    return found;
}

// A door a scripted step waits behind until the test opens it.
class Gate final : public QObject
{
    Q_OBJECT
public:
    bool isOpen = false;
    void open()
    {
        isOpen = true;
        emit opened();
    }
    QCoro::Task<> pass()
    {
        while (!isOpen)
            co_await qCoro(this, &Gate::opened);
    }
signals:
    void opened();
};

// A capture that does what the test says: fails where told, waits where told, ends on its own
// when told, and on start delivers 0.2 s of tone from each source (system audio first seen at
// 100.25 s, microphone at 100.75 s).
class ScriptedCapture final : public CaptureLayer
{
public:
    class Stream final : public CaptureStream
    {
    public:
        Stream(ScriptedCapture *owner, CaptureDelegate *delegate)
            : m_owner(owner)
            , m_delegate(delegate)
        {}

        // As the system does when the sound server goes away.
        void endOnItsOwn() { m_delegate->streamDidStop(this, serial(), "ended"); }

        void addOutput(std::shared_ptr<AudioSink> sink, OutputType type) override
        {
            if (m_owner->failAddOutput)
                throw CaptureError("output refused");
            m_sinks.append({std::move(sink), type});
        }

        QCoro::Task<> startCapture() override
        {
            ScriptedCapture *owner = m_owner;
            if (owner->startGate)
                co_await owner->startGate->pass();
            if (owner->failStart)
                throw CaptureError("start refused");
            // No structured bindings in a coroutine: GCC 12 miscompiles them.
            for (const auto &output : m_sinks) {
                const bool system = output.second == OutputType::System;
                if (system && !owner->systemAmplitude)
                    continue;
                for (int i = 0; i < 2; ++i)
                    deliver(*output.first,
                            tone((system ? 100.25 : 100.75) + 0.1 * i, 4800,
                                 system ? *owner->systemAmplitude : 0.2f),
                            output.second);
            }
        }

        QCoro::Task<> stopCapture() override
        {
            ScriptedCapture *owner = m_owner;
            ++owner->stops;
            if (owner->stopGate)
                co_await owner->stopGate->pass();
            if (owner->failStop)
                throw CaptureError("stop refused");
        }

    private:
        ScriptedCapture *m_owner;
        CaptureDelegate *m_delegate;
        QList<std::pair<std::shared_ptr<AudioSink>, OutputType>> m_sinks;
    };

    QCoro::Task<bool> requestMicrophoneAccess() override
    {
        ++askedMicrophone;
        co_return microphone;
    }

    QCoro::Task<QList<CaptureDisplay>> displays() override
    {
        co_return QList<CaptureDisplay>(displayList); // a copy: GCC 12 moves from members
    }

    std::unique_ptr<CaptureStream> createStream(const CaptureDisplay &,
                                                const CaptureConfiguration &,
                                                CaptureDelegate *delegate) override
    {
        ++streams;
        auto stream = std::make_unique<Stream>(this, delegate);
        last = stream.get();
        return stream;
    }

    bool microphone = true;
    QList<CaptureDisplay> displayList{{"vsink", "vsink.monitor"}};
    bool failAddOutput = false;
    bool failStart = false;
    bool failStop = false;
    // None: the system audio delivers nothing.
    std::optional<float> systemAmplitude = 0.2f;
    Stream *last = nullptr;
    Gate *startGate = nullptr;
    Gate *stopGate = nullptr;
    int askedMicrophone = 0;
    int streams = 0;
    int stops = 0;
};

// The loudest levels a recorder showed, as a panel redrawn at each change would see them.
class LevelWatch final
{
public:
    explicit LevelWatch(MeetingRecorder &recorder)
    {
        QObject::connect(&recorder, &MeetingRecorder::levelsChanged, &m_context, [this, &recorder] {
            microphone = std::max(microphone, recorder.microphoneLevel());
            system = std::max(system, recorder.systemLevel());
        });
    }

    float microphone = 0;
    float system = 0;

private:
    QObject m_context;
};

// Waits, with the event loop running so that the recorder's meter ticks, for a player to end.
bool played(QProcess &player)
{
    if (player.state() != QProcess::NotRunning) {
        QSignalSpy ended(&player, &QProcess::finished);
        if (!ended.wait(10000))
            return false;
    }
    return player.exitStatus() == QProcess::NormalExit && player.exitCode() == 0;
}

struct Scripted
{
    ScriptedCapture *capture = new ScriptedCapture;
    MeetingRecorder recorder{std::unique_ptr<CaptureLayer>(capture)};
};

// Where a tone sits on the capture clock in a track: its start record plus its onset.
struct Placed
{
    double first = 0;
    double onset = -1;
    double clock() const { return first + onset; }
};

Placed place(const QString &directory, const QString &source, int frequency)
{
    Placed placed;
    placed.first = readObject(directory + u'/' + source + ".json")[u"first"].toDouble(std::nan(""));
    placed.onset =
        test::findTone(test::decode(directory + u'/' + source + ".caf").left, frequency).onset;
    return placed;
}

} // namespace

class RecorderTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid() && m_files.isValid());
        QCoreApplication::setApplicationName("tst_recorder");
        m_sound = std::make_unique<test::SoundServer>(test::SoundServer::Kind::Shared);
        QVERIFY2(m_sound->start(), qPrintable(m_sound->error()));
    }

    // The sink alone.
    void sinkWritesEachSourceWithItsStart()
    {
        QTemporaryDir directory;
        {
            // A sink that never got a buffer leaves nothing behind.
            AudioSink idle(directory.path());
            const auto finished = finish(idle.finish());
            QVERIFY(finished.ok() && finished.value->files.isEmpty() && !finished.value->error);
        }
        QVERIFY(
            QDir(directory.path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));

        AudioSink sink(directory.path());
        // The microphone speaks first; finish() still lists the system audio first.
        deliver(sink, tone(100.75), OutputType::Microphone);
        deliver(sink, tone(100.25), OutputType::System);
        deliver(sink, tone(100.85), OutputType::Microphone);
        const auto finished = finish(sink.finish());
        QVERIFY(finished.ok() && !finished.value->error);
        const AudioSink::Finished &result = *finished.value;
        QCOMPARE(result.files.size(), 2);
        QCOMPARE(result.files[0].start, 100.25);
        QCOMPARE(result.files[1].start, 100.75);
        QCOMPARE(readObject(directory.filePath("system.json")), QJsonObject({{"first", 100.25}}));
        QCOMPARE(readObject(directory.filePath("microphone.json")),
                 QJsonObject({{"first", 100.75}}));
        QCOMPARE(framesOf(result.files[0].path), 4800);
        QCOMPARE(framesOf(result.files[1].path), 9600);
        // Nothing but the two tracks and their records: no temporary file left behind.
        QCOMPARE(QDir(directory.path()).entryList(QDir::Files | QDir::Hidden).size(), 4);

        // After finish() the tracks are final: a late buffer does not reopen them.
        deliver(sink, tone(101), OutputType::System);
        QVERIFY(finish(sink.finish()).ok());
        QCOMPARE(framesOf(result.files[0].path), 4800);
    }

    void sinkStopsAtFirstWriteFailure()
    {
        QTemporaryDir directory;
        AudioSink sink(directory.path());
        deliver(sink, tone(100), OutputType::Microphone);
        // The system audio's start record cannot take the place of a directory: a write failure
        // even for root, who ignores permissions.
        QVERIFY(QDir(directory.path()).mkdir("system.json"));
        deliver(sink, tone(100.1), OutputType::System);
        deliver(sink, tone(100.2), OutputType::Microphone);
        deliver(sink, tone(100.3), OutputType::System);
        const auto finished = finish(sink.finish());
        QVERIFY(finished.ok());
        QCOMPARE(finished.value->error, std::optional<QString>(writeFailure));
        // The start that was taken stays listed; no file grew after the failure.
        QCOMPARE(finished.value->files.size(), 2);
        QCOMPARE(framesOf(directory.filePath("microphone.caf")), 4800);
        QCOMPARE(framesOf(directory.filePath("system.caf")), 0);
    }

    void sinkHandlesBrokenBuffers()
    {
        // Half a frame, no format, or a source that is not audio: dropped, and the track starts
        // with the first sound buffer.
        QTemporaryDir directory;
        {
            AudioSink sink(directory.path());
            AudioBuffer broken = tone(5);
            broken.samples.pop_back();
            deliver(sink, broken, OutputType::System);
            AudioBuffer noFormat = tone(5);
            noFormat.channels = 0;
            deliver(sink, noFormat, OutputType::System);
            deliver(sink, tone(5), OutputType::Video);
            deliver(sink, tone(6), OutputType::System);
            const auto finished = finish(sink.finish());
            QVERIFY(finished.ok() && !finished.value->error);
            QCOMPARE(finished.value->files.size(), 1);
            QCOMPARE(finished.value->files[0].start, 6.0);
        }

        // A start that is no number cannot be recorded: a write failure, and nothing more written.
        QTemporaryDir other;
        AudioSink sink(other.path());
        deliver(sink, tone(std::nan("")), OutputType::System);
        deliver(sink, tone(1), OutputType::Microphone);
        const auto finished = finish(sink.finish());
        QVERIFY(finished.ok());
        QCOMPARE(finished.value->error, std::optional<QString>(writeFailure));
        QCOMPARE(framesOf(other.filePath("system.caf")), 0);
        QVERIFY(!QFile::exists(other.filePath("microphone.caf")));
    }

    void sinkSyncsTracksWhileRecording()
    {
        // What a power cut would find: the audio must reach the disk while the track is still open.
        QTemporaryDir directory;
        AudioSink sink(directory.path());
        const QString track = directory.filePath("system.caf");
        for (int i = 0; i < 3; ++i)
            deliver(sink, tone(100 + 0.1 * i), OutputType::System);
        QTRY_COMPARE(framesOf(track), 14400);
        if (dirtyPages(track) < 0)
            QSKIP("the kernel does not tell which pages of a file are written");
        QTRY_COMPARE_WITH_TIMEOUT(dirtyPages(track), 0, 10000);
        QVERIFY(finish(sink.finish()).ok());
    }

    void sinkLaysBuffersAtTheirTimes()
    {
        // A source that was away for 0.4 s comes back: silence fills the gap. A buffer that begins
        // before the track's end loses what the track already covers.
        QTemporaryDir directory;
        AudioSink sink(directory.path());
        deliver(sink, tone(100), OutputType::System);
        deliver(sink, tone(100.5), OutputType::System);
        deliver(sink, tone(100.55), OutputType::System);
        QVERIFY(finish(sink.finish()).ok());
        const QList<float> audio = test::decode(directory.filePath("system.caf")).left;
        QCOMPARE(audio.size(), 31200);
        QCOMPARE(*std::max_element(audio.begin() + 4900, audio.begin() + 23900), 0.0f);
        QVERIFY(*std::max_element(audio.begin() + 24000, audio.end()) > 0.1f);
    }

    void startRefusedLeavesNoTrace_data()
    {
        QTest::addColumn<bool>("microphone");
        QTest::addColumn<bool>("display");
        QTest::addColumn<QString>("account");
        QTest::addColumn<QString>("message");
        QTest::newRow("no microphone")
            << false << true << QStringLiteral("acct")
            << QStringLiteral(
                   "No hay ningún micrófono disponible. Revisa el dispositivo de entrada "
                   "en la configuración de sonido.");
        QTest::newRow("no display")
            << true << false << QStringLiteral("acct")
            << QStringLiteral("No hay pantalla disponible para capturar el audio de la reunión.");
        QTest::newRow("account reaching out")
            << true << true << QStringLiteral("a/../../b")
            << QStringLiteral("El identificador de la cuenta no sirve como nombre de la carpeta de "
                              "grabaciones.");
    }

    void startRefusedLeavesNoTrace()
    {
        QFETCH(bool, microphone);
        QFETCH(bool, display);
        QFETCH(QString, account);
        QFETCH(QString, message);
        Scripted s;
        s.capture->microphone = microphone;
        if (!display)
            s.capture->displayList.clear();
        QSignalSpy recording(&s.recorder, &MeetingRecorder::isRecordingChanged);
        QSignalSpy pending(&s.recorder, &MeetingRecorder::pendingChanged);

        const auto outcome = finish(s.recorder.start("page", account));
        QCOMPARE(outcome.error, message);
        QCOMPARE(s.recorder.pageID(), QString());
        QVERIFY(!s.recorder.isRecording());
        QCOMPARE(s.capture->streams, 0);
        QCOMPARE(recording.size() + pending.size(), 0);
        QVERIFY(!QDir(m_home.data() + "/Quorvale/Recordings/acct").exists());
        QVERIFY(!QDir(m_home.data() + "/b").exists());
    }

    void startWritesPrivateDirectoryAndSession()
    {
        Scripted s;
        Gate gate;
        s.capture->startGate = &gate;
        const QString account = newAccount();
        const QString other = newAccount();
        QSignalSpy recording(&s.recorder, &MeetingRecorder::isRecordingChanged);

        auto first = s.recorder.start("page-1", account);
        // Held while capture starts: the directory holds only the session record.
        const QStringList directories = directoriesOf(account);
        QCOMPARE(directories.size(), 1);
        const QString directory = directories.first();
        QCOMPARE(QFileInfo(directory).absolutePath(),
                 m_home.data() + "/Quorvale/Recordings/" + account);
        QCOMPARE(permissionsOf(directory), 0700);
        QCOMPARE(permissionsOf(QFileInfo(directory).absolutePath()), 0700);
        QCOMPARE(QDir(directory).entryList(QDir::Files | QDir::Hidden),
                 {QStringLiteral("session.json")});
        const QJsonObject session = readObject(directory + "/session.json");
        QCOMPARE(session[u"pageId"].toString(), "page-1");
        QCOMPARE(session[u"accountId"].toString(), account);
        QVERIFY(!s.recorder.isRecording() && !s.recorder.started().isValid());
        // Meanwhile a second start returns at once and does nothing.
        QVERIFY(finish(s.recorder.start("second", other)).ok());
        QCOMPARE(s.capture->askedMicrophone, 1);

        gate.open();
        QVERIFY(finish(std::move(first)).ok());
        QVERIFY(s.recorder.isRecording());
        QCOMPARE(recording.size(), 1);
        const QDateTime started = s.recorder.started();
        // Nor does one while recording.
        QVERIFY(finish(s.recorder.start("third", other)).ok());
        QCOMPARE(s.recorder.pageID(), "page-1");
        QCOMPARE(s.recorder.started(), started);
        QCOMPARE(s.capture->streams, 1);
        QVERIFY(directoriesOf(other).isEmpty());

        // A second recording of the same account is a sibling with its own identifier.
        QVERIFY(finish(s.recorder.stop()).ok());
        QVERIFY(finish(s.recorder.start("page-2", account)).ok());
        QCOMPARE(directoriesOf(account).size(), 2);
        QVERIFY(finish(s.recorder.stop()).ok());
    }

    void startFailuresKeepTheAttempt()
    {
        for (const bool outputFails : {true, false}) {
            Scripted s;
            s.capture->failAddOutput = outputFails;
            s.capture->failStart = !outputFails;
            const QString account = newAccount();
            const auto outcome = finish(s.recorder.start("page", account));
            QCOMPARE(outcome.error, outputFails ? "output refused" : "start refused");
            QVERIFY(!s.recorder.isRecording());
            QCOMPARE(s.recorder.pageID(), "page");
            QCOMPARE(s.recorder.accountID(), account);
            QVERIFY(QFile::exists(directoriesOf(account).value(0) + "/session.json"));
            // Nothing runs that could be stopped.
            QCOMPARE(finish(s.recorder.stop()).error, noRecording);
            // The failure does not block the next attempt.
            s.capture->failAddOutput = s.capture->failStart = false;
            QVERIFY(finish(s.recorder.start("page", account)).ok());
            QVERIFY(s.recorder.isRecording());
            QVERIFY(finish(s.recorder.stop()).ok());
        }
    }

    void stopMixesAndReturnsToIdle()
    {
        Scripted s;
        Gate gate;
        s.capture->stopGate = &gate;
        const QString account = newAccount();
        // Before any start there is nothing to stop.
        QCOMPARE(finish(s.recorder.stop()).error, noRecording);
        QVERIFY(finish(s.recorder.start("page", account)).ok());
        const QString directory = directoriesOf(account).first();
        QSignalSpy finishing(&s.recorder, &MeetingRecorder::isFinishingChanged);
        QSignalSpy recording(&s.recorder, &MeetingRecorder::isRecordingChanged);
        QSignalSpy pending(&s.recorder, &MeetingRecorder::pendingChanged);

        // A second stop joins the first; a start while finishing does nothing.
        auto first = s.recorder.stop();
        QVERIFY(s.recorder.isFinishing());
        auto second = s.recorder.stop();
        QVERIFY(finish(s.recorder.start("other", newAccount())).ok());
        gate.open();
        const auto stopped = finish(std::move(first));
        QVERIFY2(stopped.ok(), qPrintable(stopped.error));
        QCOMPARE(finish(std::move(second)).value, stopped.value);
        QCOMPARE(s.capture->streams, 1);
        QCOMPARE(s.capture->stops, 1);
        const QString mixed = directory + "/meeting.m4a";
        QCOMPARE(*stopped.value, mixed);
        QCOMPARE(s.recorder.pending(), mixed);
        QCOMPARE(pending.size(), 1);
        QCOMPARE(finishing.size(), 2);
        QCOMPARE(recording.size(), 1);
        QVERIFY(!s.recorder.isFinishing() && !s.recorder.isRecording());
        QCOMPARE(permissionsOf(mixed), 0600);
        // The microphone began 0.5 s after the system audio; each lasted 0.2 s.
        QVERIFY(qAbs(test::probe(mixed).duration - 0.7) < 0.03);
        QCOMPARE(finish(s.recorder.stop()).error, noRecording);

        // The next start clears what the last one left pending.
        QVERIFY(finish(s.recorder.start("page", account)).ok());
        QCOMPARE(s.recorder.pending(), QString());
        QVERIFY(finish(s.recorder.stop()).ok());
    }

    void failedStopStillReturnsToIdle()
    {
        Scripted s;
        s.capture->failStop = true;
        const QString account = newAccount();
        QVERIFY(finish(s.recorder.start("page", account)).ok());
        QCOMPARE(finish(s.recorder.stop()).error, "stop refused");
        QVERIFY(!s.recorder.isRecording() && !s.recorder.isFinishing());
        QCOMPARE(s.recorder.pending(), QString());
        // Released without finishing: the tracks stay for recovery.
        const QString directory = directoriesOf(account).first();
        // Beside it, a start killed before any audio reached disk: a track of its header alone
        // would fail recovery at every start, so it is not offered.
        const QString empty = QFileInfo(directory).dir().filePath("killed-at-start");
        QVERIFY(QDir().mkpath(empty));
        SF_INFO info{0, 48000, 1, SF_FORMAT_CAF | SF_FORMAT_FLOAT, 0, 0};
        sf_close(
            sf_open(QFile::encodeName(empty + "/microphone.caf").constData(), SFM_WRITE, &info));
        QCOMPARE(MeetingRecorder::recoverable(account), {directory});
        const auto recovered = finish(MeetingRecorder::recover(directory));
        QVERIFY(recovered.ok());
        QCOMPARE(test::probe(directory + "/meeting.m4a").codec, "aac");
    }

    void silentOutputIsReportedWhenTheCaptureEnds()
    {
        Scripted s;
        const QString account = newAccount();
        QVERIFY(!s.recorder.systemSilent());
        QSignalSpy silent(&s.recorder, &MeetingRecorder::systemSilentChanged);

        // A whisper (-66 dBFS) is no call on the output: reported even when the stop fails. The
        // levels show while recording and are 0 once it ends.
        s.capture->systemAmplitude = 0.0005f;
        s.capture->failStop = true;
        {
            LevelWatch watch(s.recorder);
            QVERIFY(finish(s.recorder.start("page", account)).ok());
            QTRY_VERIFY(watch.microphone > 0.1f);
            QVERIFY(watch.system < 0.001f && !s.recorder.systemSilent());
            QVERIFY(!finish(s.recorder.stop()).ok());
            QCOMPARE(s.recorder.microphoneLevel(), 0.0f);
            QCOMPARE(s.recorder.systemLevel(), 0.0f);
        }
        QCOMPARE(silent.size(), 1);
        QVERIFY(s.recorder.systemSilent());

        // The next recording clears the warning as it starts; a tone keeps it away.
        s.capture->systemAmplitude = 0.2f;
        s.capture->failStop = false;
        QVERIFY(finish(s.recorder.start("page", account)).ok());
        QCOMPARE(silent.size(), 2);
        QVERIFY(!s.recorder.systemSilent());
        QVERIFY(finish(s.recorder.stop()).ok());
        QCOMPARE(silent.size(), 2);

        // No system audio at all, and the capture ended by the system.
        s.capture->systemAmplitude.reset();
        QVERIFY(finish(s.recorder.start("page", account)).ok());
        QSignalSpy recording(&s.recorder, &MeetingRecorder::isRecordingChanged);
        s.capture->last->endOnItsOwn();
        QVERIFY(recording.wait());
        QCOMPARE(silent.size(), 3);
        QVERIFY(s.recorder.systemSilent());
        QCOMPARE(s.recorder.microphoneLevel(), 0.0f);
    }

    // Real recordings on a PulseAudio daemon.
    void realRecordingPlacesOneToneAtOneInstantInBothTracks()
    {
        // One tone heard by both sources at once sits at the same time in both tracks, whatever
        // each source's start record says; one player, so no two players' start-up differs.
        const QString toneFile = m_files.filePath("tone.wav");
        QVERIFY(test::makeTone(toneFile, 0.2, 0.3, 1000, 0.1));
        MeetingRecorder recorder(makePulseCapture(m_sound->address()));
        LevelWatch watch(recorder);
        QVERIFY(finish(recorder.start("page", newAccount())).ok());
        const std::unique_ptr<QProcess> player(m_sound->play(toneFile, "both"));
        QVERIFY(played(*player));
        // Each source's level rose with the tone; the output was heard.
        QTRY_VERIFY_WITH_TIMEOUT(watch.microphone > 0.05f && watch.system > 0.05f, 5000);
        const auto stopped = finish(recorder.stop());
        QVERIFY2(stopped.ok(), qPrintable(stopped.error));
        const QString mixed = *stopped.value;
        const QString directory = QFileInfo(mixed).absolutePath();
        QCOMPARE(recorder.pending(), mixed);
        QVERIFY(!recorder.systemSilent());
        // The mixer suite has the mixed file's tone positions; here, that it is AAC in M4A.
        QCOMPARE(test::probe(mixed).brand, "M4A ");

        const Placed microphone = place(directory, "microphone", 1000);
        const Placed system = place(directory, "system", 1000);
        QVERIFY(microphone.onset > 0 && system.onset > 0);
        const double measured = system.clock() - microphone.clock();
        qInfo("one tone measured %.1f ms apart on the capture clock; start records %.1f ms apart",
              measured * 1000, (system.first - microphone.first) * 1000);
        QVERIFY(qAbs(measured) <= startTolerance);
    }

    void realInterruptedRecordingIsRecoverable_data()
    {
        QTest::addColumn<qint64>("fileSizeLimit"); // 0: killed instead
        QTest::newRow("recorder killed") << qint64(0);
        // Files that may not grow past 256 KiB: the disk is full within a second.
        QTest::newRow("disk full") << qint64(256 * 1024);
    }

    void realInterruptedRecordingIsRecoverable()
    {
        QFETCH(qint64, fileSizeLimit);
        const QString account = newAccount();
        QProcess child;
        QStringList arguments{m_sound->address(), "page", account};
        if (fileSizeLimit > 0)
            arguments.append(QString::number(fileSizeLimit));
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QStringLiteral(QUORVALE_RECORDER_CHILD), arguments);
        QVERIFY(child.waitForReadyRead(10000));
        QCOMPARE(child.readLine().trimmed(), QByteArray("recording"));
        const QStringList directories = directoriesOf(account);
        QCOMPARE(directories.size(), 1);
        const QString directory = directories.first();

        if (fileSizeLimit == 0) {
            // Audio is on disk once both start records are.
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(directory + "/system.json") &&
                                         QFile::exists(directory + "/microphone.json"),
                                     5000);
            child.kill();
            QVERIFY(child.waitForFinished());
            QCOMPARE(child.exitStatus(), QProcess::CrashExit);
        } else {
            // Reported while recording, without a stop, and the capture is over.
            QVERIFY(child.waitForFinished(15000));
            QCOMPARE(child.exitCode(), 0);
            QCOMPARE(QString::fromUtf8(child.readAllStandardOutput().trimmed()),
                     "ended " + writeFailure);
        }

        // What was written stays, reads back whole, and recovers.
        QVERIFY(framesOf(directory + "/system.caf") > 0);
        QVERIFY(framesOf(directory + "/microphone.caf") > 0);
        QCOMPARE(MeetingRecorder::recoverable(account), {directory});
        const auto recovered = finish(MeetingRecorder::recover(directory));
        QVERIFY2(recovered.ok(), qPrintable(recovered.error));
        QCOMPARE(*recovered.value, directory + "/meeting.m4a");
        const test::Probe probed = test::probe(*recovered.value);
        QCOMPARE(probed.codec, "aac");
        QVERIFY(probed.duration > 0.3);
    }

    void realRecordingFollowsTheDefaultOutputUntilTheServerDies()
    {
        // A daemon of its own, whose outputs the test adds and removes, and which it kills.
        test::SoundServer server;
        QVERIFY2(server.start(), qPrintable(server.error()));
        MeetingRecorder recorder(makePulseCapture(server.address()));
        const QString account = newAccount();
        QVERIFY(finish(recorder.start("page", account)).ok());
        const QString directory = directoriesOf(account).first();
        const QString microphone = directory + "/microphone.caf";
        const QString systemTrack = directory + "/system.caf";
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(directory + "/system.json"), 5000);
        QSignalSpy error(&recorder, &MeetingRecorder::errorChanged);
        QSignalSpy recording(&recorder, &MeetingRecorder::isRecordingChanged);
        const auto pactl = [&](const QString &command) {
            return server.control(command.split(u' ')).has_value();
        };

        // A headset connects mid-call and the call moves to it: so does the system audio. Kept
        // playing, as a headset that carries a call is: an idle null sink renders seconds ahead,
        // and what is played into it would reach its monitor that much later.
        QVERIFY(pactl("load-module module-null-sink sink_name=headset rate=48000"));
        QVERIFY(pactl("load-module module-combine-sink sink_name=call slaves=headset"));
        QVERIFY(pactl("set-default-sink headset"));
        QTRY_VERIFY_WITH_TIMEOUT(server.isRecorded("headset.monitor"), 5000);
        // Played once the headset's audio reaches the track, as a call would go on for a while.
        const sf_count_t switched = framesOf(systemTrack);
        QTRY_VERIFY_WITH_TIMEOUT(framesOf(systemTrack) > switched + 24000, 5000);
        // The microphone hears 1000 Hz and the headset plays 1500 Hz half a second later: so they
        // lie on the capture clock when the system track's gap is silence of the right length.
        const QString microphoneFile = m_files.filePath("microphone.wav");
        const QString headsetFile = m_files.filePath("headset.wav");
        QVERIFY(test::makeTone(microphoneFile, 0.2, 0.3, 1000, 0.1));
        QVERIFY(test::makeTone(headsetFile, 0.7, 0.3, 1500, 0.1));
        const std::unique_ptr<QProcess> said(server.play(microphoneFile, "micsink"));
        const std::unique_ptr<QProcess> played(server.play(headsetFile, "headset"));
        QVERIFY(said->waitForFinished(10000) && said->exitCode() == 0);
        QVERIFY(played->waitForFinished(10000) && played->exitCode() == 0);

        // The first output goes away, then the one recorded: the recording, microphone included,
        // goes on.
        for (const char *sink : {"vsink", "headset"}) {
            QVERIFY(server.unloadSink(sink));
            const sf_count_t before = framesOf(microphone);
            QTRY_VERIFY_WITH_TIMEOUT(framesOf(microphone) > before + 24000, 5000);
        }
        QCOMPARE(error.size() + recording.size(), 0);

        // The daemon dies: the recording ends with an error, and its tracks stay, pending.
        server.kill();
        QVERIFY(error.wait(5000));
        QVERIFY(!recorder.error().isEmpty());
        QCOMPARE(recording.size(), 1);
        QVERIFY(!recorder.isRecording() && !recorder.isFinishing());
        QCOMPARE(finish(recorder.stop()).error, noRecording);
        QVERIFY(!QFile::exists(directory + "/meeting.m4a"));
        QCOMPARE(MeetingRecorder::recoverable(account), {directory});
        const Placed system = place(directory, "system", 1500);
        const Placed heard = place(directory, "microphone", 1000);
        QVERIFY(system.onset > 0 && heard.onset > 0);
        // Each tone only in its own source.
        QCOMPARE(place(directory, "microphone", 1500).onset, -1.0);
        const double apart = system.clock() - heard.clock();
        qInfo("tones 0.5 s apart after the switch measured %.1f ms apart", apart * 1000);
        QVERIFY(qAbs(apart - 0.5) <= startTolerance);

        // With no sound server, the next start fails with the platform's error and keeps the old
        // one.
        const QString before = recorder.error();
        QVERIFY(!finish(recorder.start("page", account)).error.isEmpty());
        QCOMPARE(recorder.error(), before);
    }

private:
    // Recordings go under a private data folder.
    test::XdgHome m_home;
    QTemporaryDir m_files;
    std::unique_ptr<test::SoundServer> m_sound;
    int m_accounts = 0;
    QString newAccount() { return QStringLiteral("account-%1").arg(++m_accounts); }
};

QTEST_GUILESS_MAIN(RecorderTest)
#include "tst_recorder.moc"
