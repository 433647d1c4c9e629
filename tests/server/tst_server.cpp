#include "support/httpsclient.h"
#include "support/referenceserver.h"
#include "json/json.h"

#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>

#include <sys/stat.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

using quorvale::JSON;
using quorvale::test::readAll;
using quorvale::test::ReferenceServer;
using quorvale::test::str;
using Client = quorvale::test::HttpsClient;
using Reply = quorvale::test::HttpsReply;

namespace {

constexpr std::size_t mib = std::size_t{1} << 20;

struct User
{
    std::string id;
    std::string token;
    std::string email;
};

std::string workspaceOf(const std::string &pages)
{
    return R"({"schemaVersion":1,"name":"Mi espacio","pages":)" + pages + "}";
}

} // namespace

class ServerTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    // TLS and the data directory.
    void certificateVerifiesForLocalhostAndLoopbackOnly();
    void dataDirectoryAndSecretsArePrivate();

    // Sessions and access.
    void callsWithoutAValidSessionAre401_data();
    void callsWithoutAValidSessionAre401();
    void accountsWithoutApprovalSeeOnlyThemselves_data();
    void accountsWithoutApprovalSeeOnlyThemselves();
    void administrationNeedsTheAdminRoleAndSparesAdministrators();
    void logoutRevokesOnlyThePresentedToken();
    void unknownCallsAre404();

    // The workspace.
    void workspaceKeepsUnknownKeysAndRefusesStaleSaves();
    void concurrentSavesOnOneRevisionHaveOneWinner();
    void unusableSavesAreRefusedAndStoreNothing_data();
    void unusableSavesAreRefusedAndStoreNothing();
    void oversizeBodiesAreRefusedAndStoreNothing_data();
    void oversizeBodiesAreRefusedAndStoreNothing();
    void meetingsAreDerivedFromTheWorkspace();

    // Recordings.
    void uploadsAreStoredOncePerUploadId();
    void concurrentRepeatsOfAnUploadStoreOnce();
    void accountsCannotReachEachOthersData();

    // Administration and notifications.
    void administratorsChangeAccessOnTheCurrentVersion();
    void failedDeliveriesStayPendingUntilRetried();

    // Access log, command line and lifecycle.
    void accessLogRecordsWhatReachedTheServer();
    void aSecondServerCannotTakeTheSamePort();
    void stopsCleanlyAndKeepsEverythingAcrossRestarts();

private:
    User newUser(const char *status = "approved");
    std::string adminToken() const { return m_admin.token; }
    QStringList mailsTo(const std::string &email) const;
    QString recordingDir(const User &user) const
    {
        return m_server.dataDir() + QStringLiteral("/recordings/") +
               QString::fromStdString(user.id);
    }

    ReferenceServer m_server;
    User m_admin;
    int m_users = 0;
};

void ServerTest::initTestCase()
{
    QVERIFY(m_server.start());
    // The first account ever made is the administrator.
    const QString id =
        m_server.addAccount(QStringLiteral("admin@example.com"), QStringLiteral("Ada Admin"));
    QVERIFY(!id.isEmpty());
    m_admin = {id.toStdString(), m_server.token(id).toStdString(), "admin@example.com"};
    QVERIFY(!m_admin.token.empty());
}

void ServerTest::cleanupTestCase()
{
    m_server.stop();
    QCOMPARE(m_server.lastExitCode(), 0);
}

User ServerTest::newUser(const char *status)
{
    const std::string email = "user" + std::to_string(++m_users) + "@example.com";
    const QString id = m_server.addAccount(QString::fromStdString(email));
    if (id.isEmpty())
        return {};
    if (std::string_view(status) != "pending" &&
        !m_server.setStatus(id, QString::fromLatin1(status)))
        return {};
    return {id.toStdString(), m_server.token(id).toStdString(), email};
}

QStringList ServerTest::mailsTo(const std::string &email) const
{
    QStringList found;
    const QDir spool(m_server.dataDir() + QStringLiteral("/mail"));
    const QString header = QStringLiteral("\r\nTo: ") + QString::fromStdString(email);
    for (const QString &name : spool.entryList({QStringLiteral("*.eml")}, QDir::Files)) {
        const QString text = QString::fromUtf8(readAll(spool.filePath(name)));
        if (text.contains(header))
            found << text;
    }
    return found;
}

