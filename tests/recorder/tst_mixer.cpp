// Mixing track files into meeting.m4a and recovering interrupted recordings, on real .caf files
// written with libsndfile and results checked with ffprobe and decoded with ffmpeg.

#include "recorder/mixer.h"

#include "support/audio.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sndfile.h>

#include <cmath>
#include <functional>
#include <numbers>
#include <optional>
#include <vector>

using namespace quorvale;
using test::decode;
using test::findTone;

namespace {

constexpr int kRate = 48000;
constexpr double kAmplitude = 0.25;
const QString kNoAudio =
    QStringLiteral("No se recibió audio. Los archivos de recuperación permanecen en este equipo.");

// A sine tone from the first sample to the last, as a capture would have written it.
void writeTone(const QString &path, double frequency, double seconds, int rate = kRate,
               int channels = 2, int format = SF_FORMAT_CAF | SF_FORMAT_FLOAT)
{
    SF_INFO info = {};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE *file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    QVERIFY2(file, sf_strerror(nullptr));
    const auto frames = static_cast<std::size_t>(std::lround(seconds * rate));
    std::vector<float> samples(frames * static_cast<std::size_t>(channels));
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<float>(
            kAmplitude * std::sin(2 * std::numbers::pi * frequency *
                                  double(i / static_cast<std::size_t>(channels)) / rate));
    QCOMPARE(sf_writef_float(file, samples.data(), static_cast<sf_count_t>(frames)),
             static_cast<sf_count_t>(frames));
    QCOMPARE(sf_close(file), 0);
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

QStringList filesIn(const QString &directory)
{
    return QDir(directory).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

QString recordingErrorOf(const std::function<void()> &call)
{
    try {
        call();
    } catch (const RecordingError &error) {
        return error.message();
    }
    return {};
}

bool near(double measured, double expected, double tolerance)
{
    if (std::abs(measured - expected) <= tolerance)
        return true;
    qWarning("measured %.3f, expected %.3f", measured, expected);
    return false;
}

} // namespace

class TestMixer final : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_dir.emplace();
        QVERIFY(m_dir->isValid());
    }

    void cleanup() { m_dir.reset(); }

    // What a stopped recording becomes.
    void mixesEachSourceAtItsOffset_data()
    {
        QTest::addColumn<double>("systemStart");
        QTest::addColumn<double>("systemSeconds");
        QTest::addColumn<double>("microphoneStart");
        QTest::addColumn<double>("microphoneSeconds"); // 0: no microphone track
        QTest::addColumn<int>("microphoneRate");       // not 48 kHz: mono 16-bit integers
        QTest::addColumn<double>("systemOnset");
        QTest::addColumn<double>("microphoneOnset");
        QTest::addColumn<double>("duration");

        QTest::newRow("microphone first") << 7.5 << 0.8 << 7.2 << 0.6 << kRate << 0.3 << 0.0 << 1.1;
        QTest::newRow("later source ends first")
            << 0.0 << 1.6 << 0.4 << 0.5 << kRate << 0.0 << 0.4 << 1.6;
        QTest::newRow("single source")
            << 12345.0 << 0.7 << -1.0 << 0.0 << kRate << 0.0 << -1.0 << 0.7;
        QTest::newRow("mono 44.1 kHz microphone")
            << 50.0 << 1.0 << 50.25 << 1.0 << 44100 << 0.0 << 0.25 << 1.25;
    }

