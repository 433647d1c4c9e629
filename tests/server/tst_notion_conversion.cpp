// A Notion export, built here with libzip in the shape Notion writes it, turned into the pages
// of a new folder; hostile archives refused before anything comes out of them.
#include "server/imagepreview.h"
#include "server/notion/notionexport.h"
#include "server/notion/zipreader.h"
#include "server/util.h"
#include "support/servertesting.h"
#include "support/zipwriter.h"

#include <QBuffer>
#include <QDir>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>

#include <fstream>
#include <set>

using quorvale::JSON;
using namespace quorvale::server;
using namespace quorvale::test;

namespace {

// Ids as Notion ends its names with them.
const std::string tasksId = "22222222222222222222222222222222";
const std::string writeId = "33333333333333333333333333333333";
const std::string emptyRowId = "44444444444444444444444444444444";
const std::string notesId = "55555555555555555555555555555555";
const std::string goneId = "99999999999999999999999999999999";

// Text with {home}, {plan}, {tasks}, {row} and {gone} standing for those ids.
std::string withIds(std::string text)
{
    for (const auto &[key, id] : {std::pair{std::string("{home}"), homeId},
                                  {"{plan}", planId},
                                  {"{tasks}", tasksId},
                                  {"{row}", emptyRowId},
                                  {"{gone}", goneId}}) {
        for (auto at = text.find(key); at != std::string::npos; at = text.find(key))
            text.replace(at, key.size(), id);
    }
    return text;
}

std::string png()
{
    QImage image(40, 20, QImage::Format_RGB32);
    image.fill(Qt::red);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes.toStdString();
}

bool hasWarning(const JSON &warnings, std::string_view code, std::string_view key,
                std::string_view value)
{
    for (const JSON &warning : warnings.arrayValue()) {
        if (warning["code"].stringValue() == code && warning[key].stringValue() == value)
            return true;
    }
    return false;
}

} // namespace

class NotionConversionTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    // The export as pages.
    void theTreeIsRebuiltUnderANewFolder();
    void markdownKeepsEveryBlockKind();
    void linksPointAtPagesAndFilesOfTheImport();
    void databasesBecomeTablesWithTheirRowPages();
    void splitExportsAndWindowsNamesAreRead();

    // Hostile archives.
    void hostileArchivesAreRefusedBeforeAnythingIsRead_data();
    void hostileArchivesAreRefusedBeforeAnythingIsRead();
    void limitsCountEveryPartTogether();
    void anEntryLongerThanItSaysIsCutOff();

private:
    std::string path(const QString &name) const { return m_dir.filePath(name).toStdString(); }
    std::filesystem::path scratch() const { return path("scratch"); }
    // The export every conversion test reads: home page, subpage, database, picture.
    std::string writeExport(bool split = false);
    NotionConversion convert(const std::string &archive)
    {
        ZipReader reader(archive, scratch());
        return convertNotionExport(reader, "Export My Team.zip");
    }

    std::unique_ptr<QTemporaryDir> m_tmp;
    QDir m_dir;
};

void NotionConversionTest::initTestCase()
{
    m_tmp = std::make_unique<QTemporaryDir>();
    QVERIFY(m_tmp->isValid());
    m_dir = QDir(m_tmp->path());
}

void NotionConversionTest::init()
{
    std::filesystem::remove_all(scratch());
}

