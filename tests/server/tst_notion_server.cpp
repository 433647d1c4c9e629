// The files and list layouts that a Notion import leaves on the reference server, put there with
// its command line and read back over TLS.
#include "support/servertesting.h"

#include <QBuffer>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRandomGenerator>
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

QByteArray bodyOf(const HttpsReply &reply)
{
    return QByteArray::fromStdString(reply.body);
}

} // namespace

class NotionServerTest : public QObject
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

private:
    Account newUser() { return newAccount(m_server, QString("user%1@example.com").arg(++m_users)); }
    HttpsReply get(const QString &path, const Account &user)
    {
        return m_client->get(path.toStdString(), user.token);
    }
    // A file of the import with these bytes; answers its id on the server.
    QString addFile(const Account &user, const QString &path, const QByteArray &bytes,
                    const QString &batch = "b");
    int cliExitCode(const QStringList &args);

    ReferenceServer m_server;
    QTemporaryDir m_files;
    std::unique_ptr<HttpsClient> m_client;
    Account m_admin;
    int m_users = 0;
};

void NotionServerTest::initTestCase()
{
    QVERIFY(m_files.isValid());
    QVERIFY(m_server.start());
    m_client = std::make_unique<HttpsClient>(m_server);
    m_admin = newAccount(m_server, "admin@example.com", "pending");
    QVERIFY(!m_admin.token.empty());
}

void NotionServerTest::cleanupTestCase()
{
    m_client.reset();
    m_server.stop();
    QCOMPARE(m_server.lastExitCode(), 0);
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
    QCOMPARE(bodyOf(got), markdown);
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

    const QByteArray wide = encoded(halves(2000, 1000), "PNG");
    const QByteArray tall = encoded(halves(1200, 3000), "JPEG");
    QTest::newRow("png") << "Assets/wide.png" << wide << QByteArray("image/png") << QSize(960, 480)
                         << false;
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
    QVERIFY(bodyOf(preview).startsWith(format == "PNG" ? "\x89PNG" : "\xff\xd8\xff"));
    const QImage image = QImage::fromData(bodyOf(preview), format.constData());
    QCOMPARE(image.size(), size);
    const QPoint red = redOnTop ? QPoint(image.width() / 2, 2) : QPoint(2, image.height() / 2);
    const QPoint blue = redOnTop ? QPoint(image.width() / 2, image.height() - 3)
                                 : QPoint(image.width() - 3, image.height() / 2);
    QVERIFY(qRed(image.pixel(red)) > 160 && qBlue(image.pixel(red)) < 90);
    QVERIFY(qBlue(image.pixel(blue)) > 160 && qRed(image.pixel(blue)) < 90);
    // The original stays as it was.
    QCOMPARE(bodyOf(get("/api/notion-files/" + id, user)), bytes);
}

void NotionServerTest::filesThatAreNoUsableImageHaveNoPreview_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("bytes");

    QByteArray noise(4096, '\0');
    for (char &c : noise)
        c = char(QRandomGenerator::global()->bounded(256));
    const QByteArray jpeg = encoded(halves(800, 600), "JPEG");
    QTest::newRow("noise after a png signature")
        << "Assets/broken.png" << QByteArray("\x89PNG\r\n\x1a\n", 8) + noise;
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
    QCOMPARE(bodyOf(get("/api/notion-files/" + id, user)), bytes);
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
        QCOMPARE(QImage::fromData(bodyOf(reply)).size(), QSize(960, 720));
}

void NotionServerTest::resourcesListTheFilesOfThePagesImportOnly()
{
    const Account user = newUser();
    const Account other = newUser();
    const auto save = [&](const Account &owner, const std::string &pages) {
        const JSON document = JSON::decode(R"({"schemaVersion":1,"pages":)" + pages + "}");
        return m_client
            ->put("/api/workspace", owner.token,
                  JSON::object({{"revision", 0}, {"workspace", document}}))
            .status;
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
        {"account", "approve", "no-such-account"},
        {"serve", "--port", "99999"},
        {"serve", "--port", "0", "--code-ttl", "3601"}, // codes live an hour at the most
        {"notion", "add-file", user.id, "b", "Docs/missing.txt", m_files.filePath("missing")},
        {"notion", "add-file", "no-such-account", "b", "Docs/x.txt", good},
        {"notion", "add-file", user.id, "b", "Docs/good.txt", good}, // the path is taken
        {"notion", "add-file", user.id, "b", "/etc/passwd", good},
        {"notion", "add-file", user.id, "b", "Docs/../../x", good},
        {"notion", "add-file", user.id, "b", "line\nbreak", good},
        {"notion", "add-file", user.id, "b", "x.bin"},
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

QTEST_GUILESS_MAIN(NotionServerTest)
#include "tst_notion_server.moc"
