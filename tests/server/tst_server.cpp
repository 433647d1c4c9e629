#include "support/servertesting.h"

#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <sys/stat.h>

#include <atomic>
#include <memory>

using namespace quorvale::test;
using quorvale::JSON;

namespace {

constexpr std::size_t mib = std::size_t{1} << 20;

JSON workspaceOf(const std::string &pages)
{
    return JSON::decode(R"({"schemaVersion":1,"name":"Mi espacio","pages":)" + pages + "}");
}

JSON saveBody(const JSON &revision, const JSON &document)
{
    return JSON::object({{"revision", revision}, {"workspace", document}});
}

} // namespace

class ServerTest : public QObject, ServerSuite
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    // TLS and the data directory.
    void certificateVerifiesForLocalhostAndLoopbackOnly();
    void dataDirectoryAndSecretsArePrivate();

    // Sessions and access.
    void callsWithoutAValidSessionAre401AndUnknownOnesAre404();
    void accountsWithoutApprovalSeeOnlyThemselves();
    void administrationNeedsTheAdminRoleAndSparesAdministrators();

    // The workspace.
    void workspaceKeepsUnknownKeysAndRefusesStaleOrUnusableSaves();
    void concurrentSavesOnOneRevisionHaveOneWinner();
    void oversizeBodiesAreRefusedAndStoreNothing_data();
    void oversizeBodiesAreRefusedAndStoreNothing();
    void meetingsAreDerivedFromTheWorkspace();

    // Recordings.
    void uploadsAreStoredOncePerUploadId();
    void concurrentRepeatsOfAnUploadStoreOnce();
    void accountsCannotReachEachOthersData();

    // Administration.
    void administratorsChangeAccessOnTheCurrentVersion();

    // Access log, command line and lifecycle.
    void accessLogRecordsWhatReachedTheServer();
    void keepsItsPortStopsCleanlyAndKeepsEverythingAcrossRestarts();

private:
    // The account as the administrators' list shows it.
    JSON listed(const Account &user);
    // The access log's latest line for path.
    JSON logged(std::string_view path) const;
    QDir recordingDir(const Account &user) const
    {
        return m_server.dataDir() + "/recordings/" + user.id;
    }
    int storedRecordings(const Account &user) const
    {
        return int(recordingDir(user).entryList(QDir::Files | QDir::Hidden).size());
    }

    Account m_admin;
};

void ServerTest::initTestCase()
{
    QVERIFY(startServer());
    // The first account ever made is the administrator.
    m_admin = newAccount(m_server, "admin@example.com", "pending");
    QVERIFY(!m_admin.token.empty());
}

void ServerTest::cleanupTestCase()
{
    QVERIFY(stopServer());
}

JSON ServerTest::listed(const Account &user)
{
    const JSON list = m_client->get("/api/admin/accounts", m_admin.token).json()["accounts"];
    for (const JSON &account : list.arrayValue()) {
        if (account.id() == user.id.toStdString())
            return account;
    }
    return JSON();
}

JSON ServerTest::logged(std::string_view path) const
{
    const QList<QByteArray> lines = m_server.accessLog();
    for (auto line = lines.crbegin(); line != lines.crend(); ++line) {
        JSON entry = JSON::decode(line->toStdString());
        if (entry["path"].stringValue() == path)
            return entry;
    }
    return JSON();
}

void ServerTest::certificateVerifiesForLocalhostAndLoopbackOnly()
{
    for (const char *host : {"localhost", "127.0.0.1"}) {
        HttpsClient client(m_server, host);
        QVERIFY2(client.get("/auth/me", m_admin.token).status == 200, host);
        QCOMPARE(client.verifyResult(), long(X509_V_OK));
    }

    // The authority is a CA; the server certificate it signed names exactly the loopback host.
    auto read = [](const QString &path) {
        std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_file(path.toUtf8().constData(), "r"),
                                                      &BIO_free);
        return std::unique_ptr<X509, decltype(&X509_free)>(
            bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr, &X509_free);
    };
    const auto ca = read(m_server.caFile());
    const auto leaf = read(m_server.dataDir() + "/server.pem");
    QVERIFY(ca && leaf);
    QCOMPARE(X509_check_ca(ca.get()), 1);
    QCOMPARE(X509_check_ca(leaf.get()), 0);
    QCOMPARE(X509_check_ip_asc(leaf.get(), "::1", 0), 1);
    QCOMPARE(X509_check_host(leaf.get(), "example.com", 0, 0, nullptr), 0);
}

