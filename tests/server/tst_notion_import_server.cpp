// Notion exports uploaded to the reference server: previewed, kept until committed into the
// workspace or discarded, and gone after their lifetime; hostile archives leave nothing behind.
#include "support/files.h"
#include "support/servertesting.h"
#include "support/zipwriter.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace quorvale::test;
using quorvale::JSON;

namespace {

const std::string homeId = "0123456789abcdef0123456789abcdef";
const std::string planId = "11111111111111111111111111111111";
const std::string budget = "%PDF-1.4 tiny";

const JSON *pageTitled(const JSON &pages, std::string_view title)
{
    for (const JSON &page : pages.arrayValue()) {
        if (page["title"].stringValue() == title)
            return &page;
    }
    return nullptr;
}

// The anonymous resident memory of a process, in kilobytes; -1 if unreadable.
long long residentKb(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith("RssAnon:"))
            return line.mid(8).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

} // namespace

class NotionImportServerTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void aCommitAddsThePagesFilesAndLayoutsWithANewRevision();
    void aCommitAfterTheWorkspaceMovedOnIsRefused();
    void discardedAndOtherAccountsImportsAreUnknown();
    void hostileArchivesAreRefusedWithNothingStored_data();
    void hostileArchivesAreRefusedWithNothingStored();
    void pendingImportsOutliveARestartUntilTheyExpire();
    void repeatedImportsGiveTheirMemoryBack();

private:
    Account newUser() { return newAccount(m_server, QString("user%1@example.com").arg(++m_users)); }
    // Home with a list, its subpage Plan showing budget.pdf.
    std::string exportArchive();
    HttpsReply preview(const Account &user, const std::string &archive,
                       const std::string &name = "Export%20My%20Team.zip")
    {
        return m_client->send("POST", "/api/notion-imports/preview?name=" + name, user.token,
                              archive, "application/zip");
    }
    HttpsReply commit(const Account &user, const JSON &preview, const JSON &title = "Team")
    {
        return m_client->post(
            "/api/notion-imports/" + std::string(preview["id"].stringValue()) + "/commit",
            user.token, JSON::object({{"revision", preview["revision"]}, {"title", title}}));
    }
    HttpsReply discard(const Account &user, const JSON &preview)
    {
        return m_client->send("DELETE",
                              "/api/notion-imports/" + std::string(preview["id"].stringValue()),
                              user.token);
    }
    // What the data directory keeps of the user's pending imports and imported files.
    QStringList kept(const Account &user) const
    {
        return entries(m_server.dataDir() + "/notion-imports/" + user.id) +
               entries(m_server.dataDir() + "/notion-files/" + user.id);
    }
    bool restart(const QStringList &options)
    {
        m_client.reset();
        m_server.stop();
        m_server.setServeOptions(options);
        if (!m_server.start())
            return false;
        m_client = std::make_unique<HttpsClient>(m_server);
        return true;
    }

    ReferenceServer m_server;
    QTemporaryDir m_files;
    std::unique_ptr<HttpsClient> m_client;
    int m_users = 0;
};

void NotionImportServerTest::initTestCase()
{
    QVERIFY(m_files.isValid());
    QVERIFY(m_server.start());
    m_client = std::make_unique<HttpsClient>(m_server);
}

void NotionImportServerTest::cleanupTestCase()
{
    m_client.reset();
    m_server.stop();
    QCOMPARE(m_server.lastExitCode(), 0);
}

std::string NotionImportServerTest::exportArchive()
{
    const std::string home = "Home " + homeId;
    ZipWriter zip(m_files.filePath("export.zip").toStdString());
    zip.add(home + ".md", "# Home\n\nWelcome.\n\n- one\n    - two\n\n[Plan](Home%20" + homeId +
                              "/Plan%20" + planId + ".md)\n");
    zip.add(home + "/Plan " + planId + ".md",
            "# Plan\n\n[budget.pdf](Plan%20" + planId + "/budget.pdf)\n");
    zip.add(home + "/Plan " + planId + "/budget.pdf", budget);
    return zip.close();
}

