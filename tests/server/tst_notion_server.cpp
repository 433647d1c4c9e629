// Notion imports on the reference server: exports uploaded, previewed, kept until committed into
// the workspace or discarded and gone after their lifetime, hostile archives leaving nothing
// behind; and the files and list layouts an import leaves, also put there with its command line.
#include "support/files.h"
#include "support/servertesting.h"
#include "support/zipwriter.h"

#include <QBuffer>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace quorvale::test;
using quorvale::JSON;

namespace {

// Two halves, red and blue, so that a preview shows whether it kept the colours and the
// orientation.
QImage halves(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(QColor(220, 20, 20));
    for (int y = 0; y < height; ++y) {
        for (int x = width / 2; x < width; ++x)
            image.setPixel(x, y, qRgb(20, 20, 220));
    }
    return image;
}

QByteArray encoded(const QImage &image, const char *format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

// Qt does not write WebP; FFmpeg, which the server's set-up installs, does.
QByteArray webpOf(const QByteArray &image)
{
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg", {"-loglevel", "error", "-i", "-", "-f", "webp", "-"});
    ffmpeg.write(image);
    ffmpeg.closeWriteChannel();
    const bool made = ffmpeg.waitForFinished(30000) && ffmpeg.exitCode() == 0;
    return made ? ffmpeg.readAllStandardOutput() : QByteArray();
}

const std::string budget = "%PDF-1.4 tiny";

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

class NotionServerTest : public QObject, ServerSuite
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    // Files.
    void filesComeBackByteForByteWithTheirTypeAndName();
    void filesAreOnlyEverTheirOwnersAndNeedAnApprovedSession();

    // Previews.
    void imagesGetAPreviewThatFits_data();
    void imagesGetAPreviewThatFits();
    void filesThatAreNoUsableImageHaveNoPreview_data();
    void filesThatAreNoUsableImageHaveNoPreview();
    void previewsAskedForAtOnceAllArrive();

    // Import resources.
    void resourcesListTheFilesOfThePagesImportOnly();

    // Command line.
    void commandLineRefusesBadInput();

    // Exports uploaded and imported.
    void aCommitAddsThePagesFilesAndLayoutsWithANewRevision();
    void aCommitAfterTheWorkspaceMovedOnIsRefused();
    void discardedAndOtherAccountsImportsAreUnknown();
    void aHostileArchiveIsRefusedWithNothingStored();
    void pendingImportsOutliveARestartUntilTheyExpire();
    void repeatedImportsGiveTheirMemoryBack();

private:
    HttpsReply get(const QString &path, const Account &user)
    {
        return m_client->get(path.toStdString(), user.token);
    }
    // A file of the import with these bytes; answers its id on the server.
    QString addFile(const Account &user, const QString &path, const QByteArray &bytes,
                    const QString &batch = "b");
    int cliExitCode(const QStringList &args);
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

    QTemporaryDir m_files;
    Account m_admin;
};

void NotionServerTest::initTestCase()
{
    QVERIFY(m_files.isValid());
    QVERIFY(startServer());
    m_admin = newAccount(m_server, "admin@example.com", "pending");
    QVERIFY(!m_admin.token.empty());
}

void NotionServerTest::cleanupTestCase()
{
    QVERIFY(stopServer());
}

QString NotionServerTest::addFile(const Account &user, const QString &path, const QByteArray &bytes,
                                  const QString &batch)
{
    const QString source = m_files.filePath("source");
    QFile out(source);
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size())
        return {};
    out.close();
    return m_server.addNotionFile(user.id, batch, path, source);
}

int NotionServerTest::cliExitCode(const QStringList &args)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    process.start(ReferenceServer::executable(), QStringList{"--data", m_server.dataDir()} + args);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return -1;
    // A refusal says why, on the first line, before any usage text.
    if (process.exitCode() != 0 && !process.readAllStandardError().startsWith("quorvale-server: "))
        return -2;
    return process.exitCode();
}

