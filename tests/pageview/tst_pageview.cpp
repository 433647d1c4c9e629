#include "pageview/attachmentview.h"
#include "pageview/blockeditor.h"
#include "pageview/blockview.h"
#include "pageview/boardview.h"
#include "pageview/pageview.h"

#include "model/document.h"
#include "support/modeltesting.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
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
        QVERIFY(!view.findChild<QWidget *>("pageImport")->isVisibleTo(&view));
        QCOMPARE(view.findChild<QLabel *>("pageTitleLabel")->text(), QStringLiteral("Plan"));

        // The star flips "favorite": absent or not the boolean true becomes true.
        auto *star = view.findChild<QToolButton *>("pageStar");
        m->updatePage("p1", [](JSON &p) { p.set("favorite", "yes"); });
        star->click();
        QCOMPARE(storedPage(*m)["favorite"], JSON(true));
        QVERIFY(star->property("favorite").toBool());
        star->click();
        QCOMPARE(storedPage(*m)["favorite"], JSON(false));

        m->updatePage("p1", [](JSON &p) { p.set("importBatchId", ""); });
        QVERIFY(!view.findChild<QWidget *>("pageImport")->isVisibleTo(&view));
        m->updatePage("p1", [](JSON &p) { p.set("importBatchId", "batch"); });
        QVERIFY(view.findChild<QWidget *>("pageImport")->isVisibleTo(&view));

        // Edit/Read switches the title between text and a field, relabelled by language.
        auto *edit = view.findChild<QPushButton *>("pageEdit");
        m->setLanguage("en");
        QCOMPARE(edit->text(), QStringLiteral("Edit"));
        edit->click();
        QVERIFY(view.editing());
        QCOMPARE(edit->text(), QStringLiteral("Read"));
        auto *title = view.findChild<QLineEdit *>("pageTitle");
        QVERIFY(title->isVisibleTo(&view));
        QCOMPARE(title->placeholderText(), QStringLiteral("Title"));
        title->setFocus();
        QTest::keyClicks(title, " B");
        QCOMPARE(storedPage(*m)["title"], JSON("Plan B"));
        QCOMPARE(title->text(), QStringLiteral("Plan B"));
    }

    void meetingPagesGetTheRecordingPlace()
    {
        auto m = modelWith({page("p1", JSON::array())});
        PageView view(*m, "p1");
        QVERIFY(!view.isMeeting());
        QVERIFY(!view.recordingSlot()->isVisibleTo(&view));
        // Listed among the server's meetings although the page does not say "meeting".
        m->setMeetings({JSON::object({{"id", "p1"}})});
        QVERIFY(view.isMeeting());
        QVERIFY(view.recordingSlot()->isVisibleTo(&view));
        m->setMeetings({JSON::object({{"id", 7}})});
        QVERIFY(!view.isMeeting());
        m->updatePage("p1", [](JSON &p) { p.set("meeting", true); });
        QVERIFY(view.recordingSlot()->isVisibleTo(&view));
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

        // A block without a type reads as text and edits with no check box.
        auto *untyped = qobject_cast<BlockEditor *>(view.rows().at(4));
        QVERIFY(!untyped->checkBox()->isVisibleTo(untyped));
        QCOMPARE(untyped->textEdit()->toPlainText(), QStringLiteral("sin tipo"));

        // "Add block" lists the eleven kinds by their raw names and appends to the page.
        auto *add = view.findChild<QToolButton *>("addBlock");
        QVERIFY(add->isVisibleTo(&view));
        QStringList names;
        for (QAction *action : add->menu()->actions())
            names << action->text();
        QCOMPARE(names, QStringList({"text", "h1", "h2", "h3", "bullet", "number", "todo", "quote",
                                     "callout", "code", "divider"}));
        add->menu()->actions().at(9)->trigger();
        QCOMPARE(storedPage(*m)["blocks"].size(), std::size_t(7));
        QCOMPARE(storedPage(*m)["blocks"].at(6)["type"], JSON("code"));
        QCOMPARE(rowKinds(view).size(), 7);

        view.setEditing(false);
        QVERIFY(!add->isVisibleTo(&view));
        QCOMPARE(rowKinds(view).count(QStringLiteral("editor")), 0);
    }

    void typingIsNeverRebuiltUnderTheCursor()
    {
        auto m = modelWith(
            {page("p1", JSON::array({block("a", "text", "uno"), block("b", "text", "dos")}))});
        PageView view(*m, "p1");
        view.setEditing(true);
        view.show();
        auto *editor = qobject_cast<BlockEditor *>(view.rows().at(1));
        QPlainTextEdit *text = editor->textEdit();
        text->setFocus();
        text->moveCursor(QTextCursor::End);
        QTest::keyClicks(text, " tres");
        QCOMPARE(storedPage(*m)["blocks"].at(1)["text"], JSON("dos tres"));
        // The same widgets, the cursor where the typing left it, the undo history intact.
        QCOMPARE(view.rows().at(1), editor);
        QCOMPARE(text->textCursor().position(), 8);
        QVERIFY(text->document()->isUndoAvailable());

        // A block inserted above moves the row, it does not rebuild it.
        m->updatePage("p1", [](JSON &p) {
            JSON::Array blocks = p["blocks"].arrayValue();
            blocks.insert(blocks.begin(), block("z", "text", "cero"));
            p.set("blocks", JSON(std::move(blocks)));
        });
        QCOMPARE(view.rows().at(2), editor);
        QCOMPARE(text->textCursor().position(), 8);

        // And removed again: the rows after it move up, the same widgets.
        m->updatePage("p1", [](JSON &p) {
            JSON::Array blocks = p["blocks"].arrayValue();
            blocks.erase(blocks.begin());
            p.set("blocks", JSON(std::move(blocks)));
        });
        QCOMPARE(view.rows().size(), 2);
        QCOMPARE(view.rows().at(1), editor);
        QCOMPARE(text->textCursor().position(), 8);

        // Two blocks sharing an id: only the first is editable, as edits find blocks by id.
        m->updatePage("p1",
                      [](JSON &p) { p.member("blocks").append(block("a", "text", "gemelo")); });
        QCOMPARE(rowKinds(view), QStringList({"editor", "editor", "view"}));
    }

    void listMarkersComeFromTheImport_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QString>("marker");
        QTest::addColumn<int>("indent");
        QTest::newRow("number, no resources") << "number"
                                              << ""
                                              << "1." << 0;
        QTest::newRow("number 0") << "number"
                                  << R"({"number":0,"indent":1})"
                                  << "1." << 5;
        QTest::newRow("number 3") << "number"
                                  << R"({"number":3.9,"indent":2})"
                                  << "3." << 10;
        QTest::newRow("negative") << "number"
                                  << R"({"number":-2})"
                                  << "-2." << 0;
        QTest::newRow("beyond 64 bits") << "number"
                                        << R"({"number":1e300,"indent":1e300})"
                                        << "9223372036854775807." << 400;
        QTest::newRow("not a number") << "number"
                                      << R"({"number":"4","indent":"2"})"
                                      << "1." << 0;
        QTest::newRow("bullet") << "bullet"
                                << R"({"indent":3})"
                                << "•" << 15;
        QTest::newRow("todo") << "todo"
                              << ""
                              << "square" << 0;
    }
    void listMarkersComeFromTheImport()
    {
        QFETCH(QString, type);
        QFETCH(QString, layout);
        QFETCH(QString, marker);
        QFETCH(int, indent);
        const QByteArray kind = type.toUtf8();
        auto m = modelWith({page("p1", JSON::array({block("a", kind.constData(), "x")}))});
        PageView view(*m, "p1");
        if (!layout.isEmpty())
            m->setResources(JSON::object(
                {{"listLayout", JSON::object({{"a", JSON::decode(layout.toStdString())}})}}));
        QCOMPARE(viewAt(view, 0)->marker(), marker);
        QCOMPARE(viewAt(view, 0)->indent(), indent);
    }

    void rowsWithoutLinksIgnoreTheResources()
    {
        JSON attachment = block("a", "attachment", "Diagrama.png");
        attachment.set("assetId", "f1");
        auto m = modelWith({page("p1", JSON::array({attachment, block("b", "text", "plano")}))});
        PageView view(*m, "p1");
        const QPointer<AttachmentView> shown = view.findChild<AttachmentView *>();
        const QPointer<QLabel> text = viewAt(view, 1)->textLabel();
        QVERIFY(shown && text);
        // The import's resources arrive after the page opened: nothing here depends on them,
        // so the attachment keeps its view (and its preview) and the text its label.
        m->setResources(JSON::object({{"files", JSON::array()}}));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(shown);
        QVERIFY(text);
    }

    void checkedTodoShowsItsMark()
    {
        JSON todo = block("a", "todo", "hecho");
        todo.set("checked", true);
        auto m = modelWith({page("p1", JSON::array({todo}))});
        PageView view(*m, "p1");
        QCOMPARE(viewAt(view, 0)->marker(), QStringLiteral("checkmark-square-fill"));
        // Switched to text in edit mode, the block keeps "checked".
        view.setEditing(true);
        auto *editor = qobject_cast<BlockEditor *>(view.rows().at(0));
        for (QAction *action : editor->typeButton()->menu()->actions()) {
            if (action->text() == QLatin1String("text"))
                action->trigger();
        }
        QCOMPARE(storedPage(*m)["blocks"].at(0)["checked"], JSON(true));
        QVERIFY(!editor->checkBox()->isVisibleTo(editor));
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
        // The Notion link now names the page; the custom scheme became plain text.
        QVERIFY2(label->text().contains(QStringLiteral("href=\"https://localhost:1/#p2\"")),
                 qPrintable(label->text()));
        QVERIFY(label->text().contains(QStringLiteral("href=\"https://example.com/x\"")));
        QVERIFY(!label->text().contains(QStringLiteral("slack:")));

        emit label->linkActivated(QStringLiteral("https://example.com/x"));
        QCOMPARE(external, QList<QUrl>({QUrl(QStringLiteral("https://example.com/x"))}));
        emit label->linkActivated(QStringLiteral("https://localhost:1/#p2"));
        QCOMPARE(m->selection(), QStringLiteral("p2"));
    }

    void openDecidesByHostAndPath_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QString>("selection");
        const int handled = int(PageView::Outcome::Handled);
        const int discarded = int(PageView::Outcome::Discarded);
        const int system = int(PageView::Outcome::System);
        QTest::newRow("page") << "https://localhost:1/#p2" << handled << "p2";
        QTest::newRow("page gone") << "https://localhost:1/#gone" << discarded << "p1";
        QTest::newRow("file") << "https://localhost:1/api/notion-files/f1" << handled << "p1";
        QTest::newRow("other path") << "https://localhost:1/elsewhere" << discarded << "p1";
        QTest::newRow("other host") << "https://example.com/#p2" << system << "p1";
        QTest::newRow("mailto") << "mailto:ana@example.com" << system << "p1";
        QTest::newRow("custom scheme") << "slack://open" << discarded << "p1";
        QTest::newRow("file scheme") << "file:///etc/passwd" << discarded << "p1";
    }
    void openDecidesByHostAndPath()
    {
        QFETCH(QString, url);
        QFETCH(int, outcome);
        QFETCH(QString, selection);
        auto m = modelWith({page("p1", JSON::array()), page("p2", JSON::array())});
        QStringList asked;
        m->setSavePanel([&asked](const QString &name) {
            asked << name;
            return QString(); // cancelled: nothing is downloaded
        });
        PageView view(*m, "p1");
        QCOMPARE(int(view.open(QUrl(url))), outcome);
        QCOMPARE(m->selection(), selection);
        QCOMPARE(asked.isEmpty(), !url.contains(QLatin1String("notion-files")));
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
        QCOMPARE(created["kind"], JSON("document"));
        // The new page is selected; this view, still alive until replaced, lists it.
        QCOMPARE(subpages().size(), 2);
        view.findChildren<QPushButton *>("subpage").at(0)->click();
        QCOMPARE(m->selection(), QStringLiteral("c1"));
    }

    void boardPagesShowTheBoard()
    {
        JSON board = page("p1", JSON::array());
        board.set("kind", "board");
        auto m = modelWith({board});
        PageView view(*m, "p1");
        QVERIFY(view.board());
        QVERIFY(!view.board()->editing());
        QVERIFY(!view.board()->addButton(0)->isVisibleTo(&view));
        view.setEditing(true);
        QVERIFY(view.board()->addButton(2)->isVisibleTo(&view));
        view.board()->addButton(2)->click();
        QCOMPARE(storedPage(*m)["cards"].at(0)["status"], JSON("Listo"));
        QCOMPARE(view.board()->cards(2).size(), 1);
    }

    void longPagesAreBuiltInSlices()
    {
        JSON::Array blocks;
        for (int i = 0; i < 500; ++i) {
            const std::string id = "b" + std::to_string(i);
            blocks.push_back(block(id, i % 3 ? "text" : "bullet", "línea"));
        }
        auto m = modelWith({page("p1", JSON(std::move(blocks)))});
        PageView view(*m, "p1");
        // The first screenful at once, the rest from the event loop.
        QVERIFY(view.rows().size() < 500);
        QVERIFY(!view.complete());
        QSignalSpy completed(&view, &PageView::completed);
        QVERIFY(completed.wait(10000));
        QCOMPARE(view.rows().size(), 500);
        QCOMPARE(viewAt(view, 499)->block().id(), std::string_view("b499"));

        // Switching to edit mode while slices are pending still ends with every row.
        view.setEditing(true);
        QVERIFY(completed.wait(10000));
        QCOMPARE(rowKinds(view).count(QStringLiteral("editor")), 500);
    }
};

QTEST_MAIN(TestPageView)
#include "tst_pageview.moc"