std::string NotionConversionTest::writeExport(bool split)
{
    const std::string home = "Home " + homeId;
    const std::string plan = home + "/Plan " + planId;
    const std::string tasks = home + "/Tasks " + tasksId;
    const std::string homePage =
        withIds("# Home\n\n"
                "Welcome, see [the plan](Home%20{home}/Plan%20{plan}.md) and [a lost page]"
                "(Gone%20{gone}.md).\n\n[Plan](Home%20{home}/Plan%20{plan}.md)\n\n"
                "[Tasks](Home%20{home}/Tasks%20{tasks}.csv)\n");
    const std::string planPage =
        withIds("# Plan\n\n![Diagram](Plan%20{plan}/diagram.png)\n\n"
                "[budget.pdf](Plan%20{plan}/budget.pdf)\n\n"
                "Back [home](../Home%20{home}.md), the [photo](Plan%20{plan}/missing.jpg) and "
                "[the site](https://example.com/a?b=1).\n\n"
                "See [the empty row](Tasks%20{tasks}/Nothing%20{row}.md).\n");
    const std::string csv = withIds("\xEF\xBB\xBFName,Status,Related\r\n"
                                    "Write,Done,\"Plan (../Plan%20{plan}.md)\"\r\n"
                                    "Nothing,\"Not started, yet\",\r\n");

    ZipWriter attachedZip(path("attached.zip"));
    attachedZip.add("Inside " + goneId + ".md", "# Inside\n");
    const std::string attached = attachedZip.close();
    auto fill = [&](ZipWriter &zip, int part) {
        if (part != 2) {
            zip.add(home + ".md", homePage);
            zip.add(plan + ".md", planPage);
            zip.add(plan + "/diagram.png", png());
            zip.add(plan + "/budget.pdf", "%PDF-1.4 tiny");
            // A ZIP the user attached to a page is a file like any other.
            zip.add(plan + "/attached.zip", attached);
            zip.add(home + "/loose.txt", "a file no page shows");
        }
        if (part != 1) {
            zip.add(tasks + ".csv", "Name,Status\r\nWrite,Done\r\n"); // the view: one row
            zip.add(tasks + "_all.csv", csv);
            zip.add(tasks + "/Write " + writeId + ".md",
                    "# Write\n\nStatus: Done\nRelated: Plan\n\nThe row has a body.\n");
            zip.add(tasks + "/Nothing " + emptyRowId + ".md",
                    "# Nothing\n\nStatus: Not started, yet\n");
        }
    };
    const std::string archive = path(split ? "split.zip" : "export.zip");
    ZipWriter outer(archive);
    if (!split) {
        fill(outer, 0);
    } else {
        // Notion's large exports: one ZIP per part inside the ZIP, the second nested once more.
        ZipWriter one(path("part1.zip"));
        fill(one, 1);
        ZipWriter two(path("part2.zip"));
        fill(two, 2);
        ZipWriter wrapper(path("wrapper.zip"));
        wrapper.add("Export-Part-2.zip", two.close());
        outer.add("Export-Part-1.zip", one.close());
        outer.add("Export-Part-2-wrapped.ZIP", wrapper.close());
        // A name from a Windows export, in CP437 without the UTF-8 flag: "Über.md".
        outer.add(std::string("\x9A") + "ber " + notesId + ".md",
                  "# \xC3\x9C"
                  "ber\n\nNotes.\n",
                  ZIP_FL_ENC_CP437);
    }
    outer.close();
    return archive;
}