void ServerTest::dataDirectoryAndSecretsArePrivate()
{
    const auto mode = [&](const QString &name) {
        struct stat info
        {};
        const QString path = m_server.dataDir() + '/' + name;
        return ::stat(path.toUtf8().constData(), &info) == 0 ? (info.st_mode & 0777) : 0u;
    };
    QCOMPARE(mode(QString()), 0700u);
    for (const char *name : {"ca-key.pem", "server-key.pem", "quorvale.sqlite3", "access.log"})
        QVERIFY2(mode(name) == 0600u, name);
}

void ServerTest::callsWithoutAValidSessionAre401AndUnknownOnesAre404()
{
    const Account user = newUser();
    const std::string second = m_server.token(user.id).toStdString();
    QVERIFY(!second.empty() && second != user.token);
    QCOMPARE(m_client->send("POST", "/auth/logout", user.token).status, 200);
    QCOMPARE(m_client->send("POST", "/auth/logout", user.token).status, 401);
    // Logging out revoked only the token presented.
    QCOMPARE(m_client->get("/auth/me", second).status, 200);

    for (const char *call : {"GET /auth/me", "PUT /api/workspace", "GET /api/meetings",
                             "POST /api/recordings?pageId=p&uploadId=u", "GET /api/admin/accounts",
                             "GET /api/notion-imports/resources?pageId=p",
                             "GET /api/notion-files/f/preview", "GET /api/nothing-here"}) {
        const auto parts = QString(call).split(' ');
        for (const std::string &token : {std::string(), std::string("not-a-token"), user.token}) {
            const HttpsReply reply = m_client->send(parts[0].toStdString(), parts[1].toStdString(),
                                                    token, "{}", "application/json");
            QVERIFY2(reply.status == 401 && reply.isRefusal(), call);
        }
    }
    for (const auto &[method, path, token] : {std::tuple{"DELETE", "/api/workspace", second},
                                              {"GET", "/api/admin/nothing", m_admin.token},
                                              {"GET", "/nothing", std::string()}}) {
        const HttpsReply reply = m_client->send(method, path, token, "{}");
        QVERIFY2(reply.status == 404 && reply.isRefusal(), path);
    }
}

void ServerTest::accountsWithoutApprovalSeeOnlyThemselves()
{
    for (const char *status : {"pending", "rejected", "blocked"}) {
        const Account user = newUser(status);
        QCOMPARE(
            str(m_client->get("/auth/me", user.token).json()["account"]["status"].stringValue()),
            status);
        for (const char *path : {"/api/workspace", "/api/meetings", "/api/admin/accounts"})
            QVERIFY2(m_client->get(path, user.token).status == 403, path);
        QCOMPARE(m_client->put("/api/workspace", user.token, saveBody(0, JSON::object())).status,
                 403);

        // Approval opens the workspace, which the refused save did not touch.
        QVERIFY(m_server.setStatus(user.id, "approve"));
        QVERIFY(m_client->get("/api/workspace", user.token).json()["workspace"].isNull());
    }
}