void NotionImportServerTest::aCommitAddsThePagesFilesAndLayoutsWithANewRevision()
{
    const Account user = newUser();
    const JSON mine = JSON::object(
        {{"pages", JSON::array({JSON::object({{"id", "mine"}, {"title", "My page"}})})}});
    QCOMPARE(m_client
                 ->put("/api/workspace", user.token,
                       JSON::object({{"revision", 0}, {"workspace", mine}}))
                 .status,
             200);

    const HttpsReply previewed = preview(user, exportArchive());
    QVERIFY2(previewed.status == 200, previewed.body.c_str());
    const JSON shown = previewed.json();
    QVERIFY(!shown["id"].stringValue().empty());
    QCOMPARE(shown["revision"].integerValue(), 1);
    QCOMPARE(str(shown["rootTitle"].stringValue()), "Export My Team");
    QCOMPARE(str(shown["name"].stringValue()), "Export My Team.zip");
    QVERIFY(shown["canImport"].boolValue());
    QVERIFY(shown["items"].size() >= 2);
    QVERIFY(shown["summary"].isObject() && shown["warnings"].isArray());

    const HttpsReply committed = commit(user, shown, "Team");
    QVERIFY2(committed.status == 200, committed.body.c_str());
    QCOMPARE(committed.json()["revision"].integerValue(), 2);
    const HttpsReply stored = m_client->get("/api/workspace", user.token);
    QCOMPARE(stored.json()["revision"].integerValue(), 2);
    QCOMPARE(stored.json()["workspace"], committed.json()["workspace"]);

    // The user's page stays; the export hangs under the renamed folder.
    const JSON workspace = stored.json()["workspace"];
    const JSON &pages = workspace["pages"];
    QVERIFY(pageTitled(pages, "My page"));
    const JSON *root = pageTitled(pages, "Team");
    const JSON *home = pageTitled(pages, "Home");
    const JSON *plan = pageTitled(pages, "Plan");
    QVERIFY(root && home && plan);
    QCOMPARE((*home)["parentId"].stringValue(), root->id());
    QCOMPARE((*plan)["parentId"].stringValue(), home->id());

    // The file comes back through its asset id, and the page's import lists it with the layout.
    std::string assetId;
    for (const JSON &block : (*plan)["blocks"].arrayValue()) {
        if (block["type"].stringValue() == "attachment")
            assetId = block["assetId"].stringValue();
    }
    QVERIFY(!assetId.empty());
    const HttpsReply file = m_client->get("/api/notion-files/" + assetId, user.token);
    QCOMPARE(file.status, 200);
    QCOMPARE(str(file.body), str(budget));
    const JSON resources =
        m_client->get("/api/notion-imports/resources?pageId=" + std::string(home->id()), user.token)
            .json();
    QCOMPARE(resources["files"].size(), std::size_t{1});
    QVERIFY2(resources["listLayout"].size() >= 2, resources.encode().c_str());

    // Committed once only, and the archive is gone.
    QCOMPARE(commit(user, shown).status, 404);
    QCOMPARE(entries(m_server.dataDir() + "/notion-imports/" + user.id), QStringList());
}

void NotionImportServerTest::aCommitAfterTheWorkspaceMovedOnIsRefused()
{
    const Account user = newUser();
    const JSON shown = preview(user, exportArchive()).json();
    QCOMPARE(shown["revision"].integerValue(), 0);
    const JSON saved = JSON::object({{"pages", JSON::array()}});
    QCOMPARE(m_client
                 ->put("/api/workspace", user.token,
                       JSON::object({{"revision", 0}, {"workspace", saved}}))
                 .status,
             200);
    QCOMPARE(commit(user, shown).status, 409);
    // Nor may the body claim another revision than the preview's.
    JSON again = preview(user, exportArchive()).json();
    QCOMPARE(again["revision"].integerValue(), 1);
    again.set("revision", 0);
    QCOMPARE(commit(user, again).status, 409);

    const JSON stored = m_client->get("/api/workspace", user.token).json();
    QCOMPARE(stored["revision"].integerValue(), 1);
    QCOMPARE(stored["workspace"], saved);
    QCOMPARE(entries(m_server.dataDir() + "/notion-files/" + user.id), QStringList());
}

void NotionImportServerTest::discardedAndOtherAccountsImportsAreUnknown()
{
    const Account user = newUser();
    const Account other = newUser();
    const JSON shown = preview(user, exportArchive()).json();
    QCOMPARE(commit(other, shown).status, 404);
    QCOMPARE(discard(other, shown).status, 404);

    QCOMPARE(discard(user, shown).status, 200);
    QCOMPARE(commit(user, shown).status, 404);
    QCOMPARE(discard(user, shown).status, 404);
    QCOMPARE(kept(user), QStringList());
    QCOMPARE(m_client->get("/api/workspace", user.token).json()["revision"].integerValue(), 0);
}

