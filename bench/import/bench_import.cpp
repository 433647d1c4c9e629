// A Notion export of 1,000 pages, a few databases and 200 pictures (about 50 MB), written here
// in the shape Notion gives it, previewed and committed by the reference server over loopback
// TLS; in the same run the floor: `unzip -p` of every entry piped through md4c's parser alone
// (median of the runs of each). The server's peak RSS (VmHWM) is read once it has previewed and
// committed: entries are streamed, so it must not grow with the archive.
//   bench_import [runs] [megabytes]

#include "common/benchresults.h"
#include "support/httpsclient.h"
#include "support/referenceserver.h"
#include "support/zipwriter.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace quorvale;

namespace {

constexpr int pageCount = 1000;
constexpr int pictureCount = 200;
constexpr int databaseCount = 5;
constexpr int rowsPerDatabase = 20;
// Top-level pages; page i below them has page (i - roots) / roots as its parent.
constexpr int roots = 10;

double median(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

// The 32 hexadecimal digits Notion ends a name with, the same for the same key on every run.
std::string notionId(const std::string &key)
{
    return QCryptographicHash::hash(QByteArray::fromStdString(key), QCryptographicHash::Md5)
        .toHex()
        .toStdString();
}

int parentOf(int page)
{
    return page < roots ? -1 : (page - roots) / roots;
}

std::string nameOf(int page)
{
    return "Page " + std::to_string(page) + " " + notionId("page" + std::to_string(page));
}

// The folder that holds the page's children and files; its Markdown is this plus ".md".
std::string folderOf(int page)
{
    const int parent = parentOf(page);
    return (parent < 0 ? std::string() : folderOf(parent) + "/") + nameOf(page);
}

std::string databaseFolder(int database)
{
    return folderOf(database) + "/Tasks " + std::to_string(database) + " " +
           notionId("database" + std::to_string(database));
}

std::string rowName(int database, int row)
{
    return "Row " + std::to_string(row) + " " +
           notionId("row" + std::to_string(database) + "/" + std::to_string(row));
}

std::string encoded(const std::string &path)
{
    return QByteArray::fromStdString(path).toPercentEncoding("/").toStdString();
}

// The path to target as a page in folder links to it: relative and percent-encoded.
std::string linkTo(const std::string &folder, const std::string &target)
{
    const auto split = [](const std::string &path) {
        std::vector<std::string> parts;
        for (std::size_t at = 0; at < path.size();) {
            const auto slash = std::min(path.find('/', at), path.size());
            parts.push_back(path.substr(at, slash - at));
            at = slash + 1;
        }
        return parts;
    };
    const auto from = split(folder);
    const auto to = split(target);
    std::size_t common = 0;
    while (common < from.size() && common + 1 < to.size() && from[common] == to[common])
        ++common;
    std::string link;
    for (std::size_t i = common; i < from.size(); ++i)
        link += "../";
    for (std::size_t i = common; i < to.size(); ++i)
        link += (i == common ? "" : "/") + to[i];
    return encoded(link);
}

std::string pictureOf(int page)
{
    return folderOf(page) + "/picture-" + std::to_string(page) + (page % 2 ? ".jpg" : ".png");
}

// Noise, which neither PNG nor the ZIP can shrink: the pictures make most of the archive.
std::string picture(int page, double scale)
{
    QRandomGenerator random(static_cast<quint32>(page) + 1);
    QImage image(static_cast<int>(336 * scale), static_cast<int>(312 * scale),
                 QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<quint32 *>(image.scanLine(y));
        random.fillRange(line, image.width());
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, page % 2 ? "JPEG" : "PNG", page % 2 ? 98 : -1);
    return bytes.toStdString();
}

// Every block kind the conversion knows, and links to the parent, a child, another page far
// away in the tree, a database and the page's picture.
std::string pageMarkdown(int page)
{
    const std::string here = page < roots ? std::string() : folderOf(parentOf(page));
    const std::string n = std::to_string(page);
    std::string md = "# Page " + n + "\n\n";
    md += "Opening paragraph of page " + n +
          " with **bold**, *italic*, ~~struck~~ and `inline code`, written to be long enough to "
          "wrap in the editor the way real notes do.\n\n";
    if (parentOf(page) >= 0)
        md += "Up to [the parent](" + linkTo(here, folderOf(parentOf(page)) + ".md") + ").\n\n";
    const int child = page * roots + roots;
    if (child < pageCount)
        md += "Down to [a child](" + linkTo(here, folderOf(child) + ".md") + ").\n\n";
    const int far = (page * 7 + 3) % pageCount;
    md += "Across to [page " + std::to_string(far) + "](" + linkTo(here, folderOf(far) + ".md") +
          ") and to [the tasks](" + linkTo(here, databaseFolder(page % databaseCount) + ".csv") +
          "), and out to [the web](https://example.com/page/" + n + ").\n\n";
    md += "## Agenda\n\n"
          "- First point\n"
          "    - A detail\n"
          "        - A detail of the detail\n"
          "- Second point\n\n"
          "1. Open\n"
          "2. Discuss\n"
          "    1. Budget\n"
          "    2. People\n"
          "3. Close\n\n"
          "### To do\n\n"
          "- [ ] Call the supplier\n"
          "- [x] Send the minutes\n\n"
          "> Quoted from the last meeting, which ran long.\n\n"
          "<aside>\n\xF0\x9F\x92\xA1 Remember to book the room.\n</aside>\n\n"
          "```cpp\nint main()\n{\n    return 0; // kept as it is\n}\n```\n\n"
          "---\n\n"
          "| Item | Owner | Due |\n"
          "| --- | --- | --- |\n"
          "| Report | Ana | Monday |\n"
          "| Slides | Ben | Friday |\n\n";
    if (page < pictureCount)
        md += "![Picture " + n + "](" + linkTo(here, pictureOf(page)) + ")\n\n";
    for (int i = 0; i < 6; ++i)
        md += "Paragraph " + std::to_string(i) +
              " of the body: the kind of running text a page of notes is mostly made of, with "
              "a sentence or two more than strictly needed.\n\n";
    return md;
}

// Each database as Notion writes it: the view's CSV, the "_all" twin with every row, and a
// page per row, half of them with a body of their own.
void addDatabase(test::ZipWriter &zip, int database)
{
    const std::string folder = databaseFolder(database);
    const std::string header = "\xEF\xBB\xBFName,Status,Related\r\n";
    std::string view = header;
    std::string all = header;
    for (int row = 0; row < rowsPerDatabase; ++row) {
        const std::string name = "Row " + std::to_string(row);
        const std::string status = row % 3 ? "Done" : "\"Not started, yet\"";
        const std::string line = name + "," + status + ",\"Page " + std::to_string(database) +
                                 " (../" + encoded(nameOf(database)) + ".md)\"\r\n";
        all += line;
        if (row % 2 == 0)
            view += line;
        std::string md = "# " + name + "\n\nStatus: " + (row % 3 ? "Done" : "Not started, yet") +
                         "\nRelated: Page " + std::to_string(database) + "\n\n";
        if (row % 2 == 0)
            md += "The row has a body.\n\n- with\n- a list\n";
        zip.add(folder + "/" + rowName(database, row) + ".md", md);
    }
    zip.add(folder + ".csv", view);
    zip.add(folder + "_all.csv", all);
}

// Pictures of scale 1 make an archive of about 50 MB.
bool writeExport(const std::string &file, double scale)
{
    test::ZipWriter zip(file);
    for (int page = 0; page < pageCount; ++page) {
        if (zip.add(folderOf(page) + ".md", pageMarkdown(page)) < 0)
            return false;
        if (page < pictureCount && zip.add(pictureOf(page), picture(page, scale)) < 0)
            return false;
    }
    for (int database = 0; database < databaseCount; ++database)
        addDatabase(zip, database);
    return !zip.close().empty();
}

// The floor: one `unzip -p` of the whole archive into md4c's parser; -1 when it failed.
double floorSeconds(const QString &archive)
{
    QProcess shell;
    shell.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer clock;
    clock.start();
    shell.start(QStringLiteral("bash"),
                {QStringLiteral("-c"), QStringLiteral("set -o pipefail; unzip -p \"$0\" | \"$1\""),
                 archive, QStringLiteral(QUORVALE_MD4C_PARSE)});
    if (!shell.waitForFinished(600'000) || shell.exitStatus() != QProcess::NormalExit ||
        shell.exitCode() != 0) {
        std::fprintf(stderr, "unzip -p | md4c failed\n");
        return -1;
    }
    return static_cast<double>(clock.nsecsElapsed()) / 1e9;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const double megabytes = argc > 2 ? std::max(1.0, std::atof(argv[2])) : 50;

    QTemporaryDir work;
    if (!work.isValid())
        return 1;
    const QString archive = work.filePath(QStringLiteral("Notion Export.zip"));
    if (!writeExport(archive.toStdString(), std::sqrt(megabytes / 50))) {
        std::fprintf(stderr, "cannot write the export\n");
        return 1;
    }
    const QByteArray bytes = test::readAll(archive);
    std::printf("export: %.1f MB\n", static_cast<double>(bytes.size()) / 1e6);

    test::ReferenceServer server(work.filePath(QStringLiteral("server")));
    if (!server.start())
        return 1;
    const QString account = server.addAccount(QStringLiteral("bench@example.test"));
    if (account.isEmpty() || !server.setStatus(account, QStringLiteral("approved")))
        return 1;
    const std::string token = server.token(account).toStdString();
    test::HttpsClient client(server);
    const long long startedKb =
        quorvale::bench::peakResidentKb("/proc/" + std::to_string(server.processId()) + "/status");

    JSON preview;
    const auto byServer = [&]() -> double {
        QElapsedTimer clock;
        clock.start();
        const test::HttpsReply reply =
            client.send("POST", "/api/notion-imports/preview?name=Notion%20Export.zip", token,
                        bytes.toStdString(), "application/zip");
        const double seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
        if (reply.status != 200) {
            std::fprintf(stderr, "preview: %d %s%s\n", reply.status, reply.error.c_str(),
                         reply.body.substr(0, 300).c_str());
            return -1;
        }
        // Only the last preview is committed; the others are discarded.
        if (preview.isObject())
            client.send("DELETE", "/api/notion-imports/" + std::string(preview["id"].stringValue()),
                        token);
        preview = reply.json();
        return seconds;
    };

    std::vector<double> previews;
    std::vector<double> floors;
    for (int i = 0; i < runs; ++i) {
        // Taking turns at going first, so that neither always meets the other's aftermath.
        if (i % 2 == 0) {
            previews.push_back(byServer());
            floors.push_back(floorSeconds(archive));
        } else {
            floors.push_back(floorSeconds(archive));
            previews.push_back(byServer());
        }
        if (previews.back() < 0 || floors.back() < 0)
            return 1;
        std::printf("run %d: preview %.3f s, floor %.3f s\n", i + 1, previews.back(),
                    floors.back());
        std::fflush(stdout);
    }
    const JSON &summary = preview["summary"];
    std::printf("preview: %lld pages, %lld tables, %lld files, %lld images, %lld links, %lld "
                "warnings\n",
                static_cast<long long>(summary["pages"].integerValue()),
                static_cast<long long>(summary["tables"].integerValue()),
                static_cast<long long>(summary["files"].integerValue()),
                static_cast<long long>(summary["images"].integerValue()),
                static_cast<long long>(summary["links"].integerValue()),
                static_cast<long long>(summary["warnings"].integerValue()));

    const long long previewedKb =
        quorvale::bench::peakResidentKb("/proc/" + std::to_string(server.processId()) + "/status");
    QElapsedTimer clock;
    clock.start();
    const test::HttpsReply committed =
        client.post("/api/notion-imports/" + std::string(preview["id"].stringValue()) + "/commit",
                    token, JSON::object({{"revision", preview["revision"]}, {"title", "Bench"}}));
    const double commitS = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    if (committed.status != 200) {
        std::fprintf(stderr, "commit: %d %s%s\n", committed.status, committed.error.c_str(),
                     committed.body.substr(0, 300).c_str());
        return 1;
    }
    const long long peak =
        quorvale::bench::peakResidentKb("/proc/" + std::to_string(server.processId()) + "/status");
    if (peak < 0)
        return 1;
    std::printf("server peak RSS: %.1f MB started, %.1f MB previewed, %.1f MB committed\n",
                static_cast<double>(startedKb) / 1024.0, static_cast<double>(previewedKb) / 1024.0,
                static_cast<double>(peak) / 1024.0);

    const double previewS = median(previews);
    const double floorS = median(floors);
    std::printf("RESULT preview_s=%.3f floor_s=%.3f ratio=%.2f server_peak_rss_mb=%.1f "
                "commit_s=%.3f\n",
                previewS, floorS, previewS / floorS, static_cast<double>(peak) / 1024.0, commitS);
    return 0;
}