void ServerTest::administrationNeedsTheAdminRoleAndSparesAdministrators()
{
    const Account user = newUser();
    for (const auto &[method, path] : {std::pair{"GET", "/api/admin/accounts"},
                                       {"POST", "/api/admin/accounts/x"},
                                       {"POST", "/api/admin/notifications/retry"}}) {
        const HttpsReply reply = m_client->send(method, path, user.token, "{}");
        QVERIFY2(reply.status == 403 && reply.isRefusal(), path);
    }

    // A promoted account is an approved administrator, and no administrator can change another
    // (nor itself).
    QVERIFY(m_server.promote(user.id));
    const JSON accounts = m_client->get("/api/admin/accounts", user.token).json()["accounts"];
    for (const JSON &account : accounts.arrayValue()) {
        if (account["role"].stringValue() != "admin")
            continue;
        const HttpsReply refused =
            m_client->post("/api/admin/accounts/" + std::string(account.id()), m_admin.token,
                           JSON::object({{"status", "blocked"}, {"version", account["version"]}}));
        QCOMPARE(refused.status, 403);
    }
    for (const std::string &token : {m_admin.token, user.token}) {
        const JSON me = m_client->get("/auth/me", token).json()["account"];
        QCOMPARE(standing(me), "approved/admin");
    }
}

void ServerTest::workspaceKeepsUnknownKeysAndRefusesStaleOrUnusableSaves()
{
    const Account user = newUser();
    auto save = [&](const JSON &revision, const JSON &document) {
        return m_client->put("/api/workspace", user.token, saveBody(revision, document));
    };
    auto stored = [&] { return m_client->get("/api/workspace", user.token).json(); };
    QCOMPARE(stored(), JSON::decode(R"({"workspace":null,"revision":0})"));

    // Members this server knows nothing of, at every depth, come back as they were sent.
    const JSON first = workspaceOf(
        R"([{"id":"p1","title":"Reunión ✓","blocks":[{"id":"b","type":"text","futureFlag":
            {"deep":[1.5,-0.0,1e300,null,"x\u0000y"]}}],"notionSource":{"path":"a/b.md"}}])"
        R"(,"theme":"dark","unknownTopLevel":{"list":[],"empty":{}})");
    QCOMPARE(save(0, first).json(), JSON::object({{"revision", 1}}));

    // A save on any revision but the stored one, or one that is no save, changes nothing.
    const JSON second = workspaceOf(R"([{"id":"a","title":"Second"}])");
    for (const JSON &stale : {JSON(0), JSON(2)}) {
        const HttpsReply conflict = save(stale, second);
        QVERIFY(conflict.status == 409 && conflict.isRefusal());
    }
    for (const char *body : {R"({"revision":1,"workspace":)", R"({"revision":"1","workspace":{}})",
                             R"({"revision":1,"workspace":null})", R"([1,{}])"}) {
        const HttpsReply refused = m_client->send("PUT", "/api/workspace", user.token, body);
        QVERIFY2(refused.status == 400 && refused.isRefusal(), body);
    }
    QCOMPARE(stored(), JSON::object({{"workspace", first}, {"revision", 1}}));

    // A revision is read as a whole number.
    QCOMPARE(save(1.9, second).json()["revision"], JSON(2));
    QCOMPARE(stored()["workspace"], second);
}

void ServerTest::concurrentSavesOnOneRevisionHaveOneWinner()
{
    const Account user = newUser();
    constexpr int writers = 8;
    std::vector<int> statuses(writers);
    std::atomic<int> ready = 0;
    inParallel(writers, [&](int i) {
        HttpsClient client(m_server); // a connection of each writer's own
        const JSON document = JSON::object({{"pages", JSON::array()}, {"writer", i}});
        ++ready;
        while (ready < writers)
            std::this_thread::yield();
        statuses[std::size_t(i)] =
            client.put("/api/workspace", user.token, saveBody(0, document)).status;
    });

    QCOMPARE(std::count(statuses.begin(), statuses.end(), 200), 1);
    QCOMPARE(std::count(statuses.begin(), statuses.end(), 409), writers - 1);
    const auto winner = std::find(statuses.begin(), statuses.end(), 200) - statuses.begin();
    const JSON stored = HttpsClient(m_server).get("/api/workspace", user.token).json();
    QCOMPARE(stored["revision"], JSON(1));
    QCOMPARE(stored["workspace"]["writer"], JSON(int(winner)));
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
    const Account user = newUser();
    const std::string upload = "/api/recordings?pageId=p&uploadId=big";
    // The body begins as a save does: a server that read it all would answer 400, not 413.
    const HttpsReply refused =
        workspace
            ? m_client->stream("PUT", "/api/workspace", user.token, "application/json",
                               64 * mib + 1, chunked, R"({"revision":0,"workspace":{"p":")")
            : m_client->stream("POST", upload, user.token, "audio/mp4", 250 * mib + 1, chunked);
    QVERIFY(refused.status == 413 && refused.isRefusal());

    QCOMPARE(m_client->get("/api/workspace", user.token).json()["revision"], JSON(0));
    QCOMPARE(storedRecordings(user), 0);
    // The upload id is still free for a recording that fits.
    QCOMPARE(m_client->send("POST", upload, user.token, "fits", "audio/mp4").status, 201);
}

