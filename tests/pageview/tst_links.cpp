#include "pageview/links.h"

#include <QTest>

using namespace quorvale;
using links::LinkAction;
using links::Run;

namespace {

const QUrl origin(QStringLiteral("https://notes.example.org"));
constexpr auto notionId = "0123456789abcdef0123456789abcdef";

JSON workspace()
{
    return JSON::object(
        {{"pages", JSON::array({
                       JSON::object({{"id", "page-plain"}, {"title", "Plain"}}),
                       JSON::object({{"id", "page-roadmap"},
                                     {"notionSource", std::string("notion:") + notionId}}),
                   })}});
}

JSON holdingPage()
{
    return JSON::object(
        {{"id", "page-roadmap"},
         {"blocks", JSON::array({
                        JSON::object({{"id", "b1"}, {"type", "text"}}),
                        JSON::object({{"id", "b2"},
                                      {"type", "pageLink"},
                                      {"notionLinkDestination", "Archive/Shared.png"},
                                      {"targetPageId", "page-plain"}}),
                    })}});
}

JSON resources()
{
    return JSON::object(
        {{"files",
          JSON::array({
              JSON::object({{"id", "f-diagram"},
                            {"path", "Roadmap/diagram final.png"},
                            {"name", "diagram final.png"}}),
              JSON::object(
                  {{"id", "f-shared-a"}, {"path", "Team/Shared.png"}, {"name", "Shared.png"}}),
              JSON::object(
                  {{"id", "f-shared-b"}, {"path", "Other/Shared.png"}, {"name", "Shared.png"}}),
              JSON::object({{"id", "f-nameless"}}),
          })}});
}

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

class TestLinks : public QObject
{
    Q_OBJECT

private slots:
    // Inline Markdown: styles, literal block syntax, whitespace kept.
    void parsesInlineMarkdown_data();
    void parsesInlineMarkdown();
    void nestedEmphasisAroundALink();
    void veryLongTextStaysWhole();

    // Links of imported text rewritten to this workspace.
    void rewritesLinks_data();
    void rewritesLinks();
    void unresolvedLinkMergesIntoPlainText();
    void leniencyOnMissingMembers();

    // Clicks.
    void clickOutcomes_data();
    void clickOutcomes();
    void rewrittenLinksOpenWhereTheyPoint();
};

void TestLinks::parsesInlineMarkdown_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("plain");
    QTest::addColumn<QString>("styles"); // one letter per run: b, i, c, l, or - for none

    QTest::newRow("empty") << ""
                           << ""
                           << "";
    QTest::newRow("plain sentence") << "just words."
                                    << "just words."
                                    << "-";
    QTest::newRow("bold") << "a **b** c"
                          << "a b c"
                          << "-b-";
    QTest::newRow("italic underscore at start") << "_it_ x"
                                                << "it x"
                                                << "i-";
    QTest::newRow("code span keeps stars") << "`a*b*`"
                                           << "a*b*"
                                           << "c";
    QTest::newRow("heading is text") << "# Title"
                                     << "# Title"
                                     << "-";
    QTest::newRow("bullet is text") << "- item\n* other\n+ more"
                                    << "- item\n* other\n+ more"
                                    << "-";
    QTest::newRow("ordered list is text") << "1. first\n2) second"
                                          << "1. first\n2) second"
                                          << "-";
    QTest::newRow("quote is text") << "> said"
                                   << "> said"
                                   << "-";
    QTest::newRow("rule and setext") << "Title\n===\n---\n***"
                                     << "Title\n===\n---\n***"
                                     << "-";
    QTest::newRow("indentation kept") << "a\n    indented\n\ttab"
                                      << "a\n    indented\n\ttab"
                                      << "-";
    QTest::newRow("star line does not close emphasis") << "*a\n* b"
                                                       << "*a\n* b"
                                                       << "-";
    QTest::newRow("code span across lines") << "`a\n# b\n1. c`"
                                            << "a # b 1. c"
                                            << "c";
    QTest::newRow("no-break space of the text kept") << "\u00A0x"
                                                     << "\u00A0x"
                                                     << "-";
    QTest::newRow("inner spaces kept") << "a   b\t c"
                                       << "a   b\t c"
                                       << "-";
    QTest::newRow("carriage returns") << "a\r# b\r\n- c"
                                      << "a\n# b\n- c"
                                      << "-";
    QTest::newRow("image is its alt text") << "![a *b*](i.png)"
                                           << "a b"
                                           << "-i";
    QTest::newRow("email autolink") << "<ana@example.com>"
                                    << "ana@example.com"
                                    << "l";
    QTest::newRow("blank lines kept") << "a\n\n\nb"
                                      << "a\n\n\nb"
                                      << "-";
    QTest::newRow("trailing spaces kept") << "a  \nb"
                                          << "a  \nb"
                                          << "-";
    QTest::newRow("fence is a code span") << "```x```"
                                          << "x"
                                          << "c";
    QTest::newRow("reference definition is text") << "[a]: /x"
                                                  << "[a]: /x"
                                                  << "-";
    QTest::newRow("html is text") << "<b>x</b>"
                                  << "<b>x</b>"
                                  << "-";
    QTest::newRow("entities") << "&amp; &#x41; &copy;"
                              << "& A &copy;"
                              << "-";
    QTest::newRow("not markdown") << "total = 3 * 4 _ 5 [x ( ` <"
                                  << "total = 3 * 4 _ 5 [x ( ` <"
                                  << "-";
    QTest::newRow("unicode") << "café **ñandú** 🎙️"
                             << "café ñandú 🎙️"
                             << "-b-";
    QTest::newRow("autolink") << "see <https://a.example/x>"
                              << "see https://a.example/x"
                              << "-l";
}

