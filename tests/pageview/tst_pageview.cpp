#include "pageview/blockeditor.h"
#include "pageview/blockview.h"
#include "pageview/boardview.h"
#include "pageview/pageview.h"

#include "model/document.h"
#include "support/modeltesting.h"

#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QTest>
#include <QToolButton>

using namespace quorvale;

namespace {

JSON block(std::string_view id, std::string_view type, std::string_view text)
{
    return JSON::object({{"id", id}, {"type", type}, {"text", text}});
}

JSON page(std::string_view id, JSON blocks, std::string_view parent = "")
{
    JSON p = JSON::object({{"id", id}, {"title", "Plan"}, {"kind", "document"}});
    p.set("blocks", std::move(blocks));
    if (!parent.empty())
        p.set("parentId", parent);
    return p;
}

std::unique_ptr<WorkspaceModel> modelWith(JSON::Array pages, const QString &selected = "p1")
{
    auto m = test::offlineModel();
    m->setWorkspace(JSON::object({{"pages", JSON(std::move(pages))}}));
    m->select(selected);
    return m;
}

const JSON &storedPage(const WorkspaceModel &m, std::string_view id = "p1")
{
    return document::findPage(m.workspace(), id);
}

QStringList rowKinds(const PageView &view)
{
    QStringList kinds;
    for (QWidget *row : view.rows())
        kinds << (qobject_cast<BlockEditor *>(row) ? QStringLiteral("editor")
                                                   : QStringLiteral("view"));
    return kinds;
}

BlockView *viewAt(const PageView &view, int row)
{
    return qobject_cast<BlockView *>(view.rows().value(row));
}

} // namespace

