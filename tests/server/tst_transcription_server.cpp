#include "support/httpsclient.h"
#include "support/referenceserver.h"
#include "json/json.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <thread>

using quorvale::JSON;
using quorvale::test::ReferenceServer;
using Client = quorvale::test::HttpsClient;
using Reply = quorvale::test::HttpsReply;

namespace {

// Spoken by the voice Debian's pocketsphinx recognises best; checked by a few of its words.
const QString sentence =
    QStringLiteral("The quarterly budget meeting starts on Monday morning. Please bring the "
                   "sales report.");
const QStringList contentWords = {QStringLiteral("budget"), QStringLiteral("meeting"),
                                  QStringLiteral("starts"), QStringLiteral("monday"),
                                  QStringLiteral("sales"),  QStringLiteral("report")};

struct User
{
    std::string id;
    std::string token;
};

QByteArray str(std::string_view text)
{
    return QByteArray(text.data(), static_cast<qsizetype>(text.size()));
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool runTool(const QString &program, const QStringList &arguments, QByteArray *output = nullptr)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60'000) || process.exitCode() != 0)
        return false;
    if (output)
        *output = process.readAllStandardOutput();
    return true;
}

bool writeScript(const QString &path, const QByteArray &text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write("#!/bin/sh\n" + text) > 0 &&
           file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                               QFileDevice::ExeOwner);
}

User newUser(ReferenceServer &server, const QString &email)
{
    const QString id = server.addAccount(email);
    if (id.isEmpty() || !server.setStatus(id, QStringLiteral("approved")))
        return {};
    return {id.toStdString(), server.token(id).toStdString()};
}

// Uploads audio as an imported file (no upload id); answers the new recording's id.
std::string upload(Client &client, const User &user, const QByteArray &audio,
                   const std::string &type)
{
    const Reply reply = client.send("POST", "/api/recordings?pageId=p&name=Standup", user.token,
                                    audio.toStdString(), type);
    return reply.status == 201 ? std::string(reply.json().id()) : std::string();
}

// Asks for the transcript until it is finished; every status seen is appended to seen, once
// per change. The server offers no notification, so this polls.
JSON awaitTranscript(Client &client, const User &user, const std::string &id,
                     QStringList *seen = nullptr)
{
    QElapsedTimer timer;
    timer.start();
    JSON record;
    while (timer.elapsed() < 120'000) {
        record = client.get("/api/recordings/" + id + "/transcript", user.token).json();
        const QString status = QString::fromUtf8(str(record["status"].stringValue()));
        if (seen && (seen->isEmpty() || seen->last() != status))
            seen->append(status);
        if (status != QLatin1String("queued") && status != QLatin1String("processing"))
            return record;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return record;
}

QString segmentText(const JSON &record)
{
    QString text;
    for (const JSON &segment : record["result"]["segments"].arrayValue())
        text += QString::fromUtf8(str(segment["text"].stringValue())) + QLatin1Char(' ');
    return text;
}

} // namespace

class TranscriptionServerTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    // Uploads.
    void importedFilesNeedNoUploadIdAndRetriesAreStoredOnce();

    // Engines.
    void theBuiltInEngineTranscribesSpeech();
    void aReplacementEngineGetsSpeechWavAndItsSegmentsAreKept();
    void failuresAreReportedAndTranscribeRetries();
    void anotherAccountsRecordingIs404();

    // Lifecycle.
    void aRestartResumesQueuedAndInterruptedWork();

private:
    QTemporaryDir m_dir;
    QByteArray m_wav;
    QByteArray m_m4a;
    ReferenceServer m_server; // runs the replaceable engine below
    User m_user;
};

void TranscriptionServerTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    const QString wav = m_dir.filePath(QStringLiteral("speech.wav"));
    const QString m4a = m_dir.filePath(QStringLiteral("speech.m4a"));
    QVERIFY(runTool(QStringLiteral("espeak-ng"),
                    {QStringLiteral("-v"), QStringLiteral("en-us+klatt"), QStringLiteral("-s"),
                     QStringLiteral("175"), QStringLiteral("-p"), QStringLiteral("50"),
                     QStringLiteral("-w"), wav, sentence}));
    QVERIFY(runTool(QStringLiteral("ffmpeg"),
                    {QStringLiteral("-loglevel"), QStringLiteral("error"), QStringLiteral("-i"),
                     wav, QStringLiteral("-c:a"), QStringLiteral("aac"), m4a}));
    m_wav = readAll(wav);
    m_m4a = readAll(m4a);
    QVERIFY(!m_wav.isEmpty() && !m_m4a.isEmpty());

    // Keeps a copy of what it was given; fails while a file "fail" exists.
    QVERIFY(writeScript(m_dir.filePath(QStringLiteral("engine")), R"(d=$(dirname "$0")
cp "$1" "$d/given.wav"
if [ -e "$d/fail" ]; then echo "loading the model" >&2; echo "the model is missing" >&2; exit 3; fi
echo '{"segments": [{"start": 1.5, "end": 2.25, "text": "fixed words"}, {"start": 3, "text": "more"}]}'
)"));
    m_server.setServeOptions(
        {QStringLiteral("--transcriber"), m_dir.filePath(QStringLiteral("engine"))});
    QVERIFY(m_server.start());
    m_user = newUser(m_server, QStringLiteral("owner@example.com"));
    QVERIFY(!m_user.token.empty());
}

