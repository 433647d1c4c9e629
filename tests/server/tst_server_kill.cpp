// The server killed (SIGKILL) in the middle of saves and uploads, then started again on the
// same data: every acknowledged revision and recording is there, whole, and nothing else.

#include "support/httpsclient.h"
#include "support/referenceserver.h"

#include <QDirIterator>
#include <QTest>

#include <atomic>
#include <csignal>
#include <map>
#include <random>
#include <thread>

using namespace quorvale::test;
using quorvale::JSON;

class ServerKillTest : public QObject
{
    Q_OBJECT

private slots:
    void acknowledgedWritesSurviveAKill()
    {
        const QByteArray given = qgetenv("QUORVALE_CRASH_SEED");
        const unsigned seed = given.isEmpty() ? std::random_device()() : given.toUInt();
        qInfo("crash seed %u (QUORVALE_CRASH_SEED=%u replays it)", seed, seed);
        std::mt19937 random(seed);
        ReferenceServer server;
        QVERIFY(server.start());
        server.setPort(server.port());
        const std::string token = server.token(server.addAccount("k@example.test")).toStdString();
        std::atomic<std::int64_t> revision = 0;      // the last one acknowledged
        std::map<std::string, std::size_t> uploaded; // acknowledged uploads and their sizes
        const JSON workspace = JSON::decode(R"({"schemaVersion": 1, "name": "n", "pages": []})");
        for (int kill = 0; kill < 20; ++kill) {
            // Saves and uploads one after the other until the server dies under them.
            std::thread writer([&, size = std::size_t(random() % 3'000'000)] {
                HttpsClient client(server);
                for (int n = 0;; ++n) {
                    const HttpsReply saved = client.put(
                        "/api/workspace", token,
                        JSON::object({{"revision", revision.load()}, {"workspace", workspace}}));
                    if (saved.status != 200)
                        return;
                    revision = saved.json()["revision"].integerValue();
                    const std::string id = std::to_string(kill) + '-' + std::to_string(n);
                    if (client.stream("POST", "/api/recordings?pageId=p&uploadId=" + id, token,
                                      "audio/mp4", size + std::size_t(n), false)
                                .status /
                            100 !=
                        2)
                        return;
                    uploaded[id] = size + std::size_t(n);
                }
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 300));
            ::kill(pid_t(server.processId()), SIGKILL);
            writer.join();
            server.stop();
            QVERIFY(server.start());

            HttpsClient client(server);
            const std::int64_t stored =
                client.get("/api/workspace", token).json()["revision"].integerValue();
            QVERIFY(stored >= revision);
            revision = stored;
            // Every acknowledged upload is listed; every listed one is whole.
            std::map<std::string, std::size_t> listed;
            const JSON all = client.get("/api/recordings?pageId=p", token).json()["recordings"];
            for (const JSON &recording : all.arrayValue()) {
                const std::string id(recording["uploadId"].stringValue());
                listed[id] = std::size_t(recording["bytes"].integerValue());
                if (id.starts_with(std::to_string(kill) + '-'))
                    QCOMPARE(
                        client
                            .get("/api/recordings/" + std::string(recording.id()) + "/audio", token)
                            .body.size(),
                        listed[id]);
            }
            for (const auto &[id, size] : uploaded)
                QVERIFY2(listed.contains(id) && listed[id] == size, id.c_str());
            for (QDirIterator files(server.dataDir(), QDir::Files | QDir::Hidden,
                                    QDirIterator::Subdirectories);
                 files.hasNext();)
                QVERIFY2(!files.next().endsWith(".part"), qPrintable(files.filePath()));
            QProcess sqlite;
            sqlite.start("sqlite3",
                         {server.dataDir() + "/quorvale.sqlite3", "PRAGMA integrity_check"});
            QVERIFY(sqlite.waitForFinished());
            QCOMPARE(sqlite.readAllStandardOutput().trimmed(), QByteArray("ok"));
        }
    }
};

QTEST_GUILESS_MAIN(ServerKillTest)
#include "tst_server_kill.moc"