void TestLinks::parsesInlineMarkdown()
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

void TestLinks::nestedEmphasisAroundALink()
{
    const std::vector<Run> runs =
        links::parseInline(QStringLiteral("***all [in](/x) `c`*** tail"), origin);
    QCOMPARE(runs.size(), std::size_t(5));
    QCOMPARE(runs[0], (Run{"all ", true, true, false, std::nullopt}));
    QCOMPARE(runs[1], (Run{"in", true, true, false, QUrl("https://notes.example.org/x")}));
    QCOMPARE(runs[2], (Run{" ", true, true, false, std::nullopt}));
    QCOMPARE(runs[3], (Run{"c", true, true, true, std::nullopt}));
    QCOMPARE(runs[4], (Run{" tail", false, false, false, std::nullopt}));
}

void TestLinks::veryLongTextStaysWhole()
{
    QString text;
    for (int i = 0; i < 20000; ++i)
        text += QStringLiteral("word **bold** [l](https://x.example/%1)\n").arg(i);
    const std::vector<Run> runs = links::parseInline(text, origin);
    // Each line break joins the plain run that starts the next line.
    QCOMPARE(runs.size(), std::size_t(20000 * 4 + 1));
    QCOMPARE(runs[4].text, QStringLiteral("\nword "));
    QCOMPARE(runs.back().text, QStringLiteral("\n"));
    QCOMPARE(runs[3].link, QUrl("https://x.example/0"));
}

void TestLinks::rewritesLinks_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("link"); // empty: plain text

    const QString page = QStringLiteral("https://notes.example.org/#page-roadmap");
    const QString id = QStringLiteral("0123456789ABCdef0123456789abcDEF");
    QTest::newRow("id .md") << "[R](Roadmap%20" + id + ".md)" << page;
    QTest::newRow("id _all.csv") << "[R](Roadmap%20" + id + "_all.csv)" << page;
    QTest::newRow("id query") << "[R](https://www.notion.so/Roadmap-" + id + "?pvs=4)" << page;
    QTest::newRow("id fragment") << "[R](https://www.notion.so/Roadmap-" + id + "#abc)" << page;
    QTest::newRow("id dashed") << "[R](https://www.notion.so/01234567-89ab-cdef-0123-456789ABCDEF)"
                               << page;
    QTest::newRow("id of no page") << "[R](https://www.notion.so/ffffffffffffffffffffffffffffffff)"
                                   << "https://www.notion.so/ffffffffffffffffffffffffffffffff";
    QTest::newRow("id of no page, relative") << "[R](Gone%20ffffffffffffffffffffffffffffffff.md)"
                                             << "";
    QTest::newRow("file by path, escaped")
        << "[d](Roadmap/diagram%20final.png)"
        << "https://notes.example.org/api/notion-files/f-diagram";
    QTest::newRow("file by unique name") << "[d](Elsewhere/diagram%20final.png)"
                                         << "https://notes.example.org/api/notion-files/f-diagram";
    QTest::newRow("shared name, by path")
        << "[s](Other/Shared.png)"
        << "https://notes.example.org/api/notion-files/f-shared-b";
    QTest::newRow("shared name, other path")
        << "[s](Team/Shared.png)"
        << "https://notes.example.org/api/notion-files/f-shared-a";
    QTest::newRow("shared name, block destination") << "[s](Archive/Shared.png)"
                                                    << "https://notes.example.org/#page-plain";
    QTest::newRow("undecodable escape") << "[x](Roadmap/%FF.png)"
                                        << "";
    QTest::newRow("shared name, unknown path") << "[s](Nowhere/Shared.png)"
                                               << "";
    QTest::newRow("root of the origin") << "[home](/)"
                                        << "";
    QTest::newRow("api path stays") << "[a](/api/notion-files/x)"
                                    << "https://notes.example.org/api/notion-files/x";
    QTest::newRow("another host over https") << "[w](https://example.com/a?b=c)"
                                             << "https://example.com/a?b=c";
    QTest::newRow("http") << "[w](http://example.com/)"
                          << "http://example.com/";
    QTest::newRow("mailto") << "[m](mailto:ana@example.com)"
                            << "mailto:ana@example.com";
    QTest::newRow("entity in destination") << "[e](https://e.example/?a=1&amp;b=2)"
                                           << "https://e.example/?a=1&b=2";
    QTest::newRow("email autolink") << "<ana@example.com>"
                                    << "mailto:ana@example.com";
    QTest::newRow("unknown scheme") << "[x](notion://www.notion.so/a)"
                                    << "";
    QTest::newRow("javascript") << "[x](javascript:alert(1))"
                                << "";
    QTest::newRow("file scheme") << "[x](file:///etc/passwd)"
                                 << "";
}