void NotionConversionTest::theTreeIsRebuiltUnderANewFolder()
{
    const NotionConversion conversion = convert(writeExport());
    const JSON &pages = conversion.pages;

    // The new folder comes first, named by the archive, and holds the export's top page.
    const JSON &root = pages.at(0);
    QCOMPARE(str(root["title"].stringValue()), "Export My Team");
    QVERIFY(root["parentId"].isNull());
    QVERIFY(!root.contains("notionSource"));
    const JSON *home = pageTitled(pages, "Home");
    const JSON *plan = pageTitled(pages, "Plan");
    const JSON *tasks = pageTitled(pages, "Tasks");
    const JSON *write = pageTitled(pages, "Write");
    QVERIFY(home && plan && tasks && write);
    QCOMPARE((*home)["parentId"], JSON(root.id()));
    QCOMPARE((*plan)["parentId"], JSON(home->id()));
    QCOMPARE((*tasks)["parentId"], JSON(home->id()));
    QCOMPARE((*write)["parentId"], JSON(tasks->id()));
    QCOMPARE(str((*plan)["notionSource"].stringValue()), str("notion:" + planId));
    // A row that only repeats its cells is not a page of its own.
    QVERIFY(!pageTitled(pages, "Nothing"));
    QCOMPARE(pages.size(), std::size_t{5});

    // Every page as the client builds one, parents before children.
    std::set<std::string_view> seen;
    for (const JSON &page : pages.arrayValue()) {
        QVERIFY(page["blocks"].isArray() && page["cards"].isArray());
        QVERIFY(page["parentId"].isNull() || seen.contains(page["parentId"].stringValue()));
        seen.insert(page.id());
    }
    const JSON &pageLink = root["blocks"].at(0);
    QCOMPARE(str(pageLink["type"].stringValue()), "pageLink");
    QCOMPARE(pageLink["targetPageId"], JSON(home->id()));

    // The preview: one item per page, with its place in the export, and the counts.
    const JSON preview = conversion.preview();
    QCOMPARE(preview["items"].size(), pages.size());
    QCOMPARE(preview["items"].at(1)["id"], JSON(home->id()));
    QCOMPARE(str(preview["items"].at(1)["path"].stringValue()), str("Home " + homeId + ".md"));
    for (const auto &[counted, count] :
         {std::pair{"pages", 5}, {"tables", 1}, {"files", 4}, {"images", 1}, {"audio", 0}})
        QVERIFY2(preview["summary"][counted].integerValue() == count, counted);
    QVERIFY(preview["canImport"].boolValue());

    // Committed: renamed, stamped, and every attachment given its stored file.
    ImportStamp stamp{"  Team wiki ", "batch-1", "2026-03-01T09:30:00Z", {}};
    for (const ImportedFile &file : conversion.files)
        stamp.assetIds[file.path] = "asset:" + file.path;
    const JSON committed = importedPages(conversion, stamp);
    QCOMPARE(str(committed.at(0)["title"].stringValue()), "Team wiki");
    int attachments = 0;
    for (const JSON &page : committed.arrayValue()) {
        QCOMPARE(str(page["importBatchId"].stringValue()), "batch-1");
        QCOMPARE(str(page["createdAt"].stringValue()), "2026-03-01T09:30:00Z");
        for (const JSON &block : page["blocks"].arrayValue()) {
            if (block["type"].stringValue() != "attachment")
                continue;
            ++attachments;
            QVERIFY2(block["assetId"].stringValue().starts_with("asset:"), block.encode().c_str());
        }
    }
    // The picture, the PDF, and the files no page showed, kept on the page of their folder: the
    // attached ZIP among them, unopened.
    QCOMPARE(attachments, 4);
    QVERIFY(!pageTitled(committed, "Inside"));
    const JSON &planBlocks = (*plan)["blocks"];
    QCOMPARE(str(planBlocks.at(planBlocks.size() - 1)["text"].stringValue()), "attached.zip");
    const JSON &last = home->operator[]("blocks").at(home->operator[]("blocks").size() - 1);
    QCOMPARE(str(last["text"].stringValue()), "loose.txt");
}

void NotionConversionTest::markdownKeepsEveryBlockKind()
{
    const std::string page =
        "# Kinds\n\n"
        "## Second\n\n### Third\n\n#### Fourth\n\n"
        "Some *soft* **strong** `a*b` text_with_underscores and [x]\n\n"
        "- one\n  - one.a\n    - one.a.i\n- two\n\n"
        "3. three\n4. four\n   1. four.one\n\n"
        "- [x] done\n- [ ] open\n\n"
        "> quoted\n\n"
        "<aside>\n\xF0\x9F\x92\xA1 Remember this\n\n</aside>\n\n"
        "```cpp\nint main() { return *p; } // # not a heading\n\n- not a list\n```\n\n"
        "---\n\n"
        "| A | B |\n|---|---|\n| 1 | **2** |\n| 3 | 4 |\n\n"
        "<details>html we cannot show</details>\n";
    const std::string archive = path("kinds.zip");
    ZipWriter zip(archive);
    zip.add("Kinds " + homeId + ".md", page);
    zip.close();
    const NotionConversion conversion = convert(archive);
    const JSON &kinds = conversion.pages.at(1);
    QCOMPARE(str(kinds["title"].stringValue()), "Kinds");
    const JSON &blocks = kinds["blocks"];
    const JSON &layout = conversion.listLayouts[kinds.id()];

    struct Expected
    {
        const char *type;
        const char *text;
        int indent = -1; // -1: not a list row
        int number = 0;
    };
    const std::vector<Expected> expected = {
        {"h2", "Second"},
        {"h3", "Third"},
        {"h3", "Fourth"},
        {"text", "Some *soft* **strong** `a*b` text\\_with\\_underscores and \\[x\\]"},
        {"bullet", "one", 0},
        {"bullet", "one.a", 1},
        {"bullet", "one.a.i", 2},
        {"bullet", "two", 0},
        {"number", "three", 0, 3},
        {"number", "four", 0, 4},
        {"number", "four.one", 1, 1},
        {"todo", "done", 0},
        {"todo", "open", 0},
        {"quote", "quoted"},
        {"callout", "Remember this"},
        {"code", "int main() { return *p; } // # not a heading\n\n- not a list"},
        {"divider", ""},
        {"table", R"({"headers":["A","B"],"rows":[["1","2"],["3","4"]]})"},
        {"text", "<details>html we cannot show</details>"},
    };
    QCOMPARE(blocks.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const JSON &block = blocks.at(i);
        const Expected &want = expected[i];
        QCOMPARE(str(block["type"].stringValue()), want.type);
        QCOMPARE(str(block["text"].stringValue()), want.text);
        const JSON &row = layout[block.id()];
        QCOMPARE(row["indent"].integerValue(-1), want.indent);
        QCOMPARE(row["number"].integerValue(0), want.number);
    }
    QVERIFY(blocks.at(11)["checked"].boolValue());
    QVERIFY(!blocks.at(12)["checked"].boolValue());
    QVERIFY(hasWarning(conversion.warnings, "unsupportedBlock", "text",
                       "<details>html we cannot show</details>"));
}