void ServerTest::certificateVerifiesForLocalhostAndLoopbackOnly()
{
    for (const char *host : {"localhost", "127.0.0.1"}) {
        Client client(m_server, host);
        const Reply reply = client.get("/auth/me", m_admin.token);
        QVERIFY2(reply.status == 200, host);
        QCOMPARE(client.verifyResult(), long(X509_V_OK));
    }

    // A client that trusts only the system's authorities refuses the server.
    Client untrusting(m_server, "localhost", false);
    QCOMPARE(untrusting.get("/auth/me").status, 0);
    QVERIFY(untrusting.verifyResult() != X509_V_OK);

    // The authority is a CA; the server certificate it signed names exactly the loopback host.
    auto read = [](const QString &path) {
        std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_file(path.toUtf8().constData(), "r"),
                                                      &BIO_free);
        return std::unique_ptr<X509, decltype(&X509_free)>(
            bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr, &X509_free);
    };
    const auto ca = read(m_server.caFile());
    const auto leaf = read(m_server.dataDir() + QStringLiteral("/server.pem"));
    QVERIFY(ca && leaf);
    QCOMPARE(X509_check_ca(ca.get()), 1);
    QCOMPARE(X509_check_ca(leaf.get()), 0);
    QCOMPARE(X509_verify(leaf.get(), X509_get0_pubkey(ca.get())), 1);
    QCOMPARE(X509_check_host(leaf.get(), "localhost", 0, 0, nullptr), 1);
    QCOMPARE(X509_check_ip_asc(leaf.get(), "127.0.0.1", 0), 1);
    QCOMPARE(X509_check_ip_asc(leaf.get(), "::1", 0), 1);
    QCOMPARE(X509_check_host(leaf.get(), "example.com", 0, 0, nullptr), 0);
}

void ServerTest::dataDirectoryAndSecretsArePrivate()
{
    const auto mode = [&](const QString &name) {
        struct stat info
        {};
        const QString path = m_server.dataDir() + QLatin1Char('/') + name;
        return ::stat(path.toUtf8().constData(), &info) == 0 ? (info.st_mode & 0777) : 0u;
    };
    QCOMPARE(mode(QString()), 0700u);
    for (const char *name : {"ca-key.pem", "server-key.pem", "quorvale.sqlite3", "access.log"})
        QVERIFY2(mode(QString::fromLatin1(name)) == 0600u, name);
    // Tokens are stored only as hashes.
    QVERIFY(!readAll(m_server.dataDir() + QStringLiteral("/quorvale.sqlite3"))
                 .contains(QByteArray::fromStdString(m_admin.token)));
}

void ServerTest::callsWithoutAValidSessionAre401_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("path");
    for (const char *call :
         {"GET /auth/me", "POST /auth/logout", "PUT /api/workspace", "GET /api/meetings",
          "POST /api/recordings?pageId=p&uploadId=u", "GET /api/admin/accounts",
          "GET /api/notion-imports/resources?pageId=p", "GET /api/notion-files/f/preview",
          "GET /api/nothing-here"}) {
        const auto parts = QString::fromLatin1(call).split(QLatin1Char(' '));
        QTest::newRow(call) << parts[0] << parts[1];
    }
}
void ServerTest::callsWithoutAValidSessionAre401()
{
    QFETCH(QString, method);
    QFETCH(QString, path);
    const User user = newUser();
    Client client(m_server);
    QCOMPARE(client.send("POST", "/auth/logout", user.token).status, 200);
    for (const std::string &token : {std::string(), std::string("not-a-token"), user.token}) {
        const Reply reply =
            client.send(method.toStdString(), path.toStdString(), token, "{}", "application/json");
        QCOMPARE(reply.status, 401);
        QVERIFY(reply.isRefusal());
    }
}

void ServerTest::accountsWithoutApprovalSeeOnlyThemselves_data()
{
    QTest::addColumn<QString>("status");
    QTest::newRow("pending") << "pending";
    QTest::newRow("rejected") << "rejected";
    QTest::newRow("blocked") << "blocked";
}