void NotionServerTest::filesComeBackByteForByteWithTheirTypeAndName()
{
    const Account user = newUser();
    QByteArray markdown = "# Plan\n\nÜberblick — ";
    markdown.append('\0');
    markdown.append("\xff\xfe binary tail");
    const HttpsReply got =
        get("/api/notion-files/" + addFile(user, "Projects/Plan 1a2b.md", markdown), user);
    QCOMPARE(str(got.body), markdown);
    QCOMPARE(got.header("content-type"), "text/markdown; charset=utf-8");
    QCOMPARE(got.header("content-disposition"),
             "attachment; filename=\"Plan 1a2b.md\"; filename*=UTF-8''Plan%201a2b.md");

    // A name that would break out of the quotes is written safely; the full name still comes
    // through in its encoded form.
    const QString odd = addFile(user, "Assets/Plan \"final\"; ñ.PNG", encoded(halves(4, 2), "PNG"));
    const HttpsReply image = get("/api/notion-files/" + odd, user);
    QCOMPARE(image.header("content-type"), "image/png");
    QCOMPARE(image.header("content-disposition"),
             "attachment; filename=\"Plan _final_; __.PNG\"; "
             "filename*=UTF-8''Plan%20%22final%22%3B%20%C3%B1.PNG");

    // An empty file comes back too.
    const HttpsReply none = get("/api/notion-files/" + addFile(user, "empty.txt", {}), user);
    QVERIFY(none.status == 200 && none.body.empty());
}

void NotionServerTest::filesAreOnlyEverTheirOwnersAndNeedAnApprovedSession()
{
    const Account owner = newUser();
    const Account other = newUser();
    const QString id = addFile(owner, "Assets/photo.png", encoded(halves(1200, 600), "PNG"));
    QVERIFY(!id.isEmpty());
    const QString path = "/api/notion-files/" + id;
    QCOMPARE(get(path, owner).status, 200);
    QCOMPARE(get(path + "/preview", owner).status, 200);

    // Another account gets exactly the answer of an id that does not exist.
    const HttpsReply unknown = get("/api/notion-files/no-such-file", other);
    QVERIFY(unknown.status == 404 && unknown.isRefusal());
    for (const QString &suffix : {QString(), QString("/preview")}) {
        QCOMPARE(get(path + suffix, other).body, unknown.body);
        QCOMPARE(get(path + suffix, m_admin).status, 404);
    }

    QVERIFY(m_server.setStatus(owner.id, "block"));
    QCOMPARE(get(path, owner).status, 403);
    QCOMPARE(get(path + "/preview", owner).status, 403);
}

void NotionServerTest::imagesGetAPreviewThatFits_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("redOnTop"); // else red on the left

    const QByteArray tall = encoded(halves(1200, 3000), "JPEG");
    QTest::newRow("small image, not enlarged")
        << "Assets/small.png" << encoded(halves(300, 200), "PNG") << QByteArray("image/png")
        << QSize(300, 200) << false;
    QTest::newRow("jpeg content named .png")
        << "Assets/really-a-jpeg.png" << tall << QByteArray("image/jpeg") << QSize(384, 960)
        << false;
    QTest::newRow("webp") << "Assets/shot.webp" << webpOf(tall) << QByteArray("image/png")
                          << QSize(384, 960) << false;

    // A phone's photograph stored sideways with EXIF orientation 6 (turn 90° clockwise): the
    // preview stands upright, its red left half now on top.
    QByteArray photo = encoded(halves(1200, 600), "JPEG");
    const QByteArray exif = QByteArray("Exif\0\0", 6) +
                            QByteArray::fromHex("4d4d002a00000008" // big-endian, IFD at 8
                                                "0001" // one entry: Orientation, SHORT, 1, 6
                                                "011200030000000100060000"
                                                "00000000"); // no next IFD
    const auto length = int(exif.size() + 2);
    photo.insert(2, QByteArray::fromHex("ffe1") + char(length >> 8) + char(length & 0xff) + exif);
    QTest::newRow("jpeg turned by its exif orientation")
        << "Assets/IMG_0001.jpeg" << photo << QByteArray("image/jpeg") << QSize(480, 960) << true;
}

