// A 200 MB recording uploaded to the reference server over loopback TLS by Service::upload,
// streamed from disk, against curl sending the same file to the same endpoint in the same run
// (median of the runs of each); the growth of this process's peak RSS while the client uploads;
// and how long the server's default engine takes to transcribe 60 s of speech, per second of
// audio. Qt hands an upload's body from the caller's thread to its HTTP thread 16 KiB at a
// time with one piece in flight, so the client's time is mostly those hand-offs (two thread
// switches a piece) and grows with the machine's load more than curl's does.
//   bench_upload [megabytes] [runs]

#include "common/benchresults.h"
#include "service/service.h"
#include "support/awaiting.h"
#include "support/memorysecretstore.h"
#include "support/referenceserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSslCertificate>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

using namespace quorvale;
using namespace std::chrono_literals;

namespace {

const QString audioType = QStringLiteral("audio/mp4");

double median(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

// Resets the peak resident size of this process to the current one.
bool resetPeak()
{
    QFile file(QStringLiteral("/proc/self/clear_refs"));
    return file.open(QIODevice::WriteOnly) && file.write("5") == 1;
}

bool writeRandom(const QString &path, qint64 bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    for (qint64 left = bytes; left > 0; left -= chunk.size()) {
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(chunk.data()),
                                              chunk.size() / 4);
        const qint64 size = std::min<qint64>(left, chunk.size());
        if (file.write(chunk.constData(), size) != size)
            return false;
    }
    return file.flush();
}

// Runs a program to its end and answers its output; nothing when it failed, with its error
// output on stderr.
std::optional<QByteArray> run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    if (!process.waitForFinished(600'000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        std::fprintf(stderr, "%s failed\n", qPrintable(program));
        return std::nullopt;
    }
    return process.readAllStandardOutput();
}

// The recording's id from an upload's answer; empty when the answer is not one.
QString recordingId(const QByteArray &answer)
{
    try {
        const JSON recording = JSON::decode(answer.toStdString());
        return QString::fromStdString(std::string(recording["id"].stringValue()));
    } catch (const std::exception &) {
        return {};
    }
}

// Polls the recording's transcript every 100 ms until its work is over; the final status.
QString awaitTranscript(Service &service, const QString &id)
{
    const QString path = QStringLiteral("/api/recordings/%1/transcript").arg(id);
    for (;;) {
        const auto state = test::finish(service.json(path, "GET"));
        if (!state.ok()) {
            std::fprintf(stderr, "transcript: %s\n", qPrintable(state.error));
            return {};
        }
        const QString status =
            QString::fromStdString(std::string((*state.value)["status"].stringValue()));
        if (status == QLatin1String("completed") || status == QLatin1String("failed"))
            return status;
        QTest::qWait(100);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const qint64 megabytes = argc > 1 ? std::atoll(argv[1]) : 200;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;

    QTemporaryDir work;
    test::ReferenceServer server(work.filePath(QStringLiteral("server")));
    if (!work.isValid() || !server.start())
        return 1;
    const QString account = server.addAccount(QStringLiteral("bench@example.test"));
    if (account.isEmpty() || !server.setStatus(account, QStringLiteral("approved")))
        return 1;
    const QString token = server.token(account);
    MemorySecretStore secrets;
    Service service(secrets, server.origin(), QSslCertificate::fromPath(server.caFile()));
    service.setToken(token);

    const QString file = work.filePath(QStringLiteral("meeting.m4a"));
    if (!writeRandom(file, megabytes << 20))
        return 1;
    const auto endpoint = [](int run, const char *who) {
        return QStringLiteral("/api/recordings?pageId=bench&name=%1-%2.m4a")
            .arg(QLatin1String(who))
            .arg(run);
    };

    // Each upload timed from its start to the server's answer; the server then tries to
    // transcribe it, and that work ends before the next upload starts.
    long long growthKb = 0;
    const auto byClient = [&](int i) -> double {
        if (!resetPeak())
            return -1;
        const long long before = quorvale::bench::peakResidentKb();
        QElapsedTimer clock;
        clock.start();
        const auto uploaded = test::finish(service.upload(endpoint(i, "client"), file, audioType),
                                           std::chrono::minutes(10));
        const double seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
        growthKb = std::max(growthKb, quorvale::bench::peakResidentKb() - before);
        if (!uploaded.ok()) {
            std::fprintf(stderr, "upload: %s\n", qPrintable(uploaded.error));
            return -1;
        }
        return awaitTranscript(service, recordingId(*uploaded.value)).isEmpty() ? -1 : seconds;
    };
    const auto byCurl = [&](int i) -> double {
        QElapsedTimer clock;
        clock.start();
        const auto answer =
            run(QStringLiteral("curl"),
                {QStringLiteral("-sS"), QStringLiteral("--fail"), QStringLiteral("--cacert"),
                 server.caFile(), QStringLiteral("-H"),
                 QStringLiteral("Authorization: Bearer ") + token, QStringLiteral("-H"),
                 QStringLiteral("Content-Type: ") + audioType, QStringLiteral("--data-binary"),
                 QLatin1Char('@') + file, server.origin().toString() + endpoint(i, "curl")});
        const double seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
        return answer && !awaitTranscript(service, recordingId(*answer)).isEmpty() ? seconds : -1;
    };

    std::vector<double> client;
    std::vector<double> peer;
    for (int i = 0; i < runs; ++i) {
        // Taking turns at going first, so that neither always meets the other's aftermath.
        if (i % 2 == 0) {
            client.push_back(byClient(i));
            peer.push_back(byCurl(i));
        } else {
            peer.push_back(byCurl(i));
            client.push_back(byClient(i));
        }
        if (client.back() < 0 || peer.back() < 0)
            return 1;
        std::printf("run %d: client %.3f s, curl %.3f s\n", i + 1, client.back(), peer.back());
        std::fflush(stdout);
    }
    QFile::remove(file);

    // 60 s of English speech (the default engine's model), as the recorder's AAC.
    const QString speech = work.filePath(QStringLiteral("speech.wav"));
    const QString spoken = work.filePath(QStringLiteral("speech.m4a"));
    QString text;
    for (int i = 0; i < 12; ++i)
        text += QStringLiteral("Good morning everyone. Let us review the budget for the next "
                               "quarter and decide who will call the supplier on Monday. ");
    if (!run(QStringLiteral("espeak-ng"),
             {QStringLiteral("-v"), QStringLiteral("en-us"), QStringLiteral("-w"), speech, text}) ||
        !run(QStringLiteral("ffmpeg"),
             {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-nostdin"),
              QStringLiteral("-y"), QStringLiteral("-i"), speech, QStringLiteral("-af"),
              QStringLiteral("apad"), QStringLiteral("-t"), QStringLiteral("60"),
              QStringLiteral("-c:a"), QStringLiteral("aac"), QStringLiteral("-b:a"),
              QStringLiteral("128k"), spoken}))
        return 1;
    const auto sent = test::finish(service.upload(
        QStringLiteral("/api/recordings?pageId=bench&name=speech.m4a"), spoken, audioType));
    if (!sent.ok()) {
        std::fprintf(stderr, "upload: %s\n", qPrintable(sent.error));
        return 1;
    }
    // Queued at the upload's answer; done when the transcript says completed.
    QElapsedTimer transcribing;
    transcribing.start();
    const QString status = awaitTranscript(service, recordingId(*sent.value));
    const double transcribeSeconds = static_cast<double>(transcribing.nsecsElapsed()) / 1e9;
    if (status != QLatin1String("completed")) {
        std::fprintf(stderr, "transcription ended %s\n", qPrintable(status));
        return 1;
    }

    const double uploadS = median(client);
    const double curlS = median(peer);
    std::printf("RESULT upload_s=%.3f curl_s=%.3f ratio=%.2f client_peak_rss_growth_mb=%.1f "
                "transcribe_rtf=%.3f\n",
                uploadS, curlS, uploadS / curlS, static_cast<double>(growthKb) / 1024.0,
                transcribeSeconds / 60.0);
    return 0;
}
