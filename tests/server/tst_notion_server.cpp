// The files and list layouts that a Notion import leaves on the reference server, put there with
// its command line and read back over TLS.
#include "support/httpsclient.h"
#include "support/referenceserver.h"
#include "json/json.h"

#include <QBuffer>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <thread>
#include <vector>

using quorvale::JSON;
using quorvale::test::HttpsClient;
using quorvale::test::HttpsReply;
using quorvale::test::readAll;
using quorvale::test::ReferenceServer;
using quorvale::test::str;

namespace {

struct Fetched
{
    int status = 0; // 0: no answer
    QByteArray body;
    QByteArray contentType;
    QByteArray disposition;
    JSON json;
};

struct User
{
    QString id;
    QString token;
};

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

bool isReddish(QRgb pixel)
{
    return qRed(pixel) > 160 && qBlue(pixel) < 90 && qGreen(pixel) < 90;
}

bool isBluish(QRgb pixel)
{
    return qBlue(pixel) > 160 && qRed(pixel) < 90 && qGreen(pixel) < 90;
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
    User newUser();
    Fetched fetch(const QString &path, const QString &token, const char *method = "GET",
                  const QByteArray &body = {});
    QString file(const QString &name, const QByteArray &bytes);
    QString imageFile(const QString &name, const QImage &image, const char *format);
    QString convertedWithFfmpeg(const QString &source, const QString &name);
    bool saveWorkspace(const User &user, const QByteArray &pages);
    int cliExitCode(const QStringList &args);

    ReferenceServer m_server;
    QTemporaryDir m_files;
    std::unique_ptr<HttpsClient> m_client;
    User m_admin;
    int m_users = 0;
};

void NotionServerTest::initTestCase()
{
    QVERIFY(m_files.isValid());
    QVERIFY(m_server.start());
    m_client = std::make_unique<HttpsClient>(m_server);
    m_admin.id = m_server.addAccount(QStringLiteral("admin@example.com"));
    QVERIFY(!m_admin.id.isEmpty());
    m_admin.token = m_server.token(m_admin.id);
}

void NotionServerTest::cleanupTestCase()
{
    m_client.reset();
    m_server.stop();
    QCOMPARE(m_server.lastExitCode(), 0);
}

User NotionServerTest::newUser()
{
    User user;
    const QString id = m_server.addAccount(QStringLiteral("user%1@example.com").arg(++m_users));
    if (id.isEmpty() || !m_server.setStatus(id, QStringLiteral("approved")))
        return user;
    user.id = id;
    user.token = m_server.token(id);
    return user;
}

Fetched NotionServerTest::fetch(const QString &path, const QString &token, const char *method,
                                const QByteArray &body)
{
    const HttpsReply reply =
        m_client->send(method, path.toStdString(), token.toStdString(), body.toStdString());
    return {reply.status, QByteArray::fromStdString(reply.body),
            QByteArray::fromStdString(reply.header("content-type")),
            QByteArray::fromStdString(reply.header("content-disposition")), reply.json()};
}

QString NotionServerTest::file(const QString &name, const QByteArray &bytes)
{
    const QString path = m_files.filePath(name);
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size())
        return {};
    return path;
}

QString NotionServerTest::imageFile(const QString &name, const QImage &image, const char *format)
{
    const QString path = m_files.filePath(name);
    return image.save(path, format) ? path : QString();
}

// Qt writes neither GIF nor WebP; FFmpeg, which the server's set-up installs, writes both.
QString NotionServerTest::convertedWithFfmpeg(const QString &source, const QString &name)
{
    const QString ffmpeg = QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
    if (ffmpeg.isEmpty())
        return {};
    const QString target = m_files.filePath(name);
    QProcess process;
    process.start(ffmpeg, {"-loglevel", "error", "-y", "-i", source, target});
    if (!process.waitForFinished(30000) || process.exitCode() != 0)
        return {};
    return target;
}