void NotionServerTest::imagesGetAPreviewThatFits()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, type);
    QFETCH(QSize, size);
    QFETCH(bool, redOnTop);
    QVERIFY(!bytes.isEmpty());
    const Account user = newUser();
    const QString id = addFile(user, path, bytes);
    QVERIFY(!id.isEmpty());

    const HttpsReply preview = get("/api/notion-files/" + id + "/preview", user);
    QCOMPARE(preview.status, 200);
    QCOMPARE(QByteArray::fromStdString(preview.header("content-type")), type);
    const QByteArray format = type == "image/png" ? "PNG" : "JPEG";
    const QImage image = QImage::fromData(str(preview.body), format.constData());
    QCOMPARE(image.size(), size);
    const QPoint red = redOnTop ? QPoint(image.width() / 2, 2) : QPoint(2, image.height() / 2);
    const QPoint blue = redOnTop ? QPoint(image.width() / 2, image.height() - 3)
                                 : QPoint(image.width() - 3, image.height() / 2);
    QVERIFY(qRed(image.pixel(red)) > 160 && qBlue(image.pixel(red)) < 90);
    QVERIFY(qBlue(image.pixel(blue)) > 160 && qRed(image.pixel(blue)) < 90);
    // The original stays as it was.
    QCOMPARE(str(get("/api/notion-files/" + id, user).body), bytes);
}

void NotionServerTest::filesThatAreNoUsableImageHaveNoPreview_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("bytes");

    const QByteArray jpeg = encoded(halves(800, 600), "JPEG");
    QTest::newRow("jpeg cut in half") << "Assets/cut.JPG" << jpeg.left(jpeg.size() / 2);
    // A valid header claiming 100000 × 100000 pixels: decoding it would take 40 GB.
    QTest::newRow("too many pixels")
        << "Assets/huge.png"
        << QByteArray::fromHex(
               "89504e470d0a1a0a0000000d49484452000186a0000186a00806000000a8520bc8"
               "0000000b49444154789c6360800100000a00017f80745e0000000049454e44ae426082");
    QTest::newRow("empty") << "Assets/empty.png" << QByteArray();
}

void NotionServerTest::filesThatAreNoUsableImageHaveNoPreview()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, bytes);
    const Account user = newUser();
    const QString id = addFile(user, path, bytes);
    QVERIFY(!id.isEmpty());
    const HttpsReply preview = get("/api/notion-files/" + id + "/preview", user);
    QVERIFY(preview.status == 404 && preview.isRefusal());
    // The file itself is still there, and the server goes on serving.
    QCOMPARE(str(get("/api/notion-files/" + id, user).body), bytes);
}

void NotionServerTest::previewsAskedForAtOnceAllArrive()
{
    const Account user = newUser();
    const QString id = addFile(user, "big.png", encoded(halves(2400, 1800), "PNG"));
    QVERIFY(!id.isEmpty());
    std::vector<HttpsReply> replies(8);
    inParallel(8, [&](int i) {
        replies[std::size_t(i)] = HttpsClient(m_server).get(
            "/api/notion-files/" + id.toStdString() + "/preview", user.token);
    });
    for (const auto &reply : replies)
        QCOMPARE(QImage::fromData(str(reply.body)).size(), QSize(960, 720));
}