void ServerTest::meetingsAreDerivedFromTheWorkspace()
{
    const Account user = newUser();
    const Account other = newUser();
    const JSON document = workspaceOf(R"([
        {"id":"m1","title":"Alpha","meeting":true,"createdAt":"2026-03-01T09:30:00Z"},
        {"id":"m2","title":"Trashed","meeting":true,"trashed":true},
        {"id":"m4","title":"Imported","meeting":true,"importBatchId":"batch-1","trashed":"true"},
        {"id":"d1","title":"A document","kind":"document"},
        "not a page"])");
    QCOMPARE(saveFirst(user, document), 200);
    // Another account's recording of a page with the same id is not counted.
    for (const Account *owner : {&user, &other}) {
        const HttpsReply uploaded = m_client->send("POST", "/api/recordings?pageId=m1&uploadId=u",
                                                   owner->token, "audio", "audio/mp4");
        QCOMPARE(uploaded.status, 201);
    }

    QCOMPARE(m_client->get("/api/meetings", user.token).json(), JSON::decode(R"({"meetings":[
        {"id":"m1","title":"Alpha","date":"2026-03-01","audioCount":1,"imported":false},
        {"id":"m4","title":"Imported","date":"","audioCount":0,"imported":true}]})"));
}

void ServerTest::uploadsAreStoredOncePerUploadId()
{
    const Account user = newUser();
    const std::string path = "/api/recordings?pageId=page-1&name=Standup%20m4a&uploadId=u-1";
    const HttpsReply created = m_client->send("POST", path, user.token, "first", "audio/mp4");
    QCOMPARE(created.status, 201);
    const JSON record = created.json();
    QCOMPARE(str(record["name"].stringValue()), "Standup m4a");
    QCOMPARE(record["bytes"], JSON(5));

    // The same upload again is answered with what is stored; its bytes are not kept.
    const HttpsReply repeated = m_client->send("POST", path, user.token, "second!", "audio/ogg");
    QCOMPARE(repeated.status, 200);
    QCOMPARE(repeated.json(), record);

    const HttpsReply later = m_client->send("POST", "/api/recordings?pageId=page-1&uploadId=u-2",
                                            user.token, "later", "");
    QCOMPARE(m_client->get("/api/recordings?pageId=page-1", user.token).json()["recordings"],
             JSON::array({record, later.json()}));

    const HttpsReply audio =
        m_client->get(std::string(record["audioUrl"].stringValue()), user.token);
    QCOMPARE(audio.body, "first");
    QCOMPARE(audio.header("content-type"), "audio/mp4");
    QCOMPARE(QFileInfo(recordingDir(user), QString::fromUtf8(str(record.id()))).permissions(),
             QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser |
                 QFileDevice::WriteUser);

    // Uploads without a page or any bytes are refused and store nothing (an imported file comes
    // without an upload id, and is accepted: see the transcription suite).
    for (const char *refused : {"/api/recordings?uploadId=u", "/api/recordings?pageId=&uploadId=u",
                                "/api/recordings?pageId=p&uploadId=empty"}) {
        const std::string bytes = std::string_view(refused).ends_with("empty") ? "" : "audio";
        const HttpsReply reply = m_client->send("POST", refused, user.token, bytes, "audio/mp4");
        QVERIFY2(reply.status == 400 && reply.isRefusal(), refused);
    }
    QCOMPARE(m_client->get("/api/recordings", user.token).status, 400);
    QCOMPARE(storedRecordings(user), 2);
}