bool NotionServerTest::saveWorkspace(const User &user, const QByteArray &pages)
{
    const Fetched current = fetch(QStringLiteral("/api/workspace"), user.token);
    const QByteArray body =
        R"({"revision":)" + QByteArray::number(current.json["revision"].integerValue()) +
        R"(,"workspace":{"schemaVersion":1,"name":"Mi espacio","pages":)" + pages + "}}";
    return fetch(QStringLiteral("/api/workspace"), user.token, "PUT", body).status == 200;
}

int NotionServerTest::cliExitCode(const QStringList &args)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    process.setReadChannel(QProcess::StandardError);
    process.start(ReferenceServer::executable(), QStringList{"--data", m_server.dataDir()} + args);
    if (!process.waitForFinished(30000))
        return -1;
    const QByteArray message = process.readAllStandardError();
    // A refusal says why, on the first line, before any usage text.
    if (process.exitCode() != 0 && !message.startsWith("quorvale-server: "))
        return -2;
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

void NotionServerTest::filesComeBackByteForByteWithTheirTypeAndName()
{
    const User user = newUser();
    QByteArray markdown = "# Plan\n\nÜberblick — ";
    markdown.append('\0');
    markdown.append("\xff\xfe binary tail");
    const QString plan = m_server.addNotionFile(user.id, QStringLiteral("batch"),
                                                QStringLiteral("Projects/Plan 1a2b.md"),
                                                file(QStringLiteral("plan.md"), markdown));
    QVERIFY(!plan.isEmpty());
    const Fetched got = fetch(QStringLiteral("/api/notion-files/") + plan, user.token);
    QCOMPARE(got.status, 200);
    QCOMPARE(got.body, markdown);
    QCOMPARE(got.contentType, "text/markdown; charset=utf-8");
    QCOMPARE(got.disposition,
             "attachment; filename=\"Plan 1a2b.md\"; filename*=UTF-8''Plan%201a2b.md");

    // A name that would break out of the quotes is written safely; the full name still comes
    // through in its encoded form.
    const QString odd = m_server.addNotionFile(
        user.id, QStringLiteral("batch"), QStringLiteral("Assets/Plan \"final\"; ñ.PNG"),
        imageFile(QStringLiteral("plan.png"), halves(40, 20), "PNG"));
    QVERIFY(!odd.isEmpty());
    const Fetched image = fetch(QStringLiteral("/api/notion-files/") + odd, user.token);
    QCOMPARE(image.status, 200);
    QCOMPARE(image.contentType, "image/png");
    QCOMPARE(image.disposition, "attachment; filename=\"Plan _final_; __.PNG\"; "
                                "filename*=UTF-8''Plan%20%22final%22%3B%20%C3%B1.PNG");
    QCOMPARE(QImage::fromData(image.body).size(), QSize(40, 20));

    // An empty file, and a type given by the operator instead of the extension's.
    const QString empty =
        m_server.addNotionFile(user.id, QStringLiteral("batch"), QStringLiteral("empty.txt"),
                               file(QStringLiteral("empty.txt"), {}));
    const Fetched none = fetch(QStringLiteral("/api/notion-files/") + empty, user.token);
    QCOMPARE(none.status, 200);
    QVERIFY(none.body.isEmpty());
    QCOMPARE(none.contentType, "text/plain; charset=utf-8");
    const QString typed =
        m_server.addNotionFile(user.id, QStringLiteral("batch"), QStringLiteral("data"),
                               file(QStringLiteral("data"), "1,2"), QStringLiteral("text/csv"));
    QCOMPARE(fetch(QStringLiteral("/api/notion-files/") + typed, user.token).contentType,
             "text/csv");
}