void NotionServerTest::resourcesListTheFilesOfThePagesImportOnly()
{
    const Account user = newUser();
    const Account other = newUser();
    const auto save = [&](const Account &owner, const std::string &pages) {
        return saveFirst(owner, JSON::decode(R"({"schemaVersion":1,"pages":)" + pages + "}"));
    };
    QCOMPARE(save(user, R"([
        {"id":"imported","title":"Plan","importBatchId":"batch-1"},
        {"id":"sibling","title":"Other import","importBatchId":"batch-2"},
        {"id":"own","title":"Written here"},
        {"id":"odd","title":"Odd batch","importBatchId":7}])"),
             200);
    const QString diagram = addFile(user, "Assets/diagram.PNG", "png", "batch-1");
    const QString plan = addFile(user, "Projects/Plan 1a2b.md", "# Plan", "batch-1");
    QVERIFY(!addFile(user, "Assets/diagram.PNG", "x", "batch-2").isEmpty());
    const QByteArray layout = R"({"b1":{"indent":0,"number":1},"b2":{"indent":2,"number":3}})";
    QVERIFY(m_server.setListLayout(user.id, "imported", layout));

    const auto resources = [&](const Account &caller, const char *pageId) {
        return get(QString("/api/notion-imports/resources?pageId=") + pageId, caller).json();
    };
    const JSON imported = resources(user, "imported");
    QCOMPARE(imported["files"].size(), std::size_t{2});
    QCOMPARE(imported["files"].at(0).id(), diagram.toStdString());
    QCOMPARE(imported["files"].at(1).id(), plan.toStdString());
    QCOMPARE(imported["listLayout"], JSON::decode(layout.toStdString()));

    // A later layout replaces the earlier one.
    QVERIFY(m_server.setListLayout(user.id, "imported", R"({"b9":{"number":4}})"));
    QCOMPARE(resources(user, "imported")["listLayout"], JSON::decode(R"({"b9":{"number":4}})"));

    // Pages of no import, and pages the workspace does not have, list no files.
    const JSON empty = JSON::object({{"files", JSON::array()}, {"listLayout", JSON::object()}});
    for (const char *page : {"own", "odd", "missing"})
        QCOMPARE(resources(user, page), empty);
    QCOMPARE(resources(user, "sibling")["files"].size(), std::size_t{1});
    QCOMPARE(get("/api/notion-imports/resources", user).status, 400);

    // Another account's page with the same id, from an import with the same batch id, shows
    // nothing of the first account's.
    QCOMPARE(save(other, R"([{"id":"imported","importBatchId":"batch-1"}])"), 200);
    QCOMPARE(resources(other, "imported"), empty);
}

void NotionServerTest::commandLineRefusesBadInput()
{
    const Account user = newUser();
    const QString id = addFile(user, "Docs/good.txt", "good");
    QVERIFY(!id.isEmpty());
    const QString stored = m_server.dataDir() + "/notion-files/" + user.id;
    QCOMPARE(QFileInfo(stored + '/' + id).permissions() & (QFile::ReadGroup | QFile::ReadOther),
             QFile::Permissions());

    const QString good = m_files.filePath("source");
    const QStringList refused[] = {
        {"account", "add", "--email", "not-an-address"},
        {"account", "add", "--email", "ADMIN@example.com"}, // taken, in another case
        {"serve", "--port", "0", "--code-ttl", "3601"},     // codes live an hour at the most
        {"notion", "add-file", user.id, "b", "Docs/missing.txt", m_files.filePath("missing")},
        {"notion", "add-file", "no-such-account", "b", "Docs/x.txt", good},
        {"notion", "add-file", user.id, "b", "Docs/good.txt", good}, // the path is taken
        {"notion", "add-file", user.id, "b", "/etc/passwd", good},
        {"notion", "add-file", user.id, "b", "Docs/../../x", good},
        {"notion", "add-file", user.id, "b", "line\nbreak", good},
        {"notion", "set-layout", user.id, "p", "not json"},
        {"notion", "set-layout", user.id, "p", R"({"b":{"indent":"two"}})"},
    };
    for (const QStringList &args : refused) {
        const int code = cliExitCode(args);
        QVERIFY2(code == 1 || code == 2, qPrintable(args.join(' ')));
    }

    bool ok = false;
    const QByteArray listed = m_server.cli({"notion", "list-files", user.id, "b"}, &ok);
    QVERIFY(ok);
    QCOMPARE(JSON::decode(listed.toStdString()),
             JSON::object({{"id", id.toStdString()},
                           {"path", "Docs/good.txt"},
                           {"name", "good.txt"},
                           {"contentType", "text/plain; charset=utf-8"},
                           {"bytes", 4}}));
    QCOMPARE(QDir(stored).entryList(QDir::Files | QDir::Hidden), QStringList{id});
    QCOMPARE(get("/api/notion-imports/resources?pageId=p", user).json()["listLayout"],
             JSON::object());
}

std::string NotionServerTest::exportArchive()
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

