#include "pageview/boardview.h"

#include "model/document.h"
#include "support/modeltesting.h"

#include "pageview/growingfield.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QStandardPaths>
#include <QTest>
#include <QTextCursor>

#include <memory>

using namespace quorvale;

namespace {

JSON card(std::string_view id, std::string_view title, std::string_view status,
          std::string_view priority = "Media")
{
    return JSON::object(
        {{"id", id}, {"title", title}, {"status", status}, {"priority", priority}, {"tag", ""}});
}

std::unique_ptr<WorkspaceModel> modelWith(JSON cards)
{
    auto model = test::offlineModel();
    model->setWorkspace(JSON::object(
        {{"pages", JSON::array({JSON::object(
                       {{"id", "board"}, {"kind", "board"}, {"cards", std::move(cards)}})})}}));
    return model;
}

const JSON::Array &storedCards(const WorkspaceModel &model)
{
    return document::findPage(model.workspace(), "board")["cards"].arrayValue();
}

QStringList titles(const BoardView &board, int column)
{
    QStringList shown;
    for (BoardCard *c : board.cards(column))
        shown << c->title()->text();
    return shown;
}

} // namespace

class TestBoardView final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void cardsLandInTheirColumns()
    {
        auto model = modelWith(
            JSON::array({card("a", "A", "Listo"), card("b", "B", "Sin empezar"),
                         card("c", "C", "En curso", "Alta"), card("d", "D", "Listo", "Urgente"),
                         card("e", "E", "Archivada")}));
        BoardView board(*model, "board");
        // A card of an unknown status is in no column, and stays in the page untouched.
        QCOMPARE(titles(board, 0), QStringList({"B"}));
        QCOMPARE(titles(board, 1), QStringList({"C"}));
        QCOMPARE(titles(board, 2), QStringList({"A", "D"}));

        BoardCard *c = board.cards(1).at(0);
        QCOMPARE(c->priority()->currentText(), QStringLiteral("Alta"));
        // Values that are none of the options select nothing and are not rewritten.
        QCOMPARE(board.cards(2).at(1)->priority()->currentIndex(), -1);
        QCOMPARE(storedCards(*model).at(4)["status"], JSON("Archivada"));

        // Reading mode offers nothing to edit.
        board.setEditing(false);
        QVERIFY(!c->title()->isVisibleTo(&board) && !board.addButton(0)->isVisibleTo(&board));
        QCOMPARE(c->readTitle()->text(), QStringLiteral("C"));

        // Cards that are not an array, or a page that is gone, show empty columns.
        model->updatePage("board", [](JSON &page) { page.set("cards", "nope"); });
        QVERIFY(board.cards(0).isEmpty() && board.cards(1).isEmpty() && board.cards(2).isEmpty());
        model->setWorkspace(JSON::object({{"pages", JSON::array()}}));
        QVERIFY(!board.addButton(0)->isEnabled());
    }

    void statusChangeMovesTheSameCard()
    {
        auto model =
            modelWith(JSON::array({card("a", "A", "Sin empezar"), card("b", "B", "Sin empezar"),
                                   card("c", "C", "Listo")}));
        BoardView board(*model, "board");
        emit board.cards(0).at(0)->status()->activated(2);
        QCOMPARE(storedCards(*model).at(0)["status"], JSON("Listo"));
        QCOMPARE(titles(board, 0), QStringList({"B"}));
        // Array order holds within the column.
        QCOMPARE(titles(board, 2), QStringList({"A", "C"}));

        emit board.cards(0).at(0)->priority()->activated(0);
        QCOMPARE(storedCards(*model).at(1)["priority"], JSON("Baja"));
        QCOMPARE(board.cards(0).at(0)->priority()->currentText(), QStringLiteral("Baja"));
    }

    void addCardKeepsStoredValuesInSpanish()
    {
        auto model = modelWith(JSON::array());
        model->setLanguage(QStringLiteral("en"));
        BoardView board(*model, "board");
        board.addButton(1)->click();

        // The document suite has the card's other values.
        QCOMPARE(storedCards(*model).at(0)["status"], JSON("En curso"));
        QCOMPARE(titles(board, 1), QStringList({"New task"}));
    }

    void cardsSharingAnIdAreNeverEditedByMistake()
    {
        auto model = modelWith(
            JSON::array({card("x", "First", "Sin empezar"), card("x", "Second", "En curso")}));
        BoardView board(*model, "board");
        BoardCard *first = board.cards(0).at(0);
        BoardCard *second = board.cards(1).at(0);
        // Edits find cards by id, so the second would silently change the first.
        QVERIFY(!second->isEnabled() && !second->toolTip().isEmpty());

        const JSON before = model->workspace();
        emit second->status()->activated(2);
        emit second->title()->textEdited(QStringLiteral("Oops"));
        QCOMPARE(model->workspace(), before);

        emit first->title()->textEdited(QStringLiteral("First!"));
        QCOMPARE(storedCards(*model).at(0)["title"], JSON("First!"));
        QCOMPARE(storedCards(*model).at(1)["title"], JSON("Second"));

        // When the first goes, the one left becomes editable.
        model->updatePage(
            "board", [](JSON &page) { page.set("cards", JSON::array({page["cards"].at(1)})); });
        QVERIFY(board.cards(1).at(0)->editable());
        QCOMPARE(board.cards(1).at(0)->title()->text(), QStringLiteral("Second"));
    }

    void typingInATitleKeepsFocusAndCursor()
    {
        auto model =
            modelWith(JSON::array({card("a", "Plan", "Sin empezar"), card("b", "B", "Listo")}));
        BoardView board(*model, "board");
        board.show();
        board.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&board));
        GrowingField *title = board.cards(0).at(0)->title();
        title->setFocus();
        QTextCursor cursor = title->textCursor();
        cursor.setPosition(2);
        title->setTextCursor(cursor);
        QTest::keyClicks(title, QStringLiteral("XY"));
        QCOMPARE(storedCards(*model).at(0)["title"], JSON("PlXYan"));

        // Another card changing, then the typed card moving column: typing goes on in place.
        const auto typingGoesOn = [&](const char *more, const char *expected) {
            auto *focused = qobject_cast<GrowingField *>(QApplication::focusWidget());
            QVERIFY(focused);
            QVERIFY(focused->document()->isUndoAvailable());
            QTest::keyClicks(focused, QString::fromUtf8(more));
            QCOMPARE(storedCards(*model).at(0)["title"], JSON(expected));
            QCOMPARE(focused->text(), QString::fromUtf8(expected));
        };
        model->updateCard("board", "b", "title", QStringLiteral("B2"));
        QCOMPARE(titles(board, 2), QStringList({"B2"}));
        typingGoesOn("1", "PlXY1an");
        model->updateCard("board", "a", "status", QStringLiteral("En curso"));
        QCOMPARE(titles(board, 1), QStringList({"PlXY1an"}));
        typingGoesOn("2", "PlXY12an");

        // Return adds no line break to a title.
        QTest::keyClick(board.cards(1).at(0)->title(), Qt::Key_Return);
        QCOMPARE(storedCards(*model).at(0)["title"], JSON("PlXY12an"));
    }
};

QTEST_MAIN(TestBoardView)
#include "tst_boardview.moc"