void ServerTest::accountsWithoutApprovalSeeOnlyThemselves()
{
    QFETCH(QString, status);
    const User user = newUser(status.toLatin1().constData());
    Client client(m_server);

    const Reply me = client.get("/auth/me", user.token);
    QCOMPARE(me.status, 200);
    QCOMPARE(str(me.json()["account"]["status"].stringValue()), status.toUtf8());

    QCOMPARE(client.get("/api/workspace", user.token).status, 403);
    QCOMPARE(client.get("/api/meetings", user.token).status, 403);
    QCOMPARE(client
                 .put("/api/workspace", user.token,
                      JSON::object({{"revision", 0}, {"workspace", JSON::object()}}))
                 .status,
             403);
    QCOMPARE(client.get("/api/admin/accounts", user.token).status, 403);

    // Approval opens the workspace, which the refused save did not touch.
    QVERIFY(m_server.setStatus(QString::fromStdString(user.id), QStringLiteral("approve")));
    const Reply workspace = client.get("/api/workspace", user.token);
    QCOMPARE(workspace.status, 200);
    QVERIFY(workspace.json()["workspace"].isNull());
}

void ServerTest::administrationNeedsTheAdminRoleAndSparesAdministrators()
{
    const User user = newUser();
    Client client(m_server);
    for (const auto &[method, path] : {std::pair{"GET", "/api/admin/accounts"},
                                       {"POST", "/api/admin/accounts/x"},
                                       {"POST", "/api/admin/notifications/retry"}}) {
        const Reply reply = client.send(method, path, user.token, "{}");
        QVERIFY2(reply.status == 403 && reply.isRefusal(), path);
    }

    // A promoted account is an approved administrator, and no administrator can change another
    // (nor itself).
    QVERIFY(m_server.promote(QString::fromStdString(user.id)));
    const JSON accounts = client.get("/api/admin/accounts", user.token).json()["accounts"];
    QCOMPARE(str(accounts.at(0).id()), str(m_admin.id)); // creation order
    for (const JSON &account : accounts.arrayValue()) {
        if (account["role"].stringValue() != "admin")
            continue;
        const Reply refused =
            client.post("/api/admin/accounts/" + std::string(account.id()), m_admin.token,
                        JSON::object({{"status", "blocked"}, {"version", account["version"]}}));
        QCOMPARE(refused.status, 403);
    }
    for (const std::string &token : {m_admin.token, user.token}) {
        const JSON me = client.get("/auth/me", token).json()["account"];
        QCOMPARE(str(me["status"].stringValue()), "approved");
        QCOMPARE(str(me["role"].stringValue()), "admin");
    }
}

void ServerTest::logoutRevokesOnlyThePresentedToken()
{
    const User user = newUser();
    const std::string second = m_server.token(QString::fromStdString(user.id)).toStdString();
    QVERIFY(!second.empty() && second != user.token);

    Client client(m_server);
    QCOMPARE(client.send("POST", "/auth/logout", user.token).status, 200);
    QCOMPARE(client.get("/auth/me", user.token).status, 401);
    QCOMPARE(client.send("POST", "/auth/logout", user.token).status, 401);
    QCOMPARE(client.get("/auth/me", second).status, 200);
}

void ServerTest::unknownCallsAre404()
{
    Client client(m_server);
    for (const auto &[method, path, token] :
         {std::tuple{"DELETE", "/api/notion-files/f", adminToken()},
          {"DELETE", "/api/workspace", adminToken()},
          {"GET", "/api/admin/nothing", adminToken()},
          {"GET", "/nothing", std::string()}}) {
        const Reply reply = client.send(method, path, token, "{}");
        QVERIFY2(reply.status == 404 && reply.isRefusal(), path);
    }
}

void ServerTest::workspaceKeepsUnknownKeysAndRefusesStaleSaves()
{
    const User user = newUser();
    Client client(m_server);
    auto save = [&](const JSON &revision, const JSON &document) {
        return client.put("/api/workspace", user.token,
                          JSON::object({{"revision", revision}, {"workspace", document}}));
    };
    QCOMPARE(client.get("/api/workspace", user.token).json(),
             JSON::decode(R"({"workspace":null,"revision":0})"));

    // Members this server knows nothing of, at every depth, come back as they were sent.
    const JSON first = JSON::decode(workspaceOf(
        R"([{"id":"p1","title":"Reunión ✓","blocks":[{"id":"b","type":"text","futureFlag":
            {"deep":[1.5,-0.0,1e300,null,"x\u0000y"]}}],"notionSource":{"path":"a/b.md"}}])"
        R"(,"theme":"dark","unknownTopLevel":{"list":[],"empty":{}})"));
    QCOMPARE(save(0, first).json(), JSON::object({{"revision", 1}}));

    // A save on any revision but the stored one changes nothing.
    const JSON second = JSON::decode(workspaceOf(R"([{"id":"a","title":"Second"}])"));
    for (const JSON &stale : {JSON(0), JSON(2), JSON(-1), JSON(0.99)}) {
        const Reply conflict = save(stale, second);
        QCOMPARE(conflict.status, 409);
        QVERIFY(conflict.isRefusal());
    }
    QCOMPARE(client.get("/api/workspace", user.token).json(),
             JSON::object({{"workspace", first}, {"revision", 1}}));

    // A revision is read as a whole number.
    QCOMPARE(save(1.9, second).json()["revision"], JSON(2));
    QCOMPARE(client.get("/api/workspace", user.token).json()["workspace"], second);
}