void ServerTest::concurrentRepeatsOfAnUploadStoreOnce()
{
    const Account user = newUser();
    constexpr int senders = 6;
    std::vector<HttpsReply> replies(senders);
    inParallel(senders, [&](int i) {
        replies[std::size_t(i)] =
            HttpsClient(m_server).send("POST", "/api/recordings?pageId=p&uploadId=same", user.token,
                                       std::string(256 * 1024, char('a' + i)), "audio/mp4");
    });

    int created = 0;
    for (const HttpsReply &reply : replies) {
        QVERIFY(reply.status == 200 || reply.status == 201);
        created += reply.status == 201;
        QCOMPARE(reply.json()["id"], replies.front().json()["id"]);
    }
    QCOMPARE(created, 1);
    QCOMPARE(storedRecordings(user), 1);
}

void ServerTest::accountsCannotReachEachOthersData()
{
    const Account owner = newUser();
    const Account intruder = newUser();
    const JSON document = workspaceOf(R"([{"id":"p","title":"Private","meeting":true}])");
    QCOMPARE(saveFirst(owner, document), 200);
    const std::string upload = "/api/recordings?pageId=p&uploadId=u";
    const JSON record = m_client->send("POST", upload, owner.token, "secret", "audio/mp4").json();
    const std::string audioUrl(record["audioUrl"].stringValue());

    QCOMPARE(m_client->get("/api/workspace", intruder.token).json()["workspace"], JSON());
    QCOMPARE(m_client->get("/api/meetings", intruder.token).json()["meetings"].size(), 0u);
    QCOMPARE(m_client->get("/api/recordings?pageId=p", intruder.token).json()["recordings"].size(),
             0u);
    const HttpsReply download = m_client->get(audioUrl, intruder.token);
    QCOMPARE(download.status, 404);
    QVERIFY(download.body.find("secret") == std::string::npos);

    // The intruder's own save and upload are its own; the owner's stay as they were.
    QCOMPARE(m_client->put("/api/workspace", intruder.token, saveBody(0, JSON::object())).status,
             200);
    const HttpsReply own = m_client->send("POST", upload, intruder.token, "mine", "audio/mp4");
    QCOMPARE(own.status, 201);
    QVERIFY(own.json()["id"] != record["id"]);
    QCOMPARE(m_client->get("/api/workspace", owner.token).json()["workspace"], document);
    QCOMPARE(m_client->get("/api/recordings?pageId=p", owner.token).json()["recordings"],
             JSON::array({record}));
    QCOMPARE(m_client->get(audioUrl, owner.token).body, "secret");
}

void ServerTest::administratorsChangeAccessOnTheCurrentVersion()
{
    const Account user = newUser("pending");
    auto change = [&](const JSON &status, const JSON &version) {
        return m_client
            ->post("/api/admin/accounts/" + user.id.toStdString(), m_admin.token,
                   JSON::object({{"status", status}, {"version", version}}))
            .status;
    };

    const JSON before = listed(user);
    QCOMPARE(str(before["status"].stringValue()), "pending");
    QVERIFY(mailsTo(m_server, user.email).isEmpty());

    // A stale or missing version changes nothing.
    QCOMPARE(change("approved", JSON(before["version"].numberValue() - 1)), 409);
    QCOMPARE(change("approved", JSON()), 409);
    QCOMPARE(listed(user), before);

    QCOMPARE(change("approved", before["version"]), 200);
    const JSON after = listed(user);
    // The access log says who changed which account to what; a refused change is only a line.
    const std::string path = "/api/admin/accounts/" + user.id.toStdString();
    QCOMPARE(logged(path)["change"], JSON::object({{"account", user.id.toStdString()},
                                                   {"status", "approved"},
                                                   {"version", after["version"]},
                                                   {"by", m_admin.id.toStdString()}}));
    QCOMPARE(str(after["status"].stringValue()), "approved");
    QCOMPARE(m_client->get("/api/workspace", user.token).status, 200);
    QCOMPARE(str(after["notification"]["status"].stringValue()), "sent");
    const QStringList mails = mailsTo(m_server, user.email);
    QCOMPARE(mails.size(), 1);
    QVERIFY(mails[0].contains("approved"));

    // The version the list showed before is stale now (staleness from the command line: the
    // administration view's suite).
    QCOMPARE(change("blocked", before["version"]), 409);
    QVERIFY(logged(path)["change"].isNull());
    QCOMPARE(change("blocked", after["version"]), 200);
    QCOMPARE(m_client->get("/api/workspace", user.token).status, 403);

    // Statuses other than the three are refused; so are unknown accounts.
    for (const JSON &status : {JSON("admin"), JSON()})
        QCOMPARE(change(status, listed(user)["version"]), 400);
    const JSON approve = JSON::object({{"status", "approved"}, {"version", 1}});
    QCOMPARE(m_client->post("/api/admin/accounts/no-such-account", m_admin.token, approve).status,
             404);
}