void NotionImportServerTest::hostileArchivesAreRefusedWithNothingStored_data()
{
    QTest::addColumn<QByteArray>("archive");
    QTest::addColumn<QString>("error");
    const std::string page = "# P\n\ntext\n";
    auto write = [&](const std::function<void(ZipWriter &)> &fill) {
        ZipWriter zip(m_files.filePath("hostile.zip").toStdString());
        fill(zip);
        return QByteArray::fromStdString(zip.close());
    };
    QTest::newRow("parent folder") << write([&](ZipWriter &z) {
        z.add("P " + homeId + ".md", page);
        z.add("a/../../evil.md", page);
    }) << "points outside the archive";
    QTest::newRow("symbolic link")
        << write([&](ZipWriter &z) { z.symlink("P.md", "/etc/passwd"); }) << "symbolic link";
    QTest::newRow("bomb") << write([&](ZipWriter &z) {
        z.add("zeros.md", std::string(std::size_t{8} << 20, '\0'));
    }) << "compressed more than 200 to 1";
    QTest::newRow("not a ZIP") << QByteArray("# Just Markdown\n") << "not a readable ZIP";
}

void NotionImportServerTest::hostileArchivesAreRefusedWithNothingStored()
{
    QFETCH(QByteArray, archive);
    QFETCH(QString, error);
    const Account user = newUser();
    const HttpsReply refused = preview(user, archive.toStdString());
    QCOMPARE(refused.status, 400);
    QVERIFY2(
        QString::fromStdString(std::string(refused.json()["error"].stringValue())).contains(error),
        refused.body.c_str());
    QCOMPARE(kept(user), QStringList());
}

void NotionImportServerTest::pendingImportsOutliveARestartUntilTheyExpire()
{
    const Account user = newUser();
    const JSON kept1 = preview(user, exportArchive()).json();
    QVERIFY(restart({}));
    // Without a title the folder keeps the preview's.
    const HttpsReply committed = commit(user, kept1, nullptr);
    QVERIFY2(committed.status == 200, committed.body.c_str());
    QVERIFY(pageTitled(committed.json()["workspace"]["pages"], "Export My Team"));

    const Account later = newUser();
    const JSON expiring = preview(later, exportArchive()).json();
    QVERIFY(!expiring["id"].isNull());
    // Started with a lifetime of nothing: what waited is removed at once, files included.
    QVERIFY(restart({"--import-ttl", "0"}));
    QCOMPARE(kept(later), QStringList());
    QCOMPARE(commit(later, expiring).status, 404);

    // An expired import is unknown even before it is swept, and the next upload sweeps it.
    const JSON first = preview(later, exportArchive()).json();
    QCOMPARE(commit(later, first).status, 404);
    const JSON second = preview(later, exportArchive()).json();
    QCOMPARE(kept(later),
             QStringList{QString::fromStdString(std::string(second["id"].stringValue())) + ".zip"});
    QVERIFY(restart({}));
}

void NotionImportServerTest::repeatedImportsGiveTheirMemoryBack()
{
#if defined(__SANITIZE_ADDRESS__)
    QSKIP("the sanitizer's allocator holds freed memory in quarantine by design");
#endif
    // Enough pages that converting them takes tens of megabytes for a moment.
    ZipWriter zip(m_files.filePath("large.zip").toStdString());
    const std::string body = "Some text of the page, long enough to be a paragraph of notes.\n\n"
                             "- a point\n    - its detail\n\n1. first\n2. second\n\n"
                             "- [ ] to do\n\n> a quote\n\n| A | B |\n| --- | --- |\n| 1 | 2 |\n\n";
    for (int page = 0; page < 600; ++page) {
        std::string markdown = "# Page " + std::to_string(page) + "\n\n";
        for (int i = 0; i < 12; ++i)
            markdown += body;
        zip.add("Page " + std::to_string(page) + " " + homeId.substr(0, 28) +
                    std::to_string(1000 + page) + ".md",
                markdown);
    }
    const std::string archive = zip.close();
    const Account user = newUser();
    const auto previewAndDiscard = [&] {
        const HttpsReply previewed = preview(user, archive);
        QVERIFY2(previewed.status == 200, previewed.body.substr(0, 200).c_str());
        QCOMPARE(discard(user, previewed.json()).status, 200);
    };
    previewAndDiscard();
    const long long before = residentKb(m_server.processId());
    QVERIFY(before > 0);

    // Each request may land on another of the server's threads; what one conversion took must
    // not stay with its thread once the answer is out.
    for (int i = 0; i < 12; ++i)
        previewAndDiscard();
    const long long after = residentKb(m_server.processId());
    QVERIFY2(after - before < 32 * 1024,
             qPrintable(QStringLiteral("grew from %1 kB to %2 kB").arg(before).arg(after)));
}

QTEST_GUILESS_MAIN(NotionImportServerTest)
#include "tst_notion_import_server.moc"