void ServerTest::concurrentSavesOnOneRevisionHaveOneWinner()
{
    const User user = newUser();
    constexpr int writers = 8;
    std::vector<int> statuses(writers);
    std::vector<std::thread> threads;
    std::atomic<int> ready = 0;
    for (int i = 0; i < writers; ++i) {
        threads.emplace_back([&, i] {
            Client client(m_server);
            const JSON document = JSON::object({{"pages", JSON::array()}, {"writer", i}});
            ++ready;
            while (ready < writers)
                std::this_thread::yield();
            statuses[static_cast<std::size_t>(i)] =
                client
                    .put("/api/workspace", user.token,
                         JSON::object({{"revision", 0}, {"workspace", document}}))
                    .status;
        });
    }
    for (auto &thread : threads)
        thread.join();

    const auto winners = std::count(statuses.begin(), statuses.end(), 200);
    const auto conflicts = std::count(statuses.begin(), statuses.end(), 409);
    QCOMPARE(winners, 1);
    QCOMPARE(conflicts, writers - 1);
    const int winner =
        static_cast<int>(std::find(statuses.begin(), statuses.end(), 200) - statuses.begin());
    const JSON stored = Client(m_server).get("/api/workspace", user.token).json();
    QCOMPARE(stored["revision"], JSON(1));
    QCOMPARE(stored["workspace"]["writer"], JSON(winner));
}

void ServerTest::unusableSavesAreRefusedAndStoreNothing_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("not JSON") << QByteArray(R"({"revision":1,"workspace":)");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("an array") << QByteArray(R"([1,{}])");
    QTest::newRow("no revision") << QByteArray(R"({"workspace":{"pages":[]}})");
    QTest::newRow("revision as text") << QByteArray(R"({"revision":"1","workspace":{}})");
    QTest::newRow("no workspace") << QByteArray(R"({"revision":1})");
    QTest::newRow("null workspace") << QByteArray(R"({"revision":1,"workspace":null})");
    QTest::newRow("workspace not an object") << QByteArray(R"({"revision":1,"workspace":[]})");
}

void ServerTest::unusableSavesAreRefusedAndStoreNothing()
{
    QFETCH(QByteArray, body);
    const User user = newUser();
    Client client(m_server);
    const JSON document = JSON::decode(workspaceOf(R"([{"id":"kept"}])"));
    QCOMPARE(client
                 .put("/api/workspace", user.token,
                      JSON::object({{"revision", 0}, {"workspace", document}}))
                 .status,
             200);

    const Reply refused = client.send("PUT", "/api/workspace", user.token, body.toStdString());
    QCOMPARE(refused.status, 400);
    QVERIFY(refused.isRefusal());
    QCOMPARE(client.get("/api/workspace", user.token).json(),
             JSON::object({{"workspace", document}, {"revision", 1}}));
}

void ServerTest::oversizeBodiesAreRefusedAndStoreNothing_data()
{
    QTest::addColumn<bool>("workspace"); // else a recording
    QTest::addColumn<bool>("chunked");
    QTest::newRow("workspace, declared length") << true << false;
    QTest::newRow("workspace, chunked") << true << true;
    QTest::newRow("recording, declared length") << false << false;
    QTest::newRow("recording, chunked") << false << true;
}

void ServerTest::oversizeBodiesAreRefusedAndStoreNothing()
{
    QFETCH(bool, workspace);
    QFETCH(bool, chunked);
    const User user = newUser();
    Client client(m_server);
    const std::string upload = "/api/recordings?pageId=p&uploadId=big";
    // The body begins as a save does: a server that read it all would answer 400, not 413.
    const Reply refused =
        workspace ? client.stream("PUT", "/api/workspace", user.token, "application/json",
                                  64 * mib + 1, chunked, R"({"revision":0,"workspace":{"p":")")
                  : client.stream("POST", upload, user.token, "audio/mp4", 250 * mib + 1, chunked);
    QCOMPARE(refused.status, 413);
    QVERIFY(refused.isRefusal());

    QCOMPARE(client.get("/api/workspace", user.token).json()["revision"], JSON(0));
    QCOMPARE(client.get("/api/recordings?pageId=p", user.token).json()["recordings"].size(), 0u);
    QCOMPARE(QDir(recordingDir(user)).entryList(QDir::Files | QDir::Hidden).size(), 0);
    // The upload id is still free for a recording that fits.
    QCOMPARE(client.send("POST", upload, user.token, "fits", "audio/mp4").status, 201);
}