void NotionServerTest::filesAreOnlyEverTheirOwnersAndNeedAnApprovedSession()
{
    const User owner = newUser();
    const User other = newUser();
    const QString id =
        m_server.addNotionFile(owner.id, QStringLiteral("b"), QStringLiteral("Assets/photo.png"),
                               imageFile(QStringLiteral("photo.png"), halves(1200, 600), "PNG"));
    QVERIFY(!id.isEmpty());
    const QString path = QStringLiteral("/api/notion-files/") + id;
    QCOMPARE(fetch(path, owner.token).status, 200);
    QCOMPARE(fetch(path + QStringLiteral("/preview"), owner.token).status, 200);

    // Another account gets exactly the answer of an id that does not exist.
    const Fetched unknown = fetch(QStringLiteral("/api/notion-files/no-such-file"), other.token);
    QCOMPARE(unknown.status, 404);
    QVERIFY(unknown.json["error"].isString());
    for (const QString &suffix : {QString(), QStringLiteral("/preview")}) {
        const Fetched refused = fetch(path + suffix, other.token);
        QCOMPARE(refused.status, 404);
        QCOMPARE(refused.body, unknown.body);
        QCOMPARE(fetch(path + suffix, m_admin.token).status, 404);
    }

    QCOMPARE(fetch(path, QString()).status, 401);
    QVERIFY(m_server.setStatus(owner.id, QStringLiteral("block")));
    QCOMPARE(fetch(path, owner.token).status, 403);
    QCOMPARE(fetch(path + QStringLiteral("/preview"), owner.token).status, 403);
    QVERIFY(m_server.setStatus(owner.id, QStringLiteral("approve")));
    QCOMPARE(fetch(path, owner.token).status, 200);
}

void NotionServerTest::imagesGetAPreviewThatFits_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("redOnTop"); // else red on the left

    const QString wide = imageFile(QStringLiteral("wide.png"), halves(2000, 1000), "PNG");
    const QString tall = imageFile(QStringLiteral("tall.jpg"), halves(1200, 3000), "JPEG");
    const QString small = imageFile(QStringLiteral("small.png"), halves(300, 200), "PNG");
    QTest::newRow("png") << "Assets/wide.png" << wide << QByteArray("image/png") << QSize(960, 480)
                         << false;
    QTest::newRow("upper-case .JPG")
        << "Assets/tall.JPG" << tall << QByteArray("image/jpeg") << QSize(384, 960) << false;
    QTest::newRow("small image, not enlarged")
        << "Assets/small.png" << small << QByteArray("image/png") << QSize(300, 200) << false;
    QTest::newRow("jpeg content named .png")
        << "Assets/really-a-jpeg.png" << tall << QByteArray("image/jpeg") << QSize(384, 960)
        << false;
    QTest::newRow("gif") << "Assets/anim.GIF"
                         << convertedWithFfmpeg(wide, QStringLiteral("wide.gif"))
                         << QByteArray("image/png") << QSize(960, 480) << false;
    QTest::newRow("webp") << "Assets/shot.webp"
                          << convertedWithFfmpeg(tall, QStringLiteral("tall.webp"))
                          << QByteArray("image/png") << QSize(384, 960) << false;

    // A phone's photograph stored sideways with EXIF orientation 6 (turn 90° clockwise): the
    // preview stands upright, its red left half now on top.
    QByteArray photo;
    {
        QBuffer buffer(&photo);
        buffer.open(QIODevice::WriteOnly);
        halves(1200, 600).save(&buffer, "JPEG");
    }
    const QByteArray tiff = QByteArray::fromHex("4d4d002a00000008" // big-endian, IFD at 8
                                                "0001" // one entry: Orientation, SHORT, 1, 6
                                                "011200030000000100060000"
                                                "00000000"); // no next IFD
    const QByteArray exif = QByteArray("Exif\0\0", 6) + tiff;
    const auto length = static_cast<int>(exif.size() + 2);
    const QByteArray app1 =
        QByteArray::fromHex("ffe1") + char(length >> 8) + char(length & 0xff) + exif;
    photo.insert(2, app1);
    QTest::newRow("jpeg turned by its exif orientation")
        << "Assets/IMG_0001.jpeg" << file(QStringLiteral("sideways.jpg"), photo)
        << QByteArray("image/jpeg") << QSize(480, 960) << true;
}

