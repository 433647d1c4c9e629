#include "support/audio.h"
#include "support/servertesting.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

using namespace quorvale::test;
using quorvale::JSON;

namespace {

// Speech of a known length, for what the engine is given.
const QString sentence =
    "The quarterly budget meeting starts on Monday morning. Please bring the sales report.";

bool runTool(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished(60'000) && process.exitCode() == 0;
}

bool writeScript(const QString &path, const QByteArray &text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write("#!/bin/sh\n" + text) > 0 &&
           file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                               QFileDevice::ExeOwner);
}

// Uploads audio as an imported file (no upload id); answers the new recording's id.
std::string upload(HttpsClient &client, const Account &user, const QByteArray &audio)
{
    const HttpsReply reply = client.send("POST", "/api/recordings?pageId=p&name=Standup",
                                         user.token, audio.toStdString(), "audio/mp4");
    return reply.status == 201 ? std::string(reply.json().id()) : std::string();
}

QByteArray statusOf(const JSON &record)
{
    return str(record["status"].stringValue());
}

// Asks for the transcript until it is finished. The server offers no notification, so this
// polls.
JSON awaitTranscript(HttpsClient &client, const Account &user, const std::string &id)
{
    JSON record;
    for (QDeadlineTimer limit(120'000); !limit.hasExpired(); QThread::msleep(50)) {
        record = client.get("/api/recordings/" + id + "/transcript", user.token).json();
        if (statusOf(record) != "queued" && statusOf(record) != "processing")
            break;
    }
    return record;
}

QString segmentText(const JSON &record)
{
    QString text;
    for (const JSON &segment : record["result"]["segments"].arrayValue())
        text += QString::fromUtf8(str(segment["text"].stringValue())) + ' ';
    return text;
}

} // namespace

class TranscriptionServerTest : public QObject, ServerSuite
{
    Q_OBJECT

private slots:
    void initTestCase();

    // Engines (the built-in one hears speech in the recording panel's suite).
    void aReplacementEngineGetsSpeechWavAndItsSegmentsAreKept();
    void failuresAreReportedAndTranscribeRetriesForTheOwnerOnly();

    // Lifecycle.
    void aRestartResumesQueuedAndInterruptedWork();

private:
    QTemporaryDir m_dir;
    QByteArray m_m4a;
    Account m_user;
};

void TranscriptionServerTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    const QString wav = m_dir.filePath("speech.wav");
    const QString m4a = m_dir.filePath("speech.m4a");
    QVERIFY(
        runTool("espeak-ng", {"-v", "en-us+klatt", "-s", "175", "-p", "50", "-w", wav, sentence}));
    QVERIFY(runTool("ffmpeg", {"-loglevel", "error", "-i", wav, "-c:a", "aac", m4a}));
    m_m4a = readAll(m4a);
    QVERIFY(!m_m4a.isEmpty());

    // Keeps a copy of what it was given; fails while a file "fail" exists.
    QVERIFY(writeScript(m_dir.filePath("engine"), R"(d=$(dirname "$0")
cp "$1" "$d/given.wav"
if [ -e "$d/fail" ]; then echo "loading the model" >&2; echo "the model is missing" >&2; exit 3; fi
echo '{"segments": [{"start": 1.5, "end": 2.25, "text": "fixed words"}, {"start": 3, "text": "more"}]}'
)"));
    QVERIFY(startServer({"--transcriber", m_dir.filePath("engine")}));
    m_user = newAccount(m_server, "owner@example.com");
    QVERIFY(!m_user.token.empty());
}

void TranscriptionServerTest::aReplacementEngineGetsSpeechWavAndItsSegmentsAreKept()
{
    // An imported file needs no upload id, so two imports of it are two recordings.
    const std::string id = upload(*m_client, m_user, m_m4a);
    const std::string again = upload(*m_client, m_user, m_m4a);
    QVERIFY(!id.empty() && !again.empty() && id != again);
    QCOMPARE(awaitTranscript(*m_client, m_user, id)["result"], JSON::decode(R"({"segments": [
        {"start": 1.5, "end": 2.25, "text": "fixed words"},
        {"start": 3, "end": 3, "text": "more"}]})"));

    // The engine was handed the recording as 16 kHz mono 16-bit PCM, whole.
    const Probe given = probe(m_dir.filePath("given.wav"));
    QCOMPARE(given.codec, "pcm_s16le");
    QCOMPARE(given.sampleRate, 16000);
    QCOMPARE(given.channels, 1);
    QVERIFY2(given.duration > 4.5 && given.duration < 5.5,
             qPrintable(QString::number(given.duration)));
}

