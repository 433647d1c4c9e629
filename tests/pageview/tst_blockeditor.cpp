#include "pageview/blockeditor.h"

#include "model/document.h"
#include "support/modeltesting.h"

#include <QCheckBox>
#include <QFontDatabase>
#include <QMenu>
#include <QPlainTextEdit>
#include <QStandardPaths>
#include <QTest>
#include <QToolButton>

#include <memory>

using namespace quorvale;

namespace {

std::unique_ptr<WorkspaceModel> modelWith(JSON block)
{
    auto model = test::offlineModel();
    model->setWorkspace(JSON::object(
        {{"pages",
          JSON::array({JSON::object(
              {{"id", "p1"}, {"kind", "document"}, {"blocks", JSON::array({block})}})})}}));
    return model;
}

const JSON &storedBlock(const WorkspaceModel &model)
{
    return document::findPage(model.workspace(), "p1")["blocks"].at(0);
}

QString storedText(const WorkspaceModel &model)
{
    const std::string_view text = storedBlock(model)["text"].stringValue();
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

void chooseType(BlockEditor &editor, const QString &kind)
{
    const QList<QAction *> kinds = editor.typeButton()->menu()->actions();
    const auto found = std::find_if(kinds.begin(), kinds.end(),
                                    [&](const QAction *action) { return action->text() == kind; });
    QVERIFY2(found != kinds.end(), qPrintable(kind));
    (*found)->trigger();
}

} // namespace

class TestBlockEditor final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void heightFollowsTheText()
    {
        // Two lines fit the smallest editor; a trailing line feed is a line; growth stops at 300.
        QCOMPARE(BlockEditor::textHeight(QStringLiteral("l\n").repeated(40)), 300);

        // One long line, several on screen: taller than one line's 50, never past 300.
        auto model = modelWith(JSON::object({{"id", "b1"}, {"type", "text"}, {"text", "x\ny\nz"}}));
        BlockEditor editor(*model, "p1", "b1");
        editor.resize(300, 100);
        editor.show();
        model->updateBlock("p1", "b1", "text", JSON(std::string(600, 'a')));
        QTRY_VERIFY(editor.textEdit()->height() > 50);
        QVERIFY(editor.textEdit()->height() <= 300);
    }

    void typingSurvivesTheModelsRefresh()
    {
        auto model = modelWith(JSON::object({{"id", "b1"}, {"type", "text"}, {"text", "Hola"}}));
        BlockEditor editor(*model, "p1", "b1");
        editor.show();
        editor.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&editor));
        QPlainTextEdit *text = editor.textEdit();
        text->setFocus();
        text->moveCursor(QTextCursor::End);

        QTest::keyClicks(text, QStringLiteral(" mundo"));
        QCOMPARE(storedText(*model), QStringLiteral("Hola mundo"));
        QVERIFY(text->hasFocus());
        QCOMPARE(text->textCursor().position(), 10);
        QVERIFY(text->document()->isUndoAvailable());

        // A line feed grows the editor at once.
        QTest::keyClick(text, Qt::Key_Return);
        QTest::keyClick(text, Qt::Key_Return);
        QCOMPARE(storedText(*model), QStringLiteral("Hola mundo\n\n"));
        QCOMPARE(text->height(), 66);

        // A change from elsewhere reaches an editor that is not being typed in.
        text->clearFocus();
        model->updateBlock("p1", "b1", "text", JSON("Otro"));
        QCOMPARE(text->toPlainText(), QStringLiteral("Otro"));
    }

    void typeMenuAndCheckBox()
    {
        auto model = modelWith(
            JSON::object({{"id", "b1"}, {"type", "todo"}, {"text", "Comprar"}, {"checked", true}}));
        BlockEditor editor(*model, "p1", "b1");
        QVERIFY(editor.checkBox()->isChecked());
        editor.checkBox()->click();
        QCOMPARE(storedBlock(*model)["checked"], JSON(false));
        editor.checkBox()->click();
        QCOMPARE(storedBlock(*model)["checked"], JSON(true));

        // Leaving to-do hides the box but keeps the stored state.
        chooseType(editor, QStringLiteral("text"));
        QCOMPARE(storedBlock(*model)["type"], JSON("text"));
        QCOMPARE(storedBlock(*model)["checked"], JSON(true));
        QVERIFY(!editor.checkBox()->isVisibleTo(&editor));
        QCOMPARE(storedText(*model), QStringLiteral("Comprar"));
    }

    void blockWithoutTypeShowsAsText()
    {
        auto model = modelWith(JSON::object({{"id", "b1"}, {"text", "x"}, {"checked", "yes"}}));
        BlockEditor editor(*model, "p1", "b1");
        QVERIFY(!editor.checkBox()->isVisibleTo(&editor));

        chooseType(editor, QStringLiteral("todo"));
        QCOMPARE(storedBlock(*model)["type"], JSON("todo"));
        QVERIFY(editor.checkBox()->isVisibleTo(&editor));
        QVERIFY(!editor.checkBox()->isChecked()); // only the boolean true is checked
        QCOMPARE(storedBlock(*model)["checked"], JSON("yes"));
    }

    void codeIsMonospacedAndStoredVerbatim()
    {
        auto model = modelWith(JSON::object({{"id", "b1"}, {"type", "code"}}));
        BlockEditor editor(*model, "p1", "b1");
        QCOMPARE(editor.textEdit()->font(), QFontDatabase::systemFont(QFontDatabase::FixedFont));
        editor.textEdit()->setPlainText(QStringLiteral("  if (a)\n\treturn <b>;  "));
        QCOMPARE(storedText(*model), QStringLiteral("  if (a)\n\treturn <b>;  "));
    }

    void removedBlockLeavesTheEditorInert()
    {
        auto model = modelWith(JSON::object({{"id", "b1"}, {"type", "todo"}, {"text", "x"}}));
        BlockEditor editor(*model, "p1", "b1");
        model->updatePage("p1", [](JSON &page) { page.set("blocks", JSON::array()); });
        QVERIFY(!editor.isEnabled());
        const JSON before = model->workspace();
        editor.textEdit()->setPlainText(QStringLiteral("lost?"));
        editor.checkBox()->click();
        QCOMPARE(model->workspace(), before);
    }
};

QTEST_MAIN(TestBlockEditor)
#include "tst_blockeditor.moc"
