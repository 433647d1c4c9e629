#include "pageview/links.h"

#include <QTest>

using namespace quorvale;
using links::LinkAction;
using links::Run;

namespace {

const QUrl origin("https://notes.example.org");

const JSON workspace = JSON::decode(R"({"pages":[{"id":"page-plain","title":"Plain"},
    {"id":"page-roadmap","notionSource":"notion:0123456789abcdef0123456789abcdef"}]})");
// The page holding the links, with a block that names where a shared file name leads.
const JSON holdingPage = JSON::decode(R"({"id":"page-roadmap","blocks":[{"id":"b1","type":"text"},
    {"id":"b2","type":"pageLink","notionLinkDestination":"Archive/Shared.png",
     "targetPageId":"page-plain"}]})");
const JSON resources = JSON::decode(R"({"files":[
    {"id":"f-diagram","path":"Roadmap/diagram final.png","name":"diagram final.png"},
    {"id":"f-shared-a","path":"Team/Shared.png","name":"Shared.png"},
    {"id":"f-shared-b","path":"Other/Shared.png","name":"Shared.png"},{"id":"f-nameless"}]})");

QString linkOf(const std::vector<Run> &runs)
{
    for (const Run &run : runs) {
        if (run.link)
            return run.link->toString();
    }
    return {};
}

QString plainText(const std::vector<Run> &runs)
{
    QString text;
    for (const Run &run : runs)
        text += run.text;
    return text;
}

} // namespace

