// The server killed (SIGKILL) in the middle of saves and uploads, then started again on the
// same data: every acknowledged revision and recording is there, whole, and nothing else.

#include "support/httpsclient.h"
#include "support/referenceserver.h"

#include <QDirIterator>
#include <QTest>

#include <atomic>
#include <csignal>
#include <map>
#include <mutex>
#include <random>
#include <set>
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
        const std::string token =
            server.token(server.addAccount("kill@example.test")).toStdString();
        std::int64_t revision = 0;
        std::map<std::string, std::size_t> uploaded; // uploadId → size, every one acknowledged
        std::set<std::string> checked;               // listed and found whole
        for (int kill = 0; kill < 20; ++kill) {
            std::atomic<bool> stop = false;
            std::mutex lock;
            std::int64_t acknowledged = revision;
            std::thread saver([&] {
                HttpsClient client(server);
                for (std::int64_t next = revision; !stop;) {
                    const JSON body = JSON::decode(R"({"revision": )" + std::to_string(next) +
                                                   R"(, "workspace": {"schemaVersion": 1,
                        "name": "n", "pages": []}})");
                    const HttpsReply reply = client.put("/api/workspace", token, body);
                    if (reply.status != 200)
                        return;
                    next = reply.json()["revision"].integerValue();
                    const std::lock_guard guard(lock);
                    acknowledged = next;
                }
            });
            std::thread uploader([&, size = std::size_t(random() % 4'000'000)] {
                HttpsClient client(server);
                for (int n = 0; !stop; ++n) {
                    const std::string id = std::to_string(kill) + "-" + std::to_string(n);
                    const HttpsReply reply =
                        client.stream("POST", "/api/recordings?pageId=p&uploadId=" + id, token,
                                      "audio/mp4", size + std::size_t(n), false);
                    if (reply.status / 100 != 2)
                        return;
                    const std::lock_guard guard(lock);
                    uploaded[id] = size + std::size_t(n);
                }
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 300));
            ::kill(pid_t(server.processId()), SIGKILL);
            stop = true;
            saver.join();
            uploader.join();
            server.stop();
            QVERIFY(server.start());

            HttpsClient client(server);
            revision = client.get("/api/workspace", token).json()["revision"].integerValue();
            QVERIFY2(revision >= acknowledged, qPrintable(QString::number(acknowledged)));
            // Every acknowledged upload is listed; every listed one is whole.
            const JSON listed = client.get("/api/recordings?pageId=p", token).json()["recordings"];
            std::set<std::string> ids;
            for (const JSON &recording : listed.arrayValue()) {
                const std::string id(recording["uploadId"].stringValue());
                ids.insert(id);
                if (!checked.insert(id).second)
                    continue;
                const auto bytes = std::size_t(recording["bytes"].integerValue());
                QVERIFY(!uploaded.contains(id) || uploaded[id] == bytes);
                const std::string audio =
                    "/api/recordings/" + std::string(recording.id()) + "/audio";
                QCOMPARE(client.get(audio, token).body.size(), bytes);
            }
            for (const auto &[id, size] : uploaded)
                QVERIFY2(ids.contains(id), id.c_str());
            for (QDirIterator files(server.dataDir(), QDir::Files | QDir::Hidden,
                                    QDirIterator::Subdirectories);
                 files.hasNext();)
                QVERIFY2(!files.nextFileInfo().fileName().endsWith(".part"),
                         qPrintable(files.filePath()));
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