class TestPageView final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void headerFollowsThePage()
    {
        auto m = modelWith({page("p1", JSON::array())});
        PageView view(*m, "p1");
        // The star flips "favorite" (the document suite has its lenient reading).
        auto *star = view.findChild<QToolButton *>("pageStar");
        star->click();
        QCOMPARE(storedPage(*m)["favorite"], JSON(true));
        QVERIFY(star->property("favorite").toBool());

        m->updatePage("p1", [](JSON &p) { p.set("importBatchId", ""); });
        QVERIFY(!view.findChild<QWidget *>("pageImport")->isVisibleTo(&view));
        m->updatePage("p1", [](JSON &p) { p.set("importBatchId", "batch"); });
        QVERIFY(view.findChild<QWidget *>("pageImport")->isVisibleTo(&view));

        // (The end-to-end run edits the title, and a board page for reading and for editing.)
        // Meeting pages get the recording place: listed among the server's meetings although the
        // page does not say "meeting".
        m->setMeetings({JSON::object({{"id", "p1"}})});
        QVERIFY(view.recordingSlot()->isVisibleTo(&view));
        m->setMeetings({JSON::object({{"id", 7}})});
        QVERIFY(!view.isMeeting());
        m->updatePage("p1", [](JSON &p) { p.set("meeting", true); });
        QVERIFY(view.isMeeting());
        m->updatePage("p1", [](JSON &p) { p.set("meeting", "true"); });
        QVERIFY(!view.isMeeting());
    }

    void editModeKeepsReadOnlyKinds()
    {
        auto m = modelWith({page(
            "p1", JSON::array({block("a", "text", "uno"), block("b", "table", "{}"),
                               block("c", "pageLink", "Otra"), block("d", "attachment", "x.pdf"),
                               JSON::object({{"id", "e"}, {"text", "sin tipo"}}),
                               block("f", "todo", "hacer")}))});
        PageView view(*m, "p1");
        QCOMPARE(rowKinds(view), QStringList({"view", "view", "view", "view", "view", "view"}));
        view.setEditing(true);
        QCOMPARE(rowKinds(view),
                 QStringList({"editor", "view", "view", "view", "editor", "editor"}));

        // "Add block" appends a block of the chosen kind to the page.
        auto *add = view.findChild<QToolButton *>("addBlock");
        add->menu()->actions().at(9)->trigger();
        QCOMPARE(storedPage(*m)["blocks"].at(6)["type"], JSON("code"));

        view.setEditing(false);
        QVERIFY(!add->isVisibleTo(&view));
        QCOMPARE(rowKinds(view).count(QStringLiteral("editor")), 0);
    }

    void typingKeepsFocusAndCursorWhileThePageChanges()
    {
        auto m = modelWith(
            {page("p1", JSON::array({block("a", "text", "uno"), block("b", "text", "dos")}))});
        PageView view(*m, "p1");
        view.setEditing(true);
        view.show();
        view.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&view));
        auto *text = qobject_cast<BlockEditor *>(view.rows().at(1))->textEdit();
        text->setFocus();
        text->moveCursor(QTextCursor::End);
        QTest::keyClicks(text, " tres");
        QCOMPARE(storedPage(*m)["blocks"].at(1)["text"], JSON("dos tres"));
        // Whatever the page does around it, the user goes on typing where they were.
        const auto typingGoesOn = [&](const char *more, const char *expected) {
            auto *focused = qobject_cast<QPlainTextEdit *>(QApplication::focusWidget());
            QVERIFY(focused);
            QVERIFY(focused->document()->isUndoAvailable());
            QTest::keyClicks(focused, QString::fromUtf8(more));
            const JSON::Array &blocks = storedPage(*m)["blocks"].arrayValue();
            QVERIFY(std::any_of(blocks.begin(), blocks.end(),
                                [&](const JSON &b) { return b["text"] == JSON(expected); }));
            QCOMPARE(focused->toPlainText(), QString::fromUtf8(expected));
        };
        typingGoesOn(" y", "dos tres y");

        // A block inserted above, and removed again.
        const auto blocks = [](JSON &p) -> JSON::Array & { return p.member("blocks").elements(); };
        m->updatePage(
            "p1", [&](JSON &p) { blocks(p).insert(blocks(p).begin(), block("z", "text", "0")); });
        typingGoesOn(" cuatro", "dos tres y cuatro");
        m->updatePage("p1", [&](JSON &p) { blocks(p).erase(blocks(p).begin()); });
        typingGoesOn(" cinco", "dos tres y cuatro cinco");

        // Two blocks sharing an id: only the first is editable, as edits find blocks by id.
        m->updatePage("p1",
                      [](JSON &p) { p.member("blocks").append(block("a", "text", "gemelo")); });
        QCOMPARE(rowKinds(view), QStringList({"editor", "editor", "view"}));
    }

    void listMarkersComeFromTheImport()
    {
        JSON checked = block("g", "todo", "x");
        checked.set("checked", true);
        auto m = modelWith({page(
            "p1", JSON::array({block("a", "number", "x"), block("b", "number", "x"),
                               block("c", "number", "x"), block("d", "number", "x"),
                               block("e", "number", "x"), block("f", "bullet", "x"), checked}))});
        PageView view(*m, "p1");
        // Numbers and indents as the import recorded them, clamped; what is no number is none.
        m->setResources(JSON::decode(R"({"listLayout":{"b":{"number":3.9,"indent":2},
            "c":{"number":-2},"d":{"number":1e300,"indent":1e300},"e":{"number":"4","indent":"2"},
            "f":{"indent":3}}})"));
        QStringList markers;
        QList<int> indents;
        for (int row = 0; row < 7; ++row) {
            markers << viewAt(view, row)->marker();
            indents << viewAt(view, row)->indent();
        }
        QCOMPARE(markers, QStringList({"1.", "3.", "-2.", "9223372036854775807.", "1.", "•",
                                       "checkmark-square-fill"}));
        QCOMPARE(indents, QList<int>({0, 10, 0, 400, 0, 15, 0}));
    }

    void blockTextIsPlainMarkupSafe()
    {
        auto m = modelWith({page("p1", JSON::array({block("a", "text", "<b>no</b> & **sí**"),
                                                    block("b", "code", "[x](https://e.com)")}))});
        PageView view(*m, "p1");
        const QString html = viewAt(view, 0)->textLabel()->text();
        QVERIFY(html.contains(QStringLiteral("&lt;b&gt;no&lt;/b&gt; &amp; <b>sí</b>")));
        // Code is shown verbatim, with no link rewriting.
        auto *code = viewAt(view, 1)->findChild<QLabel *>("blockCode");
        QCOMPARE(code->text(), QStringLiteral("[x](https://e.com)"));
    }

    void linksGoThroughOpen()
    {
        auto m = modelWith(
            {page("p1", JSON::array({block("a", "text",
                                           "[otra](Otra%20abc0123456789abcdef0123456789ABC.md) "
                                           "[web](https://example.com/x) [app](slack://open)")})),
             [] {
                 JSON other = page("p2", JSON::array());
                 other.set("notionSource", "notion:abc0123456789abcdef0123456789abc");
                 return other;
             }()});
        PageView view(*m, "p1");
        QList<QUrl> external;
        view.setExternalOpener([&external](const QUrl &url) { external << url; });
        QLabel *label = viewAt(view, 0)->textLabel();
        // The Notion link now names the page (the links suite has the other rewritings).
        QVERIFY2(label->text().contains(QStringLiteral("href=\"https://localhost:1/#p2\"")),
                 qPrintable(label->text()));

        emit label->linkActivated(QStringLiteral("https://example.com/x"));
        QCOMPARE(external, QList<QUrl>({QUrl(QStringLiteral("https://example.com/x"))}));
        // What names nothing here is dropped; a file asks where to save it.
        QStringList asked;
        m->setSavePanel([&asked](const QString &name) {
            asked << name;
            return QString(); // cancelled: nothing is downloaded
        });
        QCOMPARE(view.open(QUrl("slack://open")), PageView::Outcome::Discarded);
        QCOMPARE(view.open(QUrl("https://localhost:1/api/notion-files/f1")),
                 PageView::Outcome::Handled);
        QCOMPARE(asked.size(), 1);
        QCOMPARE(m->selection(), QStringLiteral("p1"));
        emit label->linkActivated(QStringLiteral("https://localhost:1/#p2"));
        QCOMPARE(m->selection(), QStringLiteral("p2"));
    }

    void subpagesAndNewSubpage()
    {
        auto m = modelWith({page("p1", JSON::array()), page("c1", JSON::array(), "p1"),
                            page("c2", JSON::array(), "other")});
        PageView view(*m, "p1");
        auto subpages = [&view] {
            QStringList titles;
            for (auto *button : view.findChildren<QPushButton *>("subpage"))
                if (!button->isHidden())
                    titles << button->text();
            return titles;
        };
        QCOMPARE(subpages(), QStringList({"Plan"}));
        view.findChild<QPushButton *>("newSubpage")->click();
        const JSON::Array pages = m->workspace()["pages"].arrayValue();
        const JSON &created = pages.back();
        QCOMPARE(created["parentId"], JSON("p1"));
        // The new page is selected; this view, still alive until replaced, lists it.
        QCOMPARE(subpages().size(), 2);
        view.findChildren<QPushButton *>("subpage").at(0)->click();
        QCOMPARE(m->selection(), QStringLiteral("c1"));
    }

    void longPagesShowEveryBlock()
    {
        JSON::Array blocks;
        for (int i = 0; i < 500; ++i)
            blocks.push_back(block("b" + std::to_string(i), i % 3 ? "text" : "bullet", "línea"));
        auto m = modelWith({page("p1", JSON(std::move(blocks)))});
        // Switched to edit mode while the page is still being built: every row ends editable.
        PageView view(*m, "p1");
        view.setEditing(true);
        QTRY_VERIFY_WITH_TIMEOUT(view.complete(), 10000);
        QCOMPARE(rowKinds(view).count(QStringLiteral("editor")), 500);
        // A block added at the end of a long page gets its row too.
        m->updatePage("p1", quorvale::document::appendBlock(block("b500", "text", "nueva")));
        QTRY_VERIFY_WITH_TIMEOUT(view.complete(), 10000);
        QCOMPARE(view.rows().size(), 501);
    }
};

QTEST_MAIN(TestPageView)
#include "tst_pageview.moc"