void ServerTest::accessLogRecordsWhatReachedTheServer()
{
    const Account user = newUser();
    const std::string upload = "/api/recordings?pageId=p&uploadId=logged&name=a";
    QCOMPARE(m_client->send("POST", upload, user.token, "bytes", "audio/ogg").status, 201);
    auto last = [&] { return JSON::decode(m_server.accessLog().constLast().toStdString()); };
    QCOMPARE(last(), JSON::object({{"method", "POST"},
                                   {"path", upload},
                                   {"status", 201},
                                   {"contentType", "audio/ogg"},
                                   {"authorization", true}}));
    QCOMPARE(m_client->get("/auth/me").status, 401);
    QCOMPARE(last()["authorization"], JSON(false));

    // A request the HTTP library refuses before routing is logged too, just after its answer.
    QCOMPARE(m_client->get("/api/" + std::string(10000, 'a'), user.token).status, 414);
    QTRY_COMPARE(last()["status"], JSON(414));
    for (const QByteArray &line : m_server.accessLog())
        QVERIFY(JSON::decode(line.toStdString()).isObject());
}

void ServerTest::keepsItsPortStopsCleanlyAndKeepsEverythingAcrossRestarts()
{
    ReferenceServer server;
    QVERIFY(server.start());
    const std::string token = newAccount(server, "owner@example.com").token;
    const QByteArray authority = readAll(server.caFile());
    const JSON document = workspaceOf(R"([{"id":"p"}])");
    std::string audioUrl;
    {
        HttpsClient client(server);
        QCOMPARE(client.put("/api/workspace", token, saveBody(0, document)).status, 200);
        audioUrl =
            client.send("POST", "/api/recordings?pageId=p&uploadId=u", token, "kept", "audio/mp4")
                .json()["audioUrl"]
                .stringValue();
    }

    // A second server cannot take the port, and the first goes on serving.
    QProcess second;
    second.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QTemporaryDir dir;
    second.start(ReferenceServer::executable(),
                 {"--data", dir.path(), "serve", "--port", QString::number(server.port())});
    QVERIFY(second.waitForFinished(15000));
    QCOMPARE(second.exitCode(), 1);

    // An idle keep-alive connection does not keep the server from stopping.
    HttpsClient idle(server);
    idle.setKeepAlive(true);
    QCOMPARE(idle.get("/auth/me", token).status, 200);
    server.stop();
    QCOMPARE(server.lastExitCode(), 0);
    QCOMPARE(idle.get("/auth/me", token).status, 0);

    QVERIFY(server.start());
    QCOMPARE(readAll(server.caFile()), authority); // clients keep trusting the same authority
    HttpsClient client(server);
    QCOMPARE(client.get("/api/workspace", token).json(),
             JSON::object({{"workspace", document}, {"revision", 1}}));
    QCOMPARE(client.get(audioUrl, token).body, "kept");
    server.stop();
    QCOMPARE(server.lastExitCode(), 0);
}

QTEST_GUILESS_MAIN(ServerTest)
#include "tst_server.moc"