void NotionServerTest::imagesGetAPreviewThatFits()
{
    QFETCH(QString, path);
    QFETCH(QString, source);
    QFETCH(QByteArray, type);
    QFETCH(QSize, size);
    QFETCH(bool, redOnTop);
    QVERIFY(!source.isEmpty());
    const User user = newUser();
    const QString id = m_server.addNotionFile(user.id, QStringLiteral("b"), path, source);
    QVERIFY(!id.isEmpty());

    const Fetched preview =
        fetch(QStringLiteral("/api/notion-files/%1/preview").arg(id), user.token);
    QCOMPARE(preview.status, 200);
    QCOMPARE(preview.contentType, type);
    const QByteArray format = type == "image/png" ? "PNG" : "JPEG";
    QVERIFY(preview.body.startsWith(format == "PNG" ? "\x89PNG" : "\xff\xd8\xff"));
    const QImage image = QImage::fromData(preview.body, format.constData());
    QCOMPARE(image.size(), size);
    const QPoint red = redOnTop ? QPoint(image.width() / 2, 2) : QPoint(2, image.height() / 2);
    const QPoint blue = redOnTop ? QPoint(image.width() / 2, image.height() - 3)
                                 : QPoint(image.width() - 3, image.height() / 2);
    QVERIFY(isReddish(image.pixel(red)));
    QVERIFY(isBluish(image.pixel(blue)));
    // The original stays as it was.
    QCOMPARE(fetch(QStringLiteral("/api/notion-files/") + id, user.token).body.size(),
             QFileInfo(source).size());
}

void NotionServerTest::filesThatAreNoUsableImageHaveNoPreview_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("bytes");

    QByteArray jpeg;
    {
        QBuffer buffer(&jpeg);
        buffer.open(QIODevice::WriteOnly);
        halves(800, 600).save(&buffer, "JPEG");
    }
    QByteArray noise(4096, '\0');
    for (char &c : noise)
        c = static_cast<char>(QRandomGenerator::global()->bounded(256));
    // A valid header claiming 100000 × 100000 pixels: decoding it would take 40 GB.
    const QByteArray huge = QByteArray::fromHex(
        "89504e470d0a1a0a0000000d49484452000186a0000186a00806000000a8520bc8"
        "0000000b49444154789c6360800100000a00017f80745e0000000049454e44ae426082");

    QTest::newRow("pdf") << "Docs/report.pdf" << QByteArray("%PDF-1.4\n1 0 obj\n<<>>\nendobj\n");
    QTest::newRow("noise after a png signature")
        << "Assets/broken.png" << QByteArray("\x89PNG\r\n\x1a\n", 8) + noise;
    QTest::newRow("noise after a jpeg marker")
        << "Assets/broken.jpg" << QByteArray("\xff\xd8\xff\xe0", 4) + noise;
    QTest::newRow("jpeg cut in half") << "Assets/cut.JPG" << jpeg.left(jpeg.size() / 2);
    QTest::newRow("too many pixels") << "Assets/huge.png" << huge;
    QTest::newRow("empty") << "Assets/empty.png" << QByteArray();
}

void NotionServerTest::filesThatAreNoUsableImageHaveNoPreview()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, bytes);
    const User user = newUser();
    const QString id = m_server.addNotionFile(user.id, QStringLiteral("b"), path,
                                              file(QStringLiteral("f"), bytes));
    QVERIFY(!id.isEmpty());
    const Fetched preview =
        fetch(QStringLiteral("/api/notion-files/%1/preview").arg(id), user.token);
    QCOMPARE(preview.status, 404);
    QVERIFY(preview.json["error"].isString());
    // The file itself is still there, and the server goes on serving.
    QCOMPARE(fetch(QStringLiteral("/api/notion-files/") + id, user.token).body, bytes);
    QCOMPARE(fetch(QStringLiteral("/auth/me"), user.token).status, 200);
}