void NotionConversionTest::linksPointAtPagesAndFilesOfTheImport()
{
    const NotionConversion conversion = convert(writeExport());
    const JSON &pages = conversion.pages;
    const JSON &home = *pageTitled(pages, "Home");
    const JSON &plan = *pageTitled(pages, "Plan");
    const JSON &tasks = *pageTitled(pages, "Tasks");

    // Text links keep the Notion id the page view resolves through "notionSource".
    const std::string_view welcome = home["blocks"].at(0)["text"].stringValue();
    QVERIFY2(welcome.find("](Home%20" + homeId + "/Plan%20" + planId + ".md)") !=
                 std::string_view::npos,
             welcome.data());
    // A paragraph that is one link to a page is a link block to the new page.
    const JSON &toPlan = home["blocks"].at(1);
    QCOMPARE(str(toPlan["type"].stringValue()), "pageLink");
    QCOMPARE(str(toPlan["text"].stringValue()), "Plan");
    QCOMPARE(toPlan["targetPageId"], JSON(plan.id()));
    QCOMPARE(str(toPlan["notionLinkDestination"].stringValue()),
             str("Home " + homeId + "/Plan " + planId + ".md"));
    QCOMPARE(home["blocks"].at(2)["targetPageId"], JSON(tasks.id()));

    // A picture and a file alone in their paragraph are attachments.
    const JSON &picture = plan["blocks"].at(0);
    QCOMPARE(str(picture["type"].stringValue()), "attachment");
    QCOMPARE(str(picture["text"].stringValue()), "diagram.png");
    QCOMPARE(str(plan["blocks"].at(1)["text"].stringValue()), "budget.pdf");
    const auto image = std::find_if(conversion.files.begin(), conversion.files.end(),
                                    [](const ImportedFile &f) { return f.path.ends_with(".png"); });
    QVERIFY(image != conversion.files.end() && image->image);
    QCOMPARE(image->contentType, std::string("image/png"));
    QCOMPARE(image->uses.at(0).blockId, std::string(picture.id()));
    // The picture previews from the archive's own bytes.
    ZipReader reader(path("export.zip"), scratch());
    QVERIFY(makeImagePreview(reader.readAll(*reader.find(image->path), 1 << 20), 16).has_value());

    // Relative links are followed from the page's folder; external ones stay as written; a link
    // to a row that has no page leads to its table.
    const std::string_view back = plan["blocks"].at(2)["text"].stringValue();
    QVERIFY2(back.find("[home](../Home%20" + homeId + ".md)") != std::string_view::npos,
             back.data());
    QVERIFY(back.find("[the site](https://example.com/a?b=1)") != std::string_view::npos);
    const std::string_view toRow = plan["blocks"].at(3)["text"].stringValue();
    QVERIFY2(toRow.find("(Home%20" + homeId + "/Tasks%20" + tasksId + "_all.csv)") !=
                 std::string_view::npos,
             toRow.data());

    // What cannot be kept is said, by page.
    QVERIFY(hasWarning(conversion.warnings, "unresolvedLink", "target", "Gone " + goneId + ".md"));
    QVERIFY(hasWarning(conversion.warnings, "missingFile", "target",
                       "Plan " + planId + "/missing.jpg"));
    QVERIFY(hasWarning(conversion.warnings, "missingFile", "page", "Plan"));
    QCOMPARE(conversion.summary["links"].integerValue(), 5);
}