void TestLinks::rewritesLinks()
{
    QFETCH(QString, text);
    QFETCH(QString, link);

    const JSON doc = workspace();
    const JSON page = holdingPage();
    const JSON res = resources();
    const std::vector<Run> runs = links::attributed(text, {doc, page, res, origin});
    QCOMPARE(linkOf(runs), link);
}

void TestLinks::unresolvedLinkMergesIntoPlainText()
{
    const JSON doc = workspace();
    const JSON page = holdingPage();
    const JSON res = resources();
    const std::vector<Run> runs = links::attributed(
        QStringLiteral("open [the app](quorvale://x) now"), {doc, page, res, origin});
    QCOMPARE(runs, (std::vector<Run>{{"open the app now", false, false, false, std::nullopt}}));
}

void TestLinks::leniencyOnMissingMembers()
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
    QCOMPARE(plainText(runs), QStringLiteral("a b c"));
    QCOMPARE(linkOf(runs), QStringLiteral("https://e.example"));
}

void TestLinks::clickOutcomes_data()
{
    QTest::addColumn<QUrl>("url");
    QTest::addColumn<LinkAction>("action");

    using Kind = LinkAction::Kind;
    QTest::newRow("page") << QUrl("https://notes.example.org/#page-plain")
                          << LinkAction{Kind::SelectPage, "page-plain", {}, {}, {}};
    QTest::newRow("page gone") << QUrl("https://notes.example.org/#page-deleted") << LinkAction{};
    QTest::newRow("empty fragment") << QUrl("https://notes.example.org/#") << LinkAction{};
    QTest::newRow("file") << QUrl("https://notes.example.org/api/notion-files/f%20x")
                          << LinkAction{Kind::SaveFile, {}, "/api/notion-files/f%20x", "f x", {}};
    QTest::newRow("file path escaping")
        << QUrl("https://notes.example.org/api/notion-files/../accounts") << LinkAction{};
    QTest::newRow("files root") << QUrl("https://notes.example.org/api/notion-files/")
                                << LinkAction{};
    QTest::newRow("other origin path")
        << QUrl("https://notes.example.org/api/other") << LinkAction{};
    QTest::newRow("other host")
        << QUrl("https://example.com/a")
        << LinkAction{Kind::OpenExternally, {}, {}, {}, QUrl("https://example.com/a")};
    QTest::newRow("mailto")
        << QUrl("mailto:ana@example.com")
        << LinkAction{Kind::OpenExternally, {}, {}, {}, QUrl("mailto:ana@example.com")};
    QTest::newRow("custom scheme") << QUrl("quorvale://x") << LinkAction{};
}

void TestLinks::clickOutcomes()
{
    QFETCH(QUrl, url);
    QFETCH(LinkAction, action);

    const LinkAction got = links::open(url, workspace(), origin);
    QCOMPARE(int(got.kind), int(action.kind));
    QCOMPARE(got.pageId, action.pageId);
    QCOMPARE(got.path, action.path);
    QCOMPARE(got.fileName, action.fileName);
    QCOMPARE(got.url, action.url);
}

void TestLinks::rewrittenLinksOpenWhereTheyPoint()
{
    const JSON doc = workspace();
    const JSON page = holdingPage();
    const JSON res = resources();
    const auto runs = links::attributed(
        QStringLiteral("[p](Roadmap%200123456789abcdef0123456789abcdef.md) [f](Other/Shared.png)"),
        {doc, page, res, origin});
    QCOMPARE(runs.size(), std::size_t(3));
    const LinkAction toPage = links::open(*runs[0].link, doc, origin);
    QCOMPARE(int(toPage.kind), int(LinkAction::Kind::SelectPage));
    QCOMPARE(toPage.pageId, QStringLiteral("page-roadmap"));
    const LinkAction toFile = links::open(*runs[2].link, doc, origin);
    QCOMPARE(int(toFile.kind), int(LinkAction::Kind::SaveFile));
    QCOMPARE(toFile.path, QStringLiteral("/api/notion-files/f-shared-b"));
    QCOMPARE(toFile.fileName, QStringLiteral("f-shared-b"));
}

QTEST_GUILESS_MAIN(TestLinks)
#include "tst_links.moc"