void NotionServerTest::previewsAskedForAtOnceAllArrive()
{
    const User user = newUser();
    const QString id =
        m_server.addNotionFile(user.id, QStringLiteral("b"), QStringLiteral("big.png"),
                               imageFile(QStringLiteral("big.png"), halves(2400, 1800), "PNG"));
    QVERIFY(!id.isEmpty());
    std::vector<HttpsReply> replies(8);
    std::vector<std::thread> threads;
    for (auto &reply : replies) {
        threads.emplace_back([&] {
            reply = HttpsClient(m_server).get("/api/notion-files/" + id.toStdString() + "/preview",
                                              user.token.toStdString());
        });
    }
    for (auto &thread : threads)
        thread.join();
    for (const auto &reply : replies) {
        QCOMPARE(reply.status, 200);
        QCOMPARE(QImage::fromData(QByteArray::fromStdString(reply.body)).size(), QSize(960, 720));
    }
}

void NotionServerTest::resourcesListTheFilesOfThePagesImportOnly()
{
    const User user = newUser();
    const User other = newUser();
    QVERIFY(saveWorkspace(user, R"([
        {"id":"imported","title":"Plan","importBatchId":"batch-1"},
        {"id":"sibling","title":"Other import","importBatchId":"batch-2"},
        {"id":"own","title":"Written here"},
        {"id":"odd","title":"Odd batch","importBatchId":7}])"));
    const QString diagram = m_server.addNotionFile(
        user.id, QStringLiteral("batch-1"), QStringLiteral("Assets/diagram.PNG"),
        imageFile(QStringLiteral("diagram.png"), halves(10, 10), "PNG"));
    const QString plan = m_server.addNotionFile(user.id, QStringLiteral("batch-1"),
                                                QStringLiteral("Projects/Plan 1a2b.md"),
                                                file(QStringLiteral("plan.md"), "# Plan"));
    const QString elsewhere = m_server.addNotionFile(user.id, QStringLiteral("batch-2"),
                                                     QStringLiteral("Assets/diagram.PNG"),
                                                     file(QStringLiteral("x.png"), "x"));
    QVERIFY(!diagram.isEmpty() && !plan.isEmpty() && !elsewhere.isEmpty());
    const QByteArray layout = R"({"b1":{"indent":0,"number":1},"b2":{"indent":2,"number":3}})";
    QVERIFY(m_server.setListLayout(user.id, QStringLiteral("imported"), layout));

    const auto resources = [&](const User &caller, const char *pageId) {
        return fetch(QStringLiteral("/api/notion-imports/resources?pageId=") +
                         QLatin1String(pageId),
                     caller.token);
    };
    const Fetched imported = resources(user, "imported");
    QCOMPARE(imported.status, 200);
    const JSON files = imported.json["files"];
    QCOMPARE(files.size(), std::size_t{2});
    QCOMPARE(str(files.at(0)["id"].stringValue()), diagram.toUtf8());
    QCOMPARE(str(files.at(1)["id"].stringValue()), plan.toUtf8());
    QCOMPARE(str(files.at(1)["name"].stringValue()), "Plan 1a2b.md");
    QCOMPARE(imported.json["listLayout"], JSON::decode(layout.toStdString()));

    // A later layout replaces the earlier one.
    QVERIFY(m_server.setListLayout(user.id, QStringLiteral("imported"), R"({"b9":{"number":4}})"));
    QCOMPARE(resources(user, "imported").json["listLayout"],
             JSON::decode(R"({"b9":{"number":4}})"));

    // Pages of no import, and pages the workspace does not have, list no files.
    const JSON empty = JSON::object({{"files", JSON::array()}, {"listLayout", JSON::object()}});
    for (const char *page : {"own", "odd", "missing"}) {
        const Fetched none = resources(user, page);
        QVERIFY2(none.status == 200, page);
        QCOMPARE(none.json, empty);
    }
    QCOMPARE(resources(user, "sibling").json["files"].size(), std::size_t{1});
    QCOMPARE(fetch(QStringLiteral("/api/notion-imports/resources"), user.token).status, 400);

    // Another account's page with the same id, from an import with the same batch id, shows
    // nothing of the first account's.
    QVERIFY(saveWorkspace(other, R"([{"id":"imported","importBatchId":"batch-1"}])"));
    QCOMPARE(resources(other, "imported").json, empty);
}