void TranscriptionServerTest::failuresAreReportedAndTranscribeRetriesForTheOwnerOnly()
{
    // Bytes that are no audio at all fail in decoding, before any engine runs.
    const JSON undecodable =
        awaitTranscript(*m_client, m_user, upload(*m_client, m_user, "no audio"));
    QCOMPARE(statusOf(undecodable), "failed");
    QVERIFY(!undecodable["error"].stringValue().empty());

    QFile fail(m_dir.filePath("fail"));
    QVERIFY(fail.open(QIODevice::WriteOnly));
    fail.close();
    const std::string id = upload(*m_client, m_user, m_m4a);
    const JSON failed = awaitTranscript(*m_client, m_user, id);
    QCOMPARE(statusOf(failed), "failed");
    QVERIFY2(failed["error"].stringValue().find("the model is missing") != std::string_view::npos,
             failed["error"].stringValue().data());
    QVERIFY(!failed.contains("result"));

    // Asked again once the engine works, the same recording completes.
    QVERIFY(fail.remove());
    QCOMPARE(m_client->post("/api/recordings/" + id + "/transcribe", m_user.token, JSON::object())
                 .status,
             202);
    const JSON completed = awaitTranscript(*m_client, m_user, id);
    QCOMPARE(statusOf(completed), "completed");
    QVERIFY(!completed.contains("error"));
    QCOMPARE(segmentText(completed), "fixed words more ");

    // Another account can neither read the transcript nor ask for it again.
    const Account intruder = newAccount(m_server, "intruder@example.com");
    const HttpsReply read = m_client->get("/api/recordings/" + id + "/transcript", intruder.token);
    QCOMPARE(read.status, 404);
    QVERIFY(read.body.find("fixed words") == std::string::npos);
    QCOMPARE(m_client->post("/api/recordings/" + id + "/transcribe", intruder.token, JSON::object())
                 .status,
             404);
    QCOMPARE(m_client->get("/api/recordings/" + id + "/transcript", m_user.token).json(),
             completed);
}

void TranscriptionServerTest::aRestartResumesQueuedAndInterruptedWork()
{
    // One worker and an engine that never finishes: the first recording is under way and the
    // second waits in the queue when the server stops.
    const QString started = m_dir.filePath("started");
    QVERIFY(writeScript(m_dir.filePath("stuck"), "touch '" + started.toUtf8() + "'\nsleep 600\n"));
    ReferenceServer server;
    server.setServeOptions(
        {"--transcription-workers", "1", "--transcriber", m_dir.filePath("stuck")});
    QVERIFY(server.start());
    const Account user = newAccount(server, "restart@example.com");
    std::string first;
    std::string second;
    {
        HttpsClient client(server);
        first = upload(client, user, m_m4a);
        second = upload(client, user, m_m4a);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(started), 30'000);
        const auto statusNow = [&](const std::string &id) {
            return statusOf(client.get("/api/recordings/" + id + "/transcript", user.token).json());
        };
        QCOMPARE(statusNow(first), "processing");
        QCOMPARE(statusNow(second), "queued");
    }
    // The stuck engine is ended, not waited for: the server stops without being killed.
    server.stop();
    QCOMPARE(server.lastExitCode(), 0);

    // Then the server dies while the first is under way: nothing gets to put it back.
    const QString crashed = m_dir.filePath("crashed");
    const QByteArray killServer = R"sh(
p=$PPID
while [ "$p" -gt 1 ] && [ "$(cat /proc/$p/comm)" != quorvale-server ]; do
    p=$(cut -d' ' -f4 /proc/$p/stat)
done
kill -KILL "$p"
)sh";
    QVERIFY(
        writeScript(m_dir.filePath("crash"), killServer + "touch '" + crashed.toUtf8() + "'\n"));
    server.setServeOptions({"--transcriber", m_dir.filePath("crash")});
    QVERIFY(server.start());
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(crashed), 30'000);
    server.stop();
    QCOMPARE(server.lastExitCode(), -1);

    server.setServeOptions({"--transcriber", m_dir.filePath("engine")});
    QVERIFY(server.start());
    HttpsClient client(server);
    for (const std::string &id : {first, second}) {
        const JSON record = awaitTranscript(client, user, id);
        QCOMPARE(statusOf(record), "completed");
        QCOMPARE(segmentText(record), "fixed words more ");
    }
}

QTEST_GUILESS_MAIN(TranscriptionServerTest)
#include "tst_transcription_server.moc"