class TestLinks final : public QObject
{
    Q_OBJECT

private slots:
    // Inline Markdown: styles, literal block syntax, whitespace kept.
    void parsesInlineMarkdown_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("plain");
        QTest::addColumn<QString>("styles"); // one letter per run: b, i, c, l, or - for none
        const auto row = [](const char *name, const char *text, const char *plain,
                            const char *styles) {
            QTest::newRow(name) << QString::fromUtf8(text) << QString::fromUtf8(plain)
                                << QString::fromUtf8(styles);
        };
        row("empty", "", "", "");
        row("bold", "a **b** c", "a b c", "-b-");
        row("code span keeps stars", "`a*b*`", "a*b*", "c");
        row("image is its alt text", "![a *b*](i.png)", "a b", "-i");
        row("autolink", "see <https://a.example/x>", "see https://a.example/x", "-l");
        row("carriage returns", "a\r# b\r\n- c", "a\n# b\n- c", "-");
        // Block syntax and whitespace are the user's text, shown as typed.
        for (const char *literal :
             {"# Title", "- item\n* other", "1. first\n2) second", "a\n    indented\n\ttab",
              "a  \nb", "<b>x</b>", "total = 3 * 4 _ 5 [x ( ` <"})
            row(literal, literal, literal, "-");
    }

    void parsesInlineMarkdown()
    {
        QFETCH(QString, text);
        QFETCH(QString, plain);
        QFETCH(QString, styles);

        const std::vector<Run> runs = links::parseInline(text, origin);
        QCOMPARE(plainText(runs), plain);
        QString seen;
        for (const Run &run : runs) {
            QVERIFY(!run.text.isEmpty());
            seen += run.link     ? QChar(u'l')
                    : run.code   ? QChar(u'c')
                    : run.bold   ? QChar(u'b')
                    : run.italic ? QChar(u'i')
                                 : QChar(u'-');
        }
        QCOMPARE(seen, styles);
    }

    void nestedEmphasisAroundALink()
    {
        const std::vector<Run> runs = links::parseInline("***all [in](/x) `c`*** tail", origin);
        QCOMPARE(runs,
                 (std::vector<Run>{{"all ", true, true, false, std::nullopt},
                                   {"in", true, true, false, QUrl("https://notes.example.org/x")},
                                   {" ", true, true, false, std::nullopt},
                                   {"c", true, true, true, std::nullopt},
                                   {" tail", false, false, false, std::nullopt}}));
    }

    // Links of imported text rewritten to this workspace, and where a click on one goes.
    void rewritesLinks_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("link"); // empty: plain text
        const auto row = [](const char *name, QString text, const char *link) {
            QTest::newRow(name) << text << QString::fromUtf8(link);
        };
        const char *page = "https://notes.example.org/#page-roadmap";
        const QString id = "0123456789ABCdef0123456789abcDEF";
        // A Notion page id, in any of the forms an export writes it, names the imported page.
        row("id .md", "[R](Roadmap%20" + id + ".md)", page);
        row("id query", "[R](https://www.notion.so/Roadmap-" + id + "?pvs=4)", page);
        row("id dashed", "[R](https://www.notion.so/01234567-89ab-cdef-0123-456789ABCDEF)", page);
        row("id of no page", "[R](https://www.notion.so/ffffffffffffffffffffffffffffffff)",
            "https://www.notion.so/ffffffffffffffffffffffffffffffff");
        row("id of no page, relative", "[R](Gone%20ffffffffffffffffffffffffffffffff.md)", "");
        // A relative path names a file of the import: by its path, else by a name only it has.
        row("file by path, escaped", "[d](Roadmap/diagram%20final.png)",
            "https://notes.example.org/api/notion-files/f-diagram");
        row("file by unique name", "[d](Elsewhere/diagram%20final.png)",
            "https://notes.example.org/api/notion-files/f-diagram");
        row("shared name, by path", "[s](Other/Shared.png)",
            "https://notes.example.org/api/notion-files/f-shared-b");
        row("shared name, block destination", "[s](Archive/Shared.png)",
            "https://notes.example.org/#page-plain");
        row("undecodable escape", "[x](Roadmap/%FF.png)", "");
        // Elsewhere only the web and mail; what else would open an application becomes plain text.
        row("another host over https", "[w](https://example.com/a?b=c)",
            "https://example.com/a?b=c");
        row("mailto", "[m](mailto:ana@example.com)", "mailto:ana@example.com");
        row("javascript", "[x](javascript:alert(1))", "");
    }

    void rewritesLinks()
    {
        QFETCH(QString, text);
        QFETCH(QString, link);

        const std::vector<Run> runs =
            links::attributed(text, {workspace, holdingPage, resources, origin});
        QCOMPARE(linkOf(runs), link);
        // An unresolved link is its text, merged into what surrounds it.
        if (link.isEmpty())
            QCOMPARE(runs.size(), std::size_t(1));
    }

    void leniencyOnMissingMembers()
    {
        // Nothing is an array or a string where one is expected: links degrade, nothing throws.
        const JSON doc = JSON::object({{"pages", "not a list"}});
        const JSON page = JSON::object(
            {{"blocks", JSON::array({JSON(3), JSON::object({{"notionLinkDestination", ""}})})}});
        const JSON res = JSON(nullptr);
        const std::vector<Run> runs = links::attributed(
            QStringLiteral(
                "[a](x.png) [b](https://e.example) [c](0123456789abcdef0123456789abcdef.md)"),
            {doc, page, res, origin});
        QCOMPARE(plainText(runs), "a b c");
        QCOMPARE(linkOf(runs), "https://e.example");
    }

    void clickOutcomes_data()
    {
        QTest::addColumn<QUrl>("url");
        QTest::addColumn<LinkAction>("action");
        using Kind = LinkAction::Kind;
        const auto row = [](const char *name, const char *url, LinkAction action) {
            QTest::newRow(name) << QUrl(QString::fromUtf8(url)) << action;
        };
        row("page", "https://notes.example.org/#page-plain",
            LinkAction{Kind::SelectPage, "page-plain", {}, {}, {}});
        row("file", "https://notes.example.org/api/notion-files/f%20x",
            LinkAction{Kind::SaveFile, {}, "/api/notion-files/f%20x", "f x", {}});
        row("other host", "https://example.com/a",
            LinkAction{Kind::OpenExternally, {}, {}, {}, QUrl("https://example.com/a")});
        // Nothing happens for what names nothing here.
        for (const char *nothing : {"https://notes.example.org/#page-deleted",
                                    "https://notes.example.org/api/notion-files/../accounts",
                                    "https://notes.example.org/api/other", "file:///etc/passwd"})
            row(nothing, nothing, LinkAction{});
    }

    void clickOutcomes()
    {
        QFETCH(QUrl, url);
        QFETCH(LinkAction, action);

        const LinkAction got = links::open(url, workspace, origin);
        QCOMPARE(int(got.kind), int(action.kind));
        QCOMPARE(got.pageId, action.pageId);
        QCOMPARE(got.path, action.path);
        QCOMPARE(got.fileName, action.fileName);
        QCOMPARE(got.url, action.url);
    }
};

QTEST_GUILESS_MAIN(TestLinks)
#include "tst_links.moc"