void NotionConversionTest::databasesBecomeTablesWithTheirRowPages()
{
    const NotionConversion conversion = convert(writeExport());
    const JSON &tasks = *pageTitled(conversion.pages, "Tasks");
    QCOMPARE(str(tasks["notionSource"].stringValue()), str("notion:" + tasksId));
    // The "_all" twin, with every row; a relation keeps its titles.
    const JSON &table = tasks["blocks"].at(0);
    QCOMPARE(str(table["type"].stringValue()), "table");
    const JSON expected = JSON::decode(R"({"headers":["Name","Status","Related"],
        "rows":[["Write","Done","Plan"],["Nothing","Not started, yet",""]]})");
    QCOMPARE(JSON::decode(table["text"].stringValue()), expected);
    // The row with a body is a subpage, linked under the table.
    const JSON &write = *pageTitled(conversion.pages, "Write");
    QCOMPARE(tasks["blocks"].at(1)["targetPageId"], JSON(write.id()));
    QCOMPARE(str(write["blocks"].at(1)["text"].stringValue()), "The row has a body.");

    QVERIFY(hasWarning(conversion.warnings, "relation", "column", "Related"));
    QVERIFY(hasWarning(conversion.warnings, "databaseView", "page", "Tasks"));
}

void NotionConversionTest::splitExportsAndWindowsNamesAreRead()
{
    const NotionConversion whole = convert(writeExport(false));
    const NotionConversion split = convert(writeExport(true));
    // The same pages from the parts, plus the page with the Windows name.
    for (const JSON &page : whole.pages.arrayValue()) {
        if (page.id() != whole.rootId)
            QVERIFY2(pageTitled(split.pages, page["title"].stringValue()), page.encode().c_str());
    }
    const JSON *notes = pageTitled(split.pages, "\xC3\x9C"
                                                "ber");
    QVERIFY(notes);
    QCOMPARE(str((*notes)["notionSource"].stringValue()), str("notion:" + notesId));
    bool listed = false;
    for (const JSON &item : split.items.arrayValue())
        listed = listed || item["path"].stringValue() == "\xC3\x9C"
                                                         "ber " +
                                                             notesId + ".md";
    QVERIFY(listed);
    // The unpacked parts go with the reader.
    QVERIFY(!std::filesystem::exists(scratch()));
}

void NotionConversionTest::hostileArchivesAreRefusedBeforeAnythingIsRead_data()
{
    QTest::addColumn<QString>("archive");
    QTest::addColumn<QString>("error");

    const std::string page = "# P\n\ntext\n";
    const std::string zeros(std::size_t{8} << 20, '\0');
    auto write = [&](const char *name, const std::function<void(ZipWriter &)> &fill) {
        ZipWriter zip(path(name));
        fill(zip);
        zip.close();
        return QString::fromStdString(path(name));
    };
    auto one = [&](const char *name, const std::string &entry, const std::string &bytes) {
        return write(name, [&](ZipWriter &z) { z.add(entry, bytes); });
    };
    QTest::newRow("parent folder") << write("dots.zip", [&](ZipWriter &z) {
        z.add("P " + homeId + ".md", page);
        z.add("a/../../evil.md", page);
    }) << "\"a/../../evil.md\" points outside the archive";
    QTest::newRow("absolute path")
        << one("absolute.zip", "/etc/evil.md", page) << "\"/etc/evil.md\" has an absolute path";
    QTest::newRow("backslashes") << one("windows.zip", "..\\evil.md", page)
                                 << "\"../evil.md\" points outside the archive";
    QTest::newRow("symbolic link")
        << write("link.zip", [&](ZipWriter &z) { z.symlink("P.md", "/etc/passwd"); })
        << "\"P.md\" is a symbolic link";
    QTest::newRow("bomb entry") << one("bomb.zip", "zeros.md", zeros)
                                << "\"zeros.md\" is compressed more than 200 to 1";
    // Each entry under the floor, the archive as a whole far over the ratio.
    QTest::newRow("bomb archive") << write("bombs.zip", [&](ZipWriter &z) {
        for (int i = 0; i < 8; ++i)
            z.add("zeros" + std::to_string(i) + ".md", std::string(1000 * 1000, ' '));
    }) << "it is compressed more than 200 to 1";
    QTest::newRow("bomb inside a part")
        << one("nested-bomb.zip", "part.zip",
               readAll(one("inner.zip", "zeros.md", zeros)).toStdString())
        << "\"zeros.md\" in part.zip is compressed more than 200 to 1";
    QTest::newRow("nested four deep") << [&] {
        std::string bytes;
        for (int level = 4; level >= 1; --level) {
            ZipWriter zip(path("level" + QString::number(level) + ".zip"));
            zip.add("P " + homeId + ".md", page);
            if (!bytes.empty())
                zip.add("deeper.zip", bytes);
            bytes = zip.close();
        }
        return write("deep.zip", [&](ZipWriter &z) { z.add("deeper.zip", bytes); });
    }() << "\"deeper.zip\" in deeper.zip nests ZIPs more than 3 deep";
    QTest::newRow("name claims UTF-8") << [&] {
        // libzip will not write a bad name; the bytes are changed after it.
        ZipWriter zip(path("utf8.zip"));
        zip.add("\xC3\xA9XX.md", page);
        std::string bytes = zip.close();
        for (auto at = bytes.find("\xC3\xA9XX"); at != std::string::npos;
             at = bytes.find("\xC3\xA9XX"))
            bytes[at + 1] = '(';
        std::ofstream(path("utf8.zip"), std::ios::binary) << bytes;
        return QString::fromStdString(path("utf8.zip"));
    }() << "the name of an entry is not UTF-8";
    QTest::newRow("not a ZIP") << [&] {
        std::ofstream(path("text.zip")) << "# Just Markdown\n";
        return QString::fromStdString(path("text.zip"));
    }() << "it is not a readable ZIP";
    QTest::newRow("no pages") << one("nopages.zip", "photo.png", png())
                              << "the archive holds no Notion page";
}