    void mixesEachSourceAtItsOffset()
    {
        QFETCH(double, systemStart);
        QFETCH(double, systemSeconds);
        QFETCH(double, microphoneStart);
        QFETCH(double, microphoneSeconds);
        QFETCH(int, microphoneRate);
        QFETCH(double, systemOnset);
        QFETCH(double, microphoneOnset);
        QFETCH(double, duration);

        QList<Track> tracks;
        writeTone(path("system.caf"), 440, systemSeconds);
        tracks.append({path("system.caf"), systemStart});
        QStringList expected = {"meeting.m4a", "system.caf"};
        if (microphoneSeconds > 0) {
            if (microphoneRate == kRate)
                writeTone(path("microphone.caf"), 1000, microphoneSeconds);
            else
                writeTone(path("microphone.caf"), 1000, microphoneSeconds, microphoneRate, 1,
                          SF_FORMAT_CAF | SF_FORMAT_PCM_16);
            tracks.append({path("microphone.caf"), microphoneStart});
            expected.insert(1, "microphone.caf");
        }
        const QString output = path("meeting.m4a");
        QCOMPARE(mixTracks(tracks, output), output);

        const test::Probe info = test::probe(output);
        QCOMPARE(info.codec, "aac");
        QCOMPARE(info.sampleRate, kRate);
        QCOMPARE(info.channels, 2);
        QVERIFY(near(info.duration, duration, 0.03));

        // Summed as they are, in both ears: each source keeps its place and its own level.
        const test::Decoded mix = decode(output);
        for (const QList<float> &ear : {mix.left, mix.right}) {
            QVERIFY(near(findTone(ear, 440).onset, systemOnset, 0.05));
            QVERIFY(near(findTone(ear, 440).level, kAmplitude, 0.03));
            if (microphoneSeconds > 0) {
                QVERIFY(near(findTone(ear, 1000).onset, microphoneOnset, 0.05));
                QVERIFY(near(findTone(ear, 1000).level, kAmplitude, 0.03));
            }
        }
        // Nothing but the tracks and the result: no partial file stays behind.
        QCOMPARE(filesIn(m_dir->path()), expected);
    }

    void replacesAnEarlierOutput()
    {
        writeTone(path("system.caf"), 440, 0.5);
        writeFile(path("meeting.m4a"), "left over");
        QFile::setPermissions(path("meeting.m4a"), QFileDevice::ReadOwner |
                                                       QFileDevice::WriteOwner |
                                                       QFileDevice::ReadOther);
        mixTracks({{path("system.caf"), 0}}, path("meeting.m4a"));
        QCOMPARE(test::probe(path("meeting.m4a")).codec, QStringLiteral("aac"));
        QVERIFY(!(QFile::permissions(path("meeting.m4a")) & QFileDevice::ReadOther));
        // The output's directory is not made.
        QVERIFY_THROWS_EXCEPTION(FileError,
                                 mixTracks({{path("system.caf"), 0}}, path("gone/meeting.m4a")));
    }

    // Tracks that carry nothing, or that cannot be read.
    void tracksWithoutAudioLeaveNoOutput()
    {
        QCOMPARE(recordingErrorOf([&] { mixTracks({}, path("meeting.m4a")); }), kNoAudio);
        // A track that began but holds no frame (a killed writer's is the recovery tables').
        writeTone(path("system.caf"), 440, 0);
        QCOMPARE(recordingErrorOf([&] {
                     mixTracks({{path("system.caf"), 10}}, path("meeting.m4a"));
                 }),
                 kNoAudio);
        QCOMPARE(filesIn(m_dir->path()), QStringList{"system.caf"});

        // The empty track still started first: the other is placed after it.
        writeTone(path("microphone.caf"), 1000, 0.5);
        mixTracks({{path("system.caf"), 10}, {path("microphone.caf"), 10.3}}, path("meeting.m4a"));
        const test::Decoded mix = decode(path("meeting.m4a"));
        QVERIFY(near(mix.seconds(), 0.8, 0.03));
        QVERIFY(near(findTone(mix.left, 1000).onset, 0.3, 0.05));

        // Recovery with no readable track, or of a stray file, fails the same way.
        QVERIFY(QFile::remove(path("meeting.m4a")));
        writeFile(path("system.caf"), "not audio");
        writeFile(path("microphone.caf"), "");
        QCOMPARE(recordingErrorOf([&] { recoverDirectory(m_dir->path()); }), kNoAudio);
        QVERIFY(!QFile::exists(path("meeting.m4a")));
        writeFile(path(".DS_Store"), "x");
        QCOMPARE(recordingErrorOf([&] { recoverDirectory(path(".DS_Store")); }), kNoAudio);
    }