void TranscriptionServerTest::importedFilesNeedNoUploadIdAndRetriesAreStoredOnce()
{
    Client client(m_server);
    // Two imports of the same file are two recordings.
    const std::string first = upload(client, m_user, m_m4a, "audio/mp4");
    const std::string second = upload(client, m_user, m_m4a, "audio/mp4");
    QVERIFY(!first.empty() && !second.empty() && first != second);

    // A recorder's upload sent again after a lost answer is the same recording.
    const std::string path = "/api/recordings?pageId=retry&name=Standup&uploadId=session-1";
    const Reply sent = client.send("POST", path, m_user.token, m_m4a.toStdString(), "audio/mp4");
    const Reply retried = client.send("POST", path, m_user.token, m_m4a.toStdString(), "audio/mp4");
    QCOMPARE(sent.status, 201);
    QCOMPARE(retried.status, 200);
    QCOMPARE(retried.json()["id"], sent.json()["id"]);
    QCOMPARE(client.get("/api/recordings?pageId=retry", m_user.token).json()["recordings"].size(),
             1u);
}

void TranscriptionServerTest::theBuiltInEngineTranscribesSpeech()
{
    ReferenceServer server;
    QVERIFY(server.start());
    const User user = newUser(server, QStringLiteral("speaker@example.com"));
    Client client(server);
    const std::string id = upload(client, user, m_wav, "audio/wav");
    QVERIFY(!id.empty());

    QStringList seen;
    const JSON record = awaitTranscript(client, user, id, &seen);
    QCOMPARE(str(record["status"].stringValue()), "completed");
    QVERIFY2(seen.size() >= 2 && (seen.first() == QLatin1String("queued") ||
                                  seen.first() == QLatin1String("processing")),
             qPrintable(seen.join(QLatin1Char(','))));
    const QString text = segmentText(record).toLower();
    int heard = 0;
    for (const QString &word : contentWords)
        heard += text.contains(word);
    QVERIFY2(heard >= 2, qPrintable(text));
    QVERIFY(record["result"]["segments"].at(0)["start"].isNumber());
}

void TranscriptionServerTest::aReplacementEngineGetsSpeechWavAndItsSegmentsAreKept()
{
    Client client(m_server);
    const std::string id = upload(client, m_user, m_m4a, "audio/mp4");
    const JSON record = awaitTranscript(client, m_user, id);
    QCOMPARE(record["result"], JSON::decode(R"({"segments": [
        {"start": 1.5, "end": 2.25, "text": "fixed words"},
        {"start": 3, "end": 3, "text": "more"}]})"));

    // The engine was handed the recording as 16 kHz mono 16-bit PCM, whole.
    QByteArray probe;
    QVERIFY(runTool(QStringLiteral("ffprobe"),
                    {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-show_entries"),
                     QStringLiteral("stream=codec_name,sample_rate,channels,duration"),
                     QStringLiteral("-of"), QStringLiteral("default=noprint_wrappers=1"),
                     m_dir.filePath(QStringLiteral("given.wav"))},
                    &probe));
    QVERIFY2(probe.contains("codec_name=pcm_s16le\nsample_rate=16000\nchannels=1\n"), probe);
    const double seconds = probe.mid(probe.indexOf("duration=") + 9).trimmed().toDouble();
    QVERIFY2(seconds > 4.5 && seconds < 5.5, probe);
}