void ServerTest::meetingsAreDerivedFromTheWorkspace()
{
    const User user = newUser();
    const User other = newUser();
    Client client(m_server);
    const JSON document = JSON::decode(workspaceOf(R"([
        {"id":"m1","title":"Alpha","meeting":true,"createdAt":"2026-03-01T09:30:00Z"},
        {"id":"m2","title":"Trashed","meeting":true,"trashed":true,"createdAt":"2026-03-02T00:00:00Z"},
        {"id":"m3","title":"Text flag","meeting":"true"},
        {"id":"m4","title":"Imported","meeting":true,"importBatchId":"batch-1","trashed":"true"},
        {"id":"m5","meeting":true,"importBatchId":"","createdAt":"2026"},
        {"id":"d1","title":"A document","kind":"document","createdAt":"2026-03-03T00:00:00Z"},
        "not a page"
    ])"));
    QCOMPARE(client
                 .put("/api/workspace", user.token,
                      JSON::object({{"revision", 0}, {"workspace", document}}))
                 .status,
             200);
    for (const char *upload : {"one", "two"}) {
        QCOMPARE(client
                     .send("POST", std::string("/api/recordings?pageId=m1&uploadId=") + upload,
                           user.token, "audio", "audio/mp4")
                     .status,
                 201);
    }
    // Another account's recording of a page with the same id is not counted.
    QCOMPARE(
        client
            .send("POST", "/api/recordings?pageId=m1&uploadId=x", other.token, "audio", "audio/mp4")
            .status,
        201);

    const JSON expected = JSON::decode(R"({"meetings":[
        {"id":"m1","title":"Alpha","date":"2026-03-01","audioCount":2,"imported":false},
        {"id":"m4","title":"Imported","date":"","audioCount":0,"imported":true},
        {"id":"m5","title":"","date":"2026","audioCount":0,"imported":false}
    ]})");
    QCOMPARE(client.get("/api/meetings", user.token).json(), expected);
    QCOMPARE(client.get("/api/meetings", other.token).json(),
             JSON::object({{"meetings", JSON::array()}}));
}