void NotionServerTest::aCommitAddsThePagesFilesAndLayoutsWithANewRevision()
{
    const Account user = newUser();
    const JSON mine = JSON::object(
        {{"pages", JSON::array({JSON::object({{"id", "mine"}, {"title", "My page"}})})}});
    QCOMPARE(saveFirst(user, mine), 200);

    const HttpsReply previewed = preview(user, exportArchive());
    QVERIFY2(previewed.status == 200, previewed.body.c_str());
    const JSON shown = previewed.json();
    QCOMPARE(shown["revision"].integerValue(), 1);
    QCOMPARE(str(shown["name"].stringValue()), "Export My Team.zip");
    QVERIFY(shown["canImport"].boolValue());

    const HttpsReply committed = commit(user, shown, "Team");
    QVERIFY2(committed.status == 200, committed.body.c_str());
    QCOMPARE(committed.json()["revision"].integerValue(), 2);
    const HttpsReply stored = m_client->get("/api/workspace", user.token);
    QCOMPARE(stored.json()["revision"].integerValue(), 2);
    QCOMPARE(stored.json()["workspace"], committed.json()["workspace"]);

    // The user's page stays (the tree under the renamed folder: the import sheet's suite).
    const JSON pages = stored.json()["workspace"]["pages"];
    const JSON *home = pageTitled(pages, "Home");
    const JSON *plan = pageTitled(pages, "Plan");
    QVERIFY(home && plan && pageTitled(pages, "My page"));

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

void NotionServerTest::aCommitAfterTheWorkspaceMovedOnIsRefused()
{
    const Account user = newUser();
    const JSON shown = preview(user, exportArchive()).json();
    QCOMPARE(shown["revision"].integerValue(), 0);
    const JSON saved = JSON::object({{"pages", JSON::array()}});
    QCOMPARE(saveFirst(user, saved), 200);
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

void NotionServerTest::discardedAndOtherAccountsImportsAreUnknown()
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

void NotionServerTest::aHostileArchiveIsRefusedWithNothingStored()
{
    // Every kind of hostile archive is the conversion suite's; here, that nothing is stored.
    ZipWriter zip(m_files.filePath("hostile.zip").toStdString());
    zip.add("zeros.md", std::string(std::size_t{8} << 20, '\0'));
    const Account user = newUser();
    const HttpsReply refused = preview(user, zip.close());
    QCOMPARE(refused.status, 400);
    QVERIFY2(QString::fromStdString(std::string(refused.json()["error"].stringValue()))
                 .contains("compressed more than 200 to 1"),
             refused.body.c_str());
    QCOMPARE(kept(user), QStringList());
}

void NotionServerTest::pendingImportsOutliveARestartUntilTheyExpire()
{
    const Account user = newUser();
    const JSON kept1 = preview(user, exportArchive()).json();
    QVERIFY(startServer({}));
    // Without a title the folder keeps the preview's.
    const HttpsReply committed = commit(user, kept1, nullptr);
    QVERIFY2(committed.status == 200, committed.body.c_str());
    QVERIFY(pageTitled(committed.json()["workspace"]["pages"], "Export My Team"));

    const Account later = newUser();
    const JSON expiring = preview(later, exportArchive()).json();
    QVERIFY(!expiring["id"].isNull());
    // Started with a lifetime of nothing: what waited is removed at once, files included.
    QVERIFY(startServer({"--import-ttl", "0"}));
    QCOMPARE(kept(later), QStringList());
    QCOMPARE(commit(later, expiring).status, 404);

    // An expired import is unknown even before it is swept, and the next upload sweeps it.
    const JSON first = preview(later, exportArchive()).json();
    QCOMPARE(commit(later, first).status, 404);
    const JSON second = preview(later, exportArchive()).json();
    QCOMPARE(kept(later),
             QStringList{QString::fromStdString(std::string(second["id"].stringValue())) + ".zip"});
    QVERIFY(startServer({}));
}

void NotionServerTest::repeatedImportsGiveTheirMemoryBack()
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

QTEST_GUILESS_MAIN(NotionServerTest)
#include "tst_notion_server.moc"