    void unreadableTrackLeavesNoOutput_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<bool>("exists");
        QTest::newRow("not audio") << QByteArray("caff but not really") << true;
        QTest::newRow("missing") << QByteArray() << false;
        // Its header promises more audio than the file holds, as after a lost write.
        QTest::newRow("cut short") << QByteArray("cut") << true;
    }

    void unreadableTrackLeavesNoOutput()
    {
        QFETCH(QByteArray, contents);
        QFETCH(bool, exists);
        writeTone(path("system.caf"), 440, 0.3);
        if (contents == "cut") {
            writeTone(path("microphone.caf"), 1000, 0.3);
            QFile track(path("microphone.caf"));
            QVERIFY(track.resize(track.size() - 4800 * 8));
        } else if (exists) {
            writeFile(path("microphone.caf"), contents);
        }
        try {
            mixTracks({{path("system.caf"), 0}, {path("microphone.caf"), 0}}, path("meeting.m4a"));
            QFAIL("an unreadable track was mixed");
        } catch (const MediaError &error) {
            QVERIFY2(QString::fromUtf8(error.what()).contains(path("microphone.caf")),
                     error.what());
        }
        const QStringList left =
            exists ? QStringList{"microphone.caf", "system.caf"} : QStringList{"system.caf"};
        QCOMPARE(filesIn(m_dir->path()), left);
    }

    void refusesAnOffsetBeyondReason()
    {
        // A start record corrupted into a huge number must not start an endless encode.
        writeTone(path("system.caf"), 440, 0.3);
        writeTone(path("microphone.caf"), 1000, 0.3);
        QVERIFY_THROWS_EXCEPTION(
            MediaError, mixTracks({{path("system.caf"), 0}, {path("microphone.caf"), 1e300}},
                                  path("meeting.m4a")));
        QVERIFY(!QFile::exists(path("meeting.m4a")));
    }

    // Recovery from the files on disk.
    void recoveryReadsStartRecords_data()
    {
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<double>("start");
        QTest::newRow("number") << QByteArray(R"({"first":812.625})") << 812.625;
        // A lost start is the earliest known one: the capture clock counts from boot, so 0
        // would put the other source far into the mix.
        QTest::newRow("missing") << QByteArray() << 4.5;
        QTest::newRow("not JSON") << QByteArray("{\"first\":") << 4.5;
        // Hours apart on one clock cannot both be right: the later one is taken as damaged.
        QTest::newRow("more than 6 hours later") << QByteArray(R"({"first":21604.6})") << 4.5;
        QTest::newRow("within 6 hours") << QByteArray(R"({"first":21604.4})") << 21604.4;
    }

    void recoveryReadsStartRecords()
    {
        QFETCH(QByteArray, record);
        QFETCH(double, start);
        // Only the track files count; the order is system, then microphone.
        writeFile(path("microphone.caf"), "x");
        writeFile(path("microphone.json"), R"({"first":4.5})");
        writeFile(path("system.caf"), "x");
        if (!record.isEmpty())
            writeFile(path("system.json"), record);
        const QList<Track> tracks = recoveryTracks(m_dir->path());
        QCOMPARE(tracks.size(), 2);
        QCOMPARE(tracks[0].path, path("system.caf"));
        QCOMPARE(tracks[0].start, start);
        QCOMPARE(tracks[1].path, path("microphone.caf"));
        QCOMPARE(tracks[1].start, 4.5);

        // No start known at all: both at 0, so both start the mix.
        QVERIFY(QFile::remove(path("microphone.json")));
        QFile::remove(path("system.json"));
        for (const Track &track : recoveryTracks(m_dir->path()))
            QCOMPARE(track.start, 0.0);
    }

    void recoverMixesWhatWasLeft()
    {
        // The system's start record is lost: it starts with the microphone, whose recorded start
        // is far along the capture clock (days after boot).
        writeTone(path("system.caf"), 440, 0.5);
        writeFile(path("system.json"), "garbage");
        writeTone(path("microphone.caf"), 1000, 0.5);
        writeFile(path("microphone.json"), R"({"first":345600.4})");
        writeFile(path("session.json"),
                  R"({"pageId":"p","accountId":"a","startedAt":"2026-03-04T15:20:00Z"})");

        const QString output = recoverDirectory(m_dir->path());
        QCOMPARE(output, path("meeting.m4a"));
        const test::Decoded mix = decode(output);
        QVERIFY(near(mix.seconds(), 0.5, 0.03));
        QVERIFY(near(findTone(mix.left, 440).onset, 0, 0.05));
        QVERIFY(near(findTone(mix.left, 1000).onset, 0, 0.05));
    }

    void recoverySavesWhatCanBeRead_data()
    {
        QTest::addColumn<QByteArray>("damage");
        QTest::addColumn<double>("readable"); // seconds of the microphone that survive; 0: none
        QTest::newRow("cut short") << QByteArray("cut") << 0.4;
        QTest::newRow("size never written") << QByteArray("size 4") << 0.5;
        QTest::newRow("size unknown") << QByteArray("size -1") << 0.5;
        QTest::newRow("size beyond the file") << QByteArray("size huge") << 0.5;
        QTest::newRow("format lost") << QByteArray("format") << 0.0;
        QTest::newRow("not audio") << QByteArray("garbage") << 0.0;
    }

    void recoverySavesWhatCanBeRead()
    {
        QFETCH(QByteArray, damage);
        QFETCH(double, readable);
        writeTone(path("system.caf"), 440, 0.5);
        writeFile(path("system.json"), R"({"first":10})");
        writeTone(path("microphone.caf"), 1000, 0.5);
        writeFile(path("microphone.json"), R"({"first":10.2})");
        QFile track(path("microphone.caf"));
        QVERIFY(track.open(QIODevice::ReadWrite));
        QByteArray bytes = track.readAll();
        const qsizetype data = bytes.indexOf("data") + 4;
        const qsizetype format = bytes.indexOf("desc") + 12;
        QVERIFY(data > 4 && format > 12);
        const auto sizeField = [&](quint64 size) {
            for (int i = 0; i < 8; ++i)
                bytes[data + i] = char(size >> (56 - 8 * i));
        };
        if (damage == "cut")
            bytes.chop(4800 * 8);
        else if (damage == "size 4")
            sizeField(4);
        else if (damage == "size -1")
            sizeField(~quint64(0));
        else if (damage == "size huge")
            sizeField(quint64(1) << 40);
        else if (damage == "format")
            bytes.replace(format, 8, QByteArray(8, 0));
        else
            bytes = "garbage";
        QVERIFY(track.resize(0) && track.write(bytes) == bytes.size());
        track.close();

        const Recovery recovered = recoverRecording(m_dir->path());
        QCOMPARE(recovered.path, path("meeting.m4a"));
        const test::Decoded mix = decode(recovered.path);
        QVERIFY(near(findTone(mix.left, 440).onset, 0, 0.05));
        QVERIFY(near(mix.seconds(), std::max(0.5, 0.2 + readable), 0.03));
        const test::Tone microphone = findTone(mix.left, 1000);
        if (readable > 0) {
            QVERIFY(near(microphone.onset, 0.2, 0.05));
            QVERIFY(near(microphone.level, kAmplitude, 0.03));
            QCOMPARE(recovered.notice, QString());
        } else {
            // The user learns which source the recording lacks.
            QCOMPARE(microphone.onset, -1.0);
            QCOMPARE(recovered.notice,
                     QStringLiteral("La grabación se recuperó sin el micrófono: su "
                                    "pista no se pudo leer."));
        }
    }

    void recoverReturnsAnExistingMix()
    {
        // Tracks unreadable: the finished mix is returned without touching them.
        writeFile(path("meeting.m4a"), "already mixed");
        writeFile(path("system.caf"), "not audio");
        QCOMPARE(recoverDirectory(m_dir->path()), path("meeting.m4a"));
        QFile mix(path("meeting.m4a"));
        QVERIFY(mix.open(QIODevice::ReadOnly));
        QCOMPARE(mix.readAll(), QByteArray("already mixed"));
    }

    void listsPendingRecordings()
    {
        const QString account = path("Recordings/account-1");
        QVERIFY(recoverableDirectories(account).isEmpty());
        for (const char *name : {"/1", "/2", "/3"})
            QVERIFY(QDir().mkpath(account + name));
        writeFile(account + "/2/uploaded.json", "{}");
        writeFile(account + "/3/meeting.m4a", "x");
        writeFile(account + "/.DS_Store", "x");

        // Everything not uploaded, mixed or not, and whatever else lies there: recovery decides.
        QStringList pending = recoverableDirectories(account);
        pending.sort();
        QCOMPARE(pending, QStringList({account + "/.DS_Store", account + "/1", account + "/3"}));
    }

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }

    std::optional<QTemporaryDir> m_dir;
};

QTEST_GUILESS_MAIN(TestMixer)
#include "tst_mixer.moc"