void ServerTest::uploadsAreStoredOncePerUploadId()
{
    const User user = newUser();
    Client client(m_server);
    const std::string path = "/api/recordings?pageId=page-1&name=Standup%20m4a&uploadId=u-1";
    const Reply created = client.send("POST", path, user.token, "first", "audio/mp4");
    QCOMPARE(created.status, 201);
    const JSON record = created.json();
    const std::string id(record.id());
    QVERIFY(!id.empty());
    QCOMPARE(str(record["pageId"].stringValue()), "page-1");
    QCOMPARE(str(record["name"].stringValue()), "Standup m4a");
    QCOMPARE(record["bytes"], JSON(5));
    QCOMPARE(str(record["mimeType"].stringValue()), "audio/mp4");
    QCOMPARE(str(record["audioUrl"].stringValue()), str("/api/recordings/" + id + "/audio"));
    QCOMPARE(str(record["uploadId"].stringValue()), "u-1");

    // The same upload again is answered with what is stored; its bytes are not kept.
    const Reply repeated = client.send("POST", path, user.token, "second!", "audio/ogg");
    QCOMPARE(repeated.status, 200);
    QCOMPARE(repeated.json(), record);

    const Reply later =
        client.send("POST", "/api/recordings?pageId=page-1&uploadId=u-2", user.token, "later", "");
    QCOMPARE(later.status, 201);
    QCOMPARE(str(later.json()["mimeType"].stringValue()), "application/octet-stream");
    QCOMPARE(str(later.json()["name"].stringValue()), "");

    const JSON list = client.get("/api/recordings?pageId=page-1", user.token).json();
    QCOMPARE(list["recordings"].size(), 2u);
    QCOMPARE(list["recordings"].at(0), record);
    QCOMPARE(list["recordings"].at(1), later.json());
    QCOMPARE(client.get("/api/recordings?pageId=other", user.token).json(),
             JSON::object({{"recordings", JSON::array()}}));

    const Reply audio = client.get("/api/recordings/" + id + "/audio", user.token);
    QCOMPARE(audio.status, 200);
    QCOMPARE(audio.body, "first");
    QCOMPARE(audio.header("content-type"), "audio/mp4");

    const QString file = recordingDir(user) + QLatin1Char('/') + QString::fromStdString(id);
    QCOMPARE(readAll(file), QByteArray("first"));
    QCOMPARE(QFileInfo(file).permissions(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                QFileDevice::ReadUser | QFileDevice::WriteUser);

    // Uploads without a page or any bytes are refused and store nothing (an imported file comes
    // without an upload id, and is accepted: see the transcription suite).
    for (const char *refused : {"/api/recordings?uploadId=u", "/api/recordings?pageId=&uploadId=u",
                                "/api/recordings", "/api/recordings?pageId=p&uploadId=empty"}) {
        const std::string bytes = std::string_view(refused).ends_with("empty") ? "" : "audio";
        const Reply reply = client.send("POST", refused, user.token, bytes, "audio/mp4");
        QVERIFY2(reply.status == 400 && reply.isRefusal(), refused);
    }
    QCOMPARE(client.get("/api/recordings", user.token).status, 400);
    QCOMPARE(client.get("/api/recordings?pageId=p", user.token).json()["recordings"].size(), 0u);
    QCOMPARE(QDir(recordingDir(user)).entryList(QDir::Files | QDir::Hidden).size(), 2);
}

void ServerTest::concurrentRepeatsOfAnUploadStoreOnce()
{
    const User user = newUser();
    constexpr int senders = 6;
    std::vector<Reply> replies(senders);
    std::vector<std::thread> threads;
    for (int i = 0; i < senders; ++i) {
        threads.emplace_back([&, i] {
            Client client(m_server);
            replies[static_cast<std::size_t>(i)] =
                client.send("POST", "/api/recordings?pageId=p&uploadId=same", user.token,
                            std::string(256 * 1024, static_cast<char>('a' + i)), "audio/mp4");
        });
    }
    for (auto &thread : threads)
        thread.join();

    int created = 0;
    for (const Reply &reply : replies) {
        QVERIFY(reply.status == 200 || reply.status == 201);
        created += reply.status == 201;
        QCOMPARE(reply.json()["id"], replies.front().json()["id"]);
    }
    QCOMPARE(created, 1);
    QCOMPARE(
        Client(m_server).get("/api/recordings?pageId=p", user.token).json()["recordings"].size(),
        1u);
    QCOMPARE(QDir(recordingDir(user)).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

void ServerTest::accountsCannotReachEachOthersData()
{
    const User owner = newUser();
    const User intruder = newUser();
    Client client(m_server);
    const JSON document =
        JSON::decode(workspaceOf(R"([{"id":"p","title":"Private","meeting":true}])"));
    QCOMPARE(client
                 .put("/api/workspace", owner.token,
                      JSON::object({{"revision", 0}, {"workspace", document}}))
                 .status,
             200);
    const JSON record =
        client
            .send("POST", "/api/recordings?pageId=p&uploadId=u", owner.token, "secret", "audio/mp4")
            .json();
    const std::string audioUrl(record["audioUrl"].stringValue());

    QCOMPARE(client.get("/api/workspace", intruder.token).json(),
             JSON::decode(R"({"workspace":null,"revision":0})"));
    QCOMPARE(client.get("/api/meetings", intruder.token).json()["meetings"].size(), 0u);
    QCOMPARE(client.get("/api/recordings?pageId=p", intruder.token).json()["recordings"].size(),
             0u);
    const Reply download = client.get(audioUrl, intruder.token);
    QCOMPARE(download.status, 404);
    QVERIFY(download.body.find("secret") == std::string::npos);

    // The intruder's own save and upload are its own; the owner's stay as they were.
    QCOMPARE(client
                 .put("/api/workspace", intruder.token,
                      JSON::object({{"revision", 0}, {"workspace", JSON::object()}}))
                 .status,
             200);
    const Reply own = client.send("POST", "/api/recordings?pageId=p&uploadId=u", intruder.token,
                                  "mine", "audio/mp4");
    QCOMPARE(own.status, 201);
    QVERIFY(own.json()["id"] != record["id"]);
    QCOMPARE(client.get("/api/workspace", owner.token).json()["workspace"], document);
    QCOMPARE(client.get("/api/recordings?pageId=p", owner.token).json()["recordings"],
             JSON::array({record}));
    QCOMPARE(client.get(audioUrl, owner.token).body, "secret");
}

void ServerTest::administratorsChangeAccessOnTheCurrentVersion()
{
    const User user = newUser("pending");
    Client client(m_server);
    auto record = [&] {
        const JSON list = client.get("/api/admin/accounts", m_admin.token).json()["accounts"];
        for (const JSON &account : list.arrayValue()) {
            if (account.id() == user.id)
                return account;
        }
        return JSON();
    };
    auto change = [&](const JSON &body) {
        return client.post("/api/admin/accounts/" + user.id, m_admin.token, body);
    };

    const JSON before = record();
    QCOMPARE(str(before["status"].stringValue()), "pending");
    QVERIFY(mailsTo(user.email).isEmpty());

    // A stale or missing version changes nothing.
    const JSON stale = JSON(before["version"].numberValue() - 1);
    QCOMPARE(change(JSON::object({{"status", "approved"}, {"version", stale}})).status, 409);
    QCOMPARE(change(JSON::object({{"status", "approved"}})).status, 409);
    QCOMPARE(record(), before);

    const Reply approved =
        change(JSON::object({{"status", "approved"}, {"version", before["version"]}}));
    QCOMPARE(approved.status, 200);
    const JSON after = approved.json()["account"];
    QCOMPARE(str(after["status"].stringValue()), "approved");
    QCOMPARE(after["version"], JSON(before["version"].numberValue() + 1));
    QCOMPARE(after, record());
    QCOMPARE(client.get("/api/workspace", user.token).status, 200);
    QCOMPARE(str(after["notification"]["status"].stringValue()), "sent");
    const QStringList mails = mailsTo(user.email);
    QCOMPARE(mails.size(), 1);
    QVERIFY(mails[0].contains(QStringLiteral("approved")));

    // The version the list showed before is stale now; so is one read before a change made
    // from the command line.
    QCOMPARE(change(JSON::object({{"status", "blocked"}, {"version", before["version"]}})).status,
             409);
    QVERIFY(m_server.setStatus(QString::fromStdString(user.id), QStringLiteral("reject")));
    QCOMPARE(change(JSON::object({{"status", "blocked"}, {"version", after["version"]}})).status,
             409);
    const Reply blocked =
        change(JSON::object({{"status", "blocked"}, {"version", record()["version"]}}));
    QCOMPARE(blocked.status, 200);
    QCOMPARE(client.get("/api/workspace", user.token).status, 403);

    // Statuses other than the three are refused; so are unknown accounts.
    for (const JSON &status : {JSON("pending"), JSON("admin"), JSON()}) {
        QCOMPARE(
            change(JSON::object({{"status", status}, {"version", record()["version"]}})).status,
            400);
    }
    QCOMPARE(client.send("POST", "/api/admin/accounts/" + user.id, m_admin.token, "[]").status,
             400);
    QCOMPARE(client
                 .post("/api/admin/accounts/no-such-account", m_admin.token,
                       JSON::object({{"status", "approved"}, {"version", 1}}))
                 .status,
             404);
}

void ServerTest::failedDeliveriesStayPendingUntilRetried()
{
    // A file where the spool directory should be makes every delivery fail.
    const QString spool = m_server.dataDir() + QStringLiteral("/mail");
    const QString saved = spool + QStringLiteral(".saved");
    QVERIFY(QDir().rename(spool, saved));
    auto restore = qScopeGuard([&] {
        QFile::remove(spool);
        QDir().rename(saved, spool);
    });
    {
        QFile blocker(spool);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
    }

    const User user = newUser("pending");
    Client client(m_server);
    auto notification = [&] {
        const JSON accounts = client.get("/api/admin/accounts", m_admin.token).json()["accounts"];
        for (const JSON &account : accounts.arrayValue()) {
            if (account.id() == user.id)
                return account["notification"];
        }
        return JSON();
    };
    QCOMPARE(str(notification()["status"].stringValue()), "pending");
    QVERIFY(!notification()["error"].stringValue().empty());

    const Reply stillFailing =
        client.post("/api/admin/notifications/retry", m_admin.token, JSON::object());
    QCOMPARE(stillFailing.status, 200);
    QCOMPARE(stillFailing.json()["delivered"], JSON(0));
    QCOMPARE(str(notification()["status"].stringValue()), "pending");

    restore.dismiss();
    QVERIFY(QFile::remove(spool));
    QVERIFY(QDir().rename(saved, spool));
    const Reply retried =
        client.post("/api/admin/notifications/retry", m_admin.token, JSON::object());
    QCOMPARE(retried.json()["delivered"], JSON(1));
    QCOMPARE(str(notification()["status"].stringValue()), "sent");
    QCOMPARE(client.post("/api/admin/notifications/retry", m_admin.token, JSON::object())
                 .json()["delivered"],
             JSON(0));
    bool announced = false;
    for (const QString &mail : mailsTo(m_admin.email))
        announced = announced || mail.contains(QString::fromStdString(user.id));
    QVERIFY(announced);
}

void ServerTest::accessLogRecordsWhatReachedTheServer()
{
    const User user = newUser();
    Client client(m_server);
    QCOMPARE(client
                 .send("POST", "/api/recordings?pageId=p&uploadId=logged&name=a", user.token,
                       "bytes", "audio/ogg")
                 .status,
             201);
    QCOMPARE(JSON::decode(m_server.accessLog().constLast().toStdString()),
             JSON::object({{"method", "POST"},
                           {"path", "/api/recordings?pageId=p&uploadId=logged&name=a"},
                           {"status", 201},
                           {"contentType", "audio/ogg"},
                           {"authorization", true}}));

    QCOMPARE(client.get("/auth/me").status, 401);
    QCOMPARE(JSON::decode(m_server.accessLog().constLast().toStdString()),
             JSON::object({{"method", "GET"},
                           {"path", "/auth/me"},
                           {"status", 401},
                           {"contentType", ""},
                           {"authorization", false}}));

    // A request the HTTP library refuses before routing is logged too, just after its answer.
    const std::string longPath = "/api/" + std::string(10000, 'a');
    QCOMPARE(client.get(longPath, user.token).status, 414);
    QTRY_COMPARE(JSON::decode(m_server.accessLog().constLast().toStdString())["status"], JSON(414));
    for (const QByteArray &line : m_server.accessLog())
        QVERIFY(JSON::decode(line.toStdString()).isObject());
}

void ServerTest::aSecondServerCannotTakeTheSamePort()
{
    QProcess second;
    second.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QTemporaryDir dir;
    second.start(ReferenceServer::executable(),
                 {"--data", dir.path(), "serve", "--port", QString::number(m_server.port())});
    QVERIFY(second.waitForFinished(15000));
    QCOMPARE(second.exitCode(), 1);
    QVERIFY(second.readAllStandardOutput().isEmpty());
    QCOMPARE(Client(m_server).get("/auth/me", m_admin.token).status, 200);
}

void ServerTest::stopsCleanlyAndKeepsEverythingAcrossRestarts()
{
    ReferenceServer server;
    QVERIFY(server.start());
    const QString id = server.addAccount(QStringLiteral("owner@example.com"));
    const std::string token = server.token(id).toStdString();
    const QByteArray authority = readAll(server.caFile());
    const JSON document = JSON::decode(workspaceOf(R"([{"id":"p"}])"));
    std::string audioUrl;
    {
        Client client(server);
        QCOMPARE(client
                     .put("/api/workspace", token,
                          JSON::object({{"revision", 0}, {"workspace", document}}))
                     .status,
                 200);
        audioUrl =
            client.send("POST", "/api/recordings?pageId=p&uploadId=u", token, "kept", "audio/mp4")
                .json()["audioUrl"]
                .stringValue();
    }

    // An idle keep-alive connection does not keep the server from stopping.
    Client idle(server);
    idle.setKeepAlive(true);
    QCOMPARE(idle.get("/auth/me", token).status, 200);
    server.stop();
    QCOMPARE(server.lastExitCode(), 0);
    QCOMPARE(idle.get("/auth/me", token).status, 0);

    QVERIFY(server.start());
    QCOMPARE(readAll(server.caFile()), authority); // clients keep trusting the same authority
    Client client(server);
    QCOMPARE(client.get("/api/workspace", token).json(),
             JSON::object({{"workspace", document}, {"revision", 1}}));
    QCOMPARE(client.get(audioUrl, token).body, "kept");
    server.stop();
    QCOMPARE(server.lastExitCode(), 0);
}

QTEST_GUILESS_MAIN(ServerTest)
#include "tst_server.moc"