void TranscriptionServerTest::failuresAreReportedAndTranscribeRetries()
{
    Client client(m_server);
    // Bytes that are no audio at all fail in decoding, before any engine runs.
    const std::string noise = upload(client, m_user, "not audio at all", "audio/mp4");
    const JSON undecodable = awaitTranscript(client, m_user, noise);
    QCOMPARE(str(undecodable["status"].stringValue()), "failed");
    QVERIFY(!undecodable["error"].stringValue().empty());

    QFile fail(m_dir.filePath(QStringLiteral("fail")));
    QVERIFY(fail.open(QIODevice::WriteOnly));
    fail.close();
    const std::string id = upload(client, m_user, m_m4a, "audio/mp4");
    const JSON failed = awaitTranscript(client, m_user, id);
    QCOMPARE(str(failed["status"].stringValue()), "failed");
    QVERIFY2(failed["error"].stringValue().find("the model is missing") != std::string_view::npos,
             failed["error"].stringValue().data());
    QVERIFY(!failed.contains("result"));

    // Asked again once the engine works, the same recording completes.
    QVERIFY(fail.remove());
    const Reply again =
        client.post("/api/recordings/" + id + "/transcribe", m_user.token, JSON::object());
    QCOMPARE(again.status, 202);
    const JSON completed = awaitTranscript(client, m_user, id);
    QCOMPARE(str(completed["status"].stringValue()), "completed");
    QVERIFY(!completed.contains("error"));
    QCOMPARE(segmentText(completed), QStringLiteral("fixed words more "));
}

void TranscriptionServerTest::anotherAccountsRecordingIs404()
{
    Client client(m_server);
    const std::string id = upload(client, m_user, m_m4a, "audio/mp4");
    const JSON owned = awaitTranscript(client, m_user, id);
    const User intruder = newUser(m_server, QStringLiteral("intruder@example.com"));
    const Reply read = client.get("/api/recordings/" + id + "/transcript", intruder.token);
    QCOMPARE(read.status, 404);
    QVERIFY(read.body.find("fixed words") == std::string::npos);
    QCOMPARE(
        client.post("/api/recordings/" + id + "/transcribe", intruder.token, JSON::object()).status,
        404);
    // Nothing was queued again for the owner either.
    QCOMPARE(client.get("/api/recordings/" + id + "/transcript", m_user.token).json(), owned);
}

void TranscriptionServerTest::aRestartResumesQueuedAndInterruptedWork()
{
    // One worker and an engine that never finishes: the first recording is under way and the
    // second waits in the queue when the server stops.
    const QString started = m_dir.filePath(QStringLiteral("started"));
    QVERIFY(writeScript(m_dir.filePath(QStringLiteral("stuck")),
                        "touch '" + started.toUtf8() + "'\nsleep 600\n"));
    ReferenceServer server;
    server.setServeOptions({QStringLiteral("--transcription-workers"), QStringLiteral("1"),
                            QStringLiteral("--transcriber"),
                            m_dir.filePath(QStringLiteral("stuck"))});
    QVERIFY(server.start());
    const User user = newUser(server, QStringLiteral("restart@example.com"));
    std::string first;
    std::string second;
    {
        Client client(server);
        first = upload(client, user, m_m4a, "audio/mp4");
        second = upload(client, user, m_m4a, "audio/mp4");
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(started), 30'000);
        QCOMPARE(str(client.get("/api/recordings/" + first + "/transcript", user.token)
                         .json()["status"]
                         .stringValue()),
                 "processing");
        QCOMPARE(str(client.get("/api/recordings/" + second + "/transcript", user.token)
                         .json()["status"]
                         .stringValue()),
                 "queued");
    }
    QElapsedTimer stopping;
    stopping.start();
    server.stop();
    QCOMPARE(server.lastExitCode(), 0);
    // The stuck engine was ended, not waited for.
    QVERIFY(stopping.elapsed() < 30'000);

    // Then the server dies while the first is under way: nothing gets to put it back.
    const QString crashed = m_dir.filePath(QStringLiteral("crashed"));
    const QByteArray killServer = R"sh(
p=$PPID
while [ "$p" -gt 1 ] && [ "$(cat /proc/$p/comm)" != quorvale-server ]; do
    p=$(cut -d' ' -f4 /proc/$p/stat)
done
kill -KILL "$p"
)sh";
    QVERIFY(writeScript(m_dir.filePath(QStringLiteral("crash")),
                        killServer + "touch '" + crashed.toUtf8() + "'\n"));
    server.setServeOptions(
        {QStringLiteral("--transcriber"), m_dir.filePath(QStringLiteral("crash"))});
    QVERIFY(server.start());
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(crashed), 30'000);
    server.stop();
    QCOMPARE(server.lastExitCode(), -1);

    server.setServeOptions(
        {QStringLiteral("--transcriber"), m_dir.filePath(QStringLiteral("engine"))});
    QVERIFY(server.start());
    Client client(server);
    for (const std::string &id : {first, second}) {
        const JSON record = awaitTranscript(client, user, id);
        QCOMPARE(str(record["status"].stringValue()), "completed");
        QCOMPARE(segmentText(record), QStringLiteral("fixed words more "));
    }
}

QTEST_GUILESS_MAIN(TranscriptionServerTest)
#include "tst_transcription_server.moc"