void NotionConversionTest::hostileArchivesAreRefusedBeforeAnythingIsRead()
{
    QFETCH(QString, archive);
    QFETCH(QString, error);
    try {
        ZipReader reader(archive.toStdString(), scratch());
        convertNotionExport(reader, "x.zip");
        QFAIL("the archive was read");
    } catch (const Refusal &refusal) {
        QCOMPARE(refusal.status(), 400);
        QVERIFY2(QString::fromUtf8(refusal.what()).contains(error), refusal.what());
    }
    // Nothing unpacked stays behind.
    QVERIFY(!std::filesystem::exists(scratch()));
}

void NotionConversionTest::limitsCountEveryPartTogether()
{
    // The split export holds 13 entries and no archive of it more than 5: the limits add up.
    const std::string split = writeExport(true);
    auto refusal = [&](ZipLimits limits) -> QString {
        try {
            ZipReader reader(split, scratch(), limits);
            return {};
        } catch (const Refusal &refused) {
            return QString::fromUtf8(refused.what());
        }
    };
    QVERIFY(refusal({}).isEmpty());
    ZipLimits entries;
    entries.maxEntries = 10;
    QVERIFY2(refusal(entries).contains("more than 10 entries"), qPrintable(refusal(entries)));
    ZipLimits bytes;
    bytes.maxBytes = 2000;
    QVERIFY2(refusal(bytes).contains("unpacks to more than"), qPrintable(refusal(bytes)));
    QVERIFY(!std::filesystem::exists(scratch()));
}

void NotionConversionTest::anEntryLongerThanItSaysIsCutOff()
{
    // The declared size is what the limits judge; an archive that lies about it is refused
    // while it is read, before more than the declared bytes come out.
    ZipWriter zip(path("liar.zip"));
    zip.add("P " + homeId + ".md", std::string(100000, 'a') + "\n");
    std::string bytes = zip.close();
    const auto patch = [&](std::size_t at) {
        bytes[at] = 10;
        bytes[at + 1] = bytes[at + 2] = bytes[at + 3] = 0;
    };
    patch(22); // the local header's uncompressed size
    patch(bytes.rfind("PK\x01\x02") + 24);
    std::ofstream(path("liar.zip"), std::ios::binary) << bytes;

    ZipReader reader(path("liar.zip"), scratch());
    QCOMPARE(reader.entries().at(0).size, std::uint64_t{10});
    std::size_t delivered = 0;
    try {
        reader.read(reader.entries().at(0),
                    [&](std::string_view chunk) { delivered += chunk.size(); });
        QFAIL("the whole entry came out");
    } catch (const Refusal &refused) {
        QVERIFY2(QString::fromUtf8(refused.what()).contains("longer than the archive says"),
                 refused.what());
    }
    QVERIFY(delivered <= 10);
}

QTEST_GUILESS_MAIN(NotionConversionTest)
#include "tst_notion_conversion.moc"
