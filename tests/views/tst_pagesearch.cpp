// "All pages": the search in titles and block texts that ignores case and accents, the result
// rows as the document and the search change, selection, the imported tag and the language.

#include "support/modeltesting.h"
#include "support/relabelling.h"
#include "support/viewtesting.h"
#include "support/xdghome.h"
#include "views/pagesearchview.h"
#include "views/rowmodel.h"

#include <QLineEdit>
#include <QListView>
#include <QSettings>

using namespace quorvale;
using namespace quorvale::test;

namespace {

JSON blocks(std::initializer_list<JSON> texts)
{
    JSON list = JSON::array();
    for (const JSON &text : texts)
        list.append(JSON::object({{"id", "b"}, {"type", "text"}, {"text", text}}));
    return list;
}

} // namespace

class PageSearchTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QSettings().remove(QStringLiteral("language"));
        m_model = offlineModel();
        m_model->setWorkspace(workspace({
            page("team", "Reunión de equipo"),
            with(page("year", "Año nuevo"), "blocks", blocks({"Presupuesto anual", 42})),
            with(page("plain", "Plain"), "blocks", blocks({JSON(), "la oﬁcina cerró"})),
            with(with(page("gone", "Reunión borrada"), "trashed", true), "blocks",
                 blocks({"presupuesto"})),
            with(with(page("notion", "Importada de Notion"), "importBatchId", "batch-1"), "blocks",
                 "not a list"),
            with(page("empty", ""), "importBatchId", ""),
        }));
    }

    void findsTitlesAndBlockTextsWhateverTheCaseAndAccents_data()
    {
        QTest::addColumn<QString>("search");
        QTest::addColumn<QStringList>("results");

        // How text folds is the document suite's; here, what is searched and what is listed.
        QTest::newRow("empty: every visible page")
            << "" << QStringList{"team", "year", "plain", "notion", "empty"};
        QTest::newRow("only in a block, not in the trash") << "presupuesto" << QStringList{"year"};
        QTest::newRow("a ligature in a later block") << "oficina" << QStringList{"plain"};
        QTest::newRow("a space is searched for")
            << " " << QStringList{"team", "year", "plain", "notion"};
        QTest::newRow("numbers in blocks are not text") << "42" << QStringList{};
        QTest::newRow("a search that folds to nothing")
            << "\u0301" << QStringList{"team", "year", "plain", "notion", "empty"};
    }

    void findsTitlesAndBlockTextsWhateverTheCaseAndAccents()
    {
        QFETCH(QString, search);
        QFETCH(QStringList, results);

        PageSearchView view(*m_model);
        view.setSearch(search);
        QCOMPARE(tags(child<QListView>(view, "results")->model()), results);
    }

    void resultsFollowTheDocumentTheSelectionAndTheLanguage()
    {
        PageSearchView view(*m_model);
        view.resize(800, 600);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        auto *list = child<QListView>(view, "results");
        const QAbstractItemModel *rows = list->model();
        QCOMPARE(column(rows, DetailRole), QStringList({"", "", "", "Importada", ""}));
        clickRow(list, rows->index(2, 0));
        QCOMPARE(m_model->selection(), "plain");

        // The highlight follows the selected page as the search narrows and widens.
        QTest::keyClicks(child<QLineEdit>(view, "search"), QStringLiteral("ofi"));
        QCOMPARE(list->selectionModel()->selectedIndexes().value(0).row(), 0);
        view.setSearch(QStringLiteral("reunion"));
        QVERIFY(!list->selectionModel()->hasSelection());
        QCOMPARE(m_model->selection(), "plain");

        // A page renamed, or a block typed, while the search is open shows up at once.
        view.setSearch(QStringLiteral("informe"));
        QCOMPARE(rows->rowCount(), 0);
        m_model->rename("plain", QStringLiteral("Informe final"));
        QCOMPARE(texts(rows), QStringList({"📄 Informe final"}));
        QCOMPARE(list->selectionModel()->selectedIndexes().value(0).row(), 0);
        m_model->updatePage("team", [](JSON &p) { p.set("blocks", blocks({"Ver el INFORME"})); });
        QCOMPARE(tags(rows), QStringList({"team", "plain"}));
        m_model->updatePage("plain", [](JSON &p) { p.set("trashed", true); });
        QCOMPARE(tags(rows), QStringList({"team"}));

        // Relabelled at once, the imported tag included; what the user typed stays.
        view.setSearch(QStringLiteral("notion"));
        QCOMPARE(relabelFaults(*m_model), QString());
        m_model->setLanguage(QStringLiteral("en"));
        QCOMPARE(column(rows, DetailRole), QStringList({"Imported"}));
        QCOMPARE(view.search(), "notion");
    }

private:
    XdgHome m_home;
    std::unique_ptr<WorkspaceModel> m_model;
};

QTEST_MAIN(PageSearchTest)
#include "tst_pagesearch.moc"