void NotionServerTest::commandLineRefusesBadInput()
{
    const User user = newUser();
    const QString good = file(QStringLiteral("good.txt"), "good");
    const QString id =
        m_server.addNotionFile(user.id, QStringLiteral("b"), QStringLiteral("Docs/good.txt"), good);
    QVERIFY(!id.isEmpty());
    QCOMPARE(QFileInfo(m_server.dataDir() + QStringLiteral("/notion-files/") + user.id +
                       QLatin1Char('/') + id)
                     .permissions() &
                 (QFile::ReadGroup | QFile::ReadOther),
             QFile::Permissions());

    const QStringList refused[] = {
        {"account", "add", "--email", "not-an-address"},
        {"account", "add", "--email", "ADMIN@example.com"}, // taken, in another case
        {"account", "add", "--email", "a@b.c", "--name", "line\nbreak"},
        {"account", "approve", "no-such-account"},
        {"token", "no-such-account"},
        {"account", "frobnicate", "x"},
        {"serve", "--port", "99999"},
        {"notion", "add-file", user.id, "b", "Docs/missing.txt", m_files.filePath("missing")},
        {"notion", "add-file", user.id, "b", "Docs/dir", m_files.path()},
        {"notion", "add-file", "no-such-account", "b", "Docs/x.txt", good},
        {"notion", "add-file", user.id, "b", "Docs/good.txt", good}, // the path is taken
        {"notion", "add-file", user.id, "", "Docs/x.txt", good},
        {"notion", "add-file", user.id, "b", "/etc/passwd", good},
        {"notion", "add-file", user.id, "b", "Docs/../../x", good},
        {"notion", "add-file", user.id, "b", "Docs//x", good},
        {"notion", "add-file", user.id, "b", "Docs/", good},
        {"notion", "add-file", user.id, "b", "Docs\\x", good},
        {"notion", "add-file", user.id, "b", "line\nbreak", good},
        {"notion", "add-file", user.id, "b", "x.bin", good, "--type", "no-slash"},
        {"notion", "add-file", user.id, "b", "x.bin"},
        {"notion", "set-layout", user.id, "p", "not json"},
        {"notion", "set-layout", user.id, "p", "[1,2]"},
        {"notion", "set-layout", user.id, "p", R"({"b":3})"},
        {"notion", "set-layout", user.id, "p", R"({"b":{"indent":"two"}})"},
        {"notion", "set-layout", "no-such-account", "p", "{}"},
        {"notion", "set-layout", user.id, "", "{}"},
        {"notion", "list-files", "no-such-account", "b"},
        {"notion", "frobnicate"},
        {"notion"},
    };
    for (const QStringList &args : refused) {
        const int code = cliExitCode(args);
        QVERIFY2(code == 1 || code == 2, qPrintable(args.join(QLatin1Char(' '))));
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
    QCOMPARE(QDir(m_server.dataDir() + QStringLiteral("/notion-files/") + user.id)
                 .entryList(QDir::Files | QDir::Hidden),
             QStringList{id});
    QCOMPARE(fetch(QStringLiteral("/api/notion-imports/resources?pageId=p"), user.token)
                 .json["listLayout"],
             JSON::object());
}

QTEST_GUILESS_MAIN(NotionServerTest)
#include "tst_notion_server.moc"
