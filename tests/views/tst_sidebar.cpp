// The sidebar: its sections and rows, the private workspace's page tree, selection by clicking,
// edits that leave the rest of the tree alone, bad documents, the language, and the
// administration row with its count of pending accounts from the real server.

#include "support/modeltesting.h"
#include "support/relabelling.h"
#include "support/viewtesting.h"
#include "support/xdghome.h"
#include "views/pagetree.h"
#include "views/rowmodel.h"
#include "views/sidebar.h"

#include <QListView>
#include <QPushButton>
#include <QSettings>

using namespace quorvale;
using namespace quorvale::test;

namespace {

// The document most cases start from:
//   A (with A1, which has A1a), B (favourite), C;
//   T trashed and favourite; S favourite "true" as text; O under a trashed parent.
JSON sampleWorkspace()
{
    return workspace({
        page("a", "Alpha"),
        page("a1", "Alpha one", "a"),
        with(page("b", "Beta"), "favorite", true),
        page("a1a", "Alpha one a", "a1"),
        page("c", "Gamma"),
        with(with(page("t", "Trashed"), "favorite", true), "trashed", true),
        with(page("s", "Text favourite"), "favorite", "true"),
        page("o", "Orphan", "t"),
    });
}

// Clicks a tree row's disclosure arrow, left of its label.
void clickArrow(PageTree &tree, QTreeWidgetItem *item)
{
    const QRect label = tree.visualItemRect(item);
    QTest::mouseClick(tree.viewport(), Qt::LeftButton, {},
                      QPoint(label.left() - tree.indentation() / 2, label.center().y()));
}

} // namespace

class SidebarTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QSettings().remove(QStringLiteral("language"));
        m_model = offlineModel();
        m_model->setWorkspace(sampleWorkspace());
    }

    void showsTheSectionsOfTheWorkspaceInItsLanguage()
    {
        Sidebar sidebar(*m_model);
        show(sidebar);
        const QAbstractItemModel *navigation = child<QListView>(sidebar, "navigation")->model();
        QCOMPARE(tags(navigation), QStringList({"@meetings", "@pages"}));
        QCOMPARE(relabelFaults(*m_model), QString());
        // The rows are not widgets: spot-checked.
        m_model->setLanguage(QStringLiteral("en"));
        QCOMPARE(texts(navigation), QStringList({"Meetings", "All pages"}));

        // Only a boolean true makes a favourite, and trashed pages are not listed.
        const QAbstractItemModel *favorites = child<QListView>(sidebar, "favorites")->model();
        QCOMPARE(tags(favorites), QStringList({"b"}));
        m_model->toggleFavorite("a");
        m_model->rename("a", QStringLiteral("Álef"));
        QCOMPARE(texts(favorites), QStringList({"📄 Álef", "📄 Beta"})); // document order
        m_model->toggleFavorite("b");
        QCOMPARE(tags(favorites), QStringList({"a"}));

        // Roots only; the orphan's parent is trashed, so it is nowhere in the tree.
        PageTree &tree = *sidebar.pageTree();
        QCOMPARE(tags(tree.model()), QStringList({"a", "b", "c", "s"}));
        QCOMPARE(tree.topLevelItem(0)->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);
        QVERIFY(!tree.row(QStringLiteral("o")));

        // A missing icon, title or parent reads as empty text, or a root.
        m_model->setWorkspace(workspace({JSON::object({{"id", "x"}, {"title", 7}})}));
        QCOMPARE(tags(tree.model()), QStringList({"x"}));
        QCOMPARE(tree.topLevelItem(0)->text(0), " ");
    }

    void listsTheFirst150RootsAndNeverNestsForever()
    {
        JSON::Array pages;
        QStringList roots;
        for (int i = 0; i < 170; ++i) {
            const std::string id = "root-" + std::to_string(i);
            pages.push_back(page(id, "Root"));
            roots << QString::fromStdString(id);
            if (i % 3 == 0)
                pages.push_back(page("child-" + std::to_string(i), "Child", JSON(id)));
        }
        m_model->setWorkspace(workspace(pages));

        Sidebar sidebar(*m_model);
        PageTree &tree = *sidebar.pageTree();
        QCOMPARE(tags(tree.model()), roots.mid(0, 150));

        // Trashing a listed root lets the next one in.
        m_model->updatePage("root-0", [](JSON &p) { p.set("trashed", true); });
        roots.removeOne(QStringLiteral("root-0"));
        QCOMPARE(tags(tree.model()), roots.mid(0, 150));

        // A repeated id under itself, a page that is its own parent, and a page without an id at
        // the root with pages whose "parentId" is empty or not text.
        JSON noId = page("", "No id");
        noId.member("id") = JSON();
        m_model->setWorkspace(workspace({
            page("x", "First x"),
            page("x", "Second x", "x"),
            page("self", "Self", "self"),
            noId,
            page("e", "Empty parent", ""),
            with(page("n", "Number parent"), "parentId", 5),
        }));
        QCOMPARE(tags(tree.model()), QStringList({"x", ""}));
        tree.expandItem(tree.topLevelItem(0));
        QCOMPARE(tree.topLevelItem(0)->childCount(), 0);

        // Documents that are not documents show empty sections; pages that are not objects read
        // as pages with nothing set.
        for (const JSON &bad : {JSON(), JSON("text"), JSON::object({{"pages", "none"}})}) {
            m_model->setWorkspace(bad);
            QCOMPARE(tree.topLevelItemCount(), 0);
        }
        m_model->setWorkspace(JSON::object({{"pages", JSON::array({1, "two", JSON()})}}));
        QCOMPARE(tags(tree.model()), QStringList({"", "", ""}));
    }

    void clicksSelectArrowsExpandButtonsAdd()
    {
        Sidebar sidebar(*m_model);
        show(sidebar);
        QListView *navigation = child<QListView>(sidebar, "navigation");
        QListView *favorites = child<QListView>(sidebar, "favorites");
        const auto selectedRow = [&] {
            return navigation->selectionModel()->selectedIndexes().value(0).row();
        };
        QCOMPARE(selectedRow(), 0); // the model starts on the meetings list

        clickRow(navigation, navigation->model()->index(1, 0));
        QCOMPARE(m_model->selection(), "@pages");

        // A page both a favourite and a root: both rows are highlighted.
        clickRow(favorites, favorites->model()->index(0, 0));
        QCOMPARE(m_model->selection(), "b");
        QVERIFY(!navigation->selectionModel()->hasSelection());
        QVERIFY(sidebar.pageTree()->row(QStringLiteral("b"))->isSelected());

        // A selection made elsewhere (a link, the meetings list) moves the highlight too.
        m_model->select(QStringLiteral("c"));
        QVERIFY(!favorites->selectionModel()->hasSelection());
        m_model->select(QStringLiteral("@meetings"));
        QCOMPARE(selectedRow(), 0);
        QVERIFY(sidebar.pageTree()->selectedItems().isEmpty());

        // Deselecting a row (Ctrl+click) is ignored: the model's selection stays, and shows.
        QTest::mouseClick(navigation->viewport(), Qt::LeftButton, Qt::ControlModifier,
                          navigation->visualRect(navigation->model()->index(0, 0)).center());
        QCOMPARE(m_model->selection(), "@meetings");
        QCOMPARE(selectedRow(), 0);

        PageTree &tree = *sidebar.pageTree();
        QTreeWidgetItem *alpha = tree.row(QStringLiteral("a"));

        // The label of a collapsed parent opens the page without expanding it.
        QTest::mouseClick(tree.viewport(), Qt::LeftButton, {}, tree.visualItemRect(alpha).center());
        QCOMPARE(m_model->selection(), "a");
        QVERIFY(!alpha->isExpanded());

        // The arrow expands it and selects nothing; the tree grows to show every row.
        m_model->select(QStringLiteral("@pages"));
        clickArrow(tree, alpha);
        QVERIFY(alpha->isExpanded());
        QCOMPARE(tags(tree.model(), tree.model()->index(0, 0)), QStringList({"a1"}));
        QCOMPARE(m_model->selection(), "@pages");
        QCOMPARE(tree.height(), 5 * tree.visualItemRect(alpha).height());

        // A parent whose last child goes is a plain row again.
        m_model->updatePage("a1", [](JSON &p) { p.set("trashed", true); });
        QCOMPARE(alpha->childCount(), 0);
        QCOMPARE(alpha->childIndicatorPolicy(), QTreeWidgetItem::DontShowIndicator);

        // The buttons add root pages (the others are the window's: its suites click them).
        child<QPushButton>(sidebar, "newPage")->click();
        QVERIFY(tree.row(m_model->selection())->isSelected());
        QVERIFY(m_model->selectedPage()["parentId"].isNull());
        child<QPushButton>(sidebar, "newBoard")->click();
        QCOMPARE(m_model->selectedPage()["kind"].stringValue(), std::string_view("board"));
    }

    void anEditLeavesOtherRowsAndExpansionAlone()
    {
        Sidebar sidebar(*m_model);
        show(sidebar);
        PageTree &tree = *sidebar.pageTree();
        QTreeWidgetItem *alpha = tree.row(QStringLiteral("a"));
        tree.expandItem(alpha);
        tree.expandItem(alpha->child(0));
        m_model->select(QStringLiteral("a1a"));
        tree.setCurrentItem(tree.row(QStringLiteral("a1a")));
        const auto state = [&] {
            QStringList out;
            for (QTreeWidgetItemIterator it(&tree); *it; ++it)
                out << (*it)->text(0) + ((*it)->isExpanded() ? u'+' : u' ') +
                           ((*it)->isSelected() ? u'*' : u' ') +
                           (tree.currentItem() == *it ? u'>' : u' ');
            return out;
        };
        QStringList before = state();

        // Typing in a block, renaming, a new subpage, a reload without a page: each changes its own
        // row only; expansion, selection and the current row stay.
        m_model->updateBlock("c", "none", "text", "typed");
        QCOMPARE(state(), before);
        m_model->rename("b", QStringLiteral("Beta 2"));
        before[3].replace(QStringLiteral("Beta"), QStringLiteral("Beta 2"));
        QCOMPARE(state(), before);
        m_model->newPage(QStringLiteral("document"), false, QStringLiteral("a"));
        m_model->select(QStringLiteral("a1a"));
        QCOMPARE(tags(tree.model(), tree.model()->index(0, 0)).size(), 2);
        QVERIFY(alpha->child(0)->isExpanded());

        JSON reloaded = sampleWorkspace();
        reloaded.member("pages").elements().erase(reloaded.member("pages").elements().begin() + 4);
        m_model->setWorkspace(reloaded);
        QVERIFY(!tree.row("c"));
        QVERIFY(alpha->isExpanded() && tree.row("a1")->isExpanded());
        QVERIFY(tree.row("a1a")->isSelected());
    }

    void administratorsSeeHowManyAccountsArePending()
    {
        ReferenceServer server;
        QVERIFY(server.start());
        Accounts accounts(server);
        const QString admin = accounts.add(QStringLiteral("admin@example.test"));
        accounts.add(QStringLiteral("p1@example.test"), false);
        const QString pending = accounts.lastId();
        accounts.add(QStringLiteral("p2@example.test"), false);
        const QString member = accounts.add(QStringLiteral("ok@example.test"));

        auto model = serverModel(server, admin);
        QCOMPARE(errorOf(model->connect()), QString());
        Sidebar sidebar(*model);
        QListView *navigation = child<QListView>(sidebar, "navigation");
        QCOMPARE(tags(navigation->model()), QStringList({"@meetings", "@pages", "@admin"}));
        const QModelIndex adminRow = navigation->model()->index(2, 0);
        QCOMPARE(adminRow.data(CountRole).toLongLong(), 2);

        QVERIFY(server.setStatus(pending, QStringLiteral("approve")));
        QCOMPARE(errorOf(model->loadAccounts()), QString());
        QCOMPARE(adminRow.data(CountRole).toLongLong(), 1);

        // Signing out takes the row away.
        model->logout();
        QTRY_VERIFY(model->account().isNull());
        QCOMPARE(tags(navigation->model()), QStringList({"@meetings", "@pages"}));
        QCOMPARE(text(sidebar, "email"), QString());

        // An approved account that is not an administrator never sees it.
        auto memberModel = serverModel(server, member);
        QCOMPARE(errorOf(memberModel->connect()), QString());
        Sidebar memberSidebar(*memberModel);
        QCOMPARE(tags(child<QListView>(memberSidebar, "navigation")->model()),
                 QStringList({"@meetings", "@pages"}));
    }

private:
    void show(Sidebar &sidebar)
    {
        sidebar.resize(280, 900);
        sidebar.show();
        QVERIFY(QTest::qWaitForWindowExposed(&sidebar));
    }

    XdgHome m_home;
    std::unique_ptr<WorkspaceModel> m_model;
};

QTEST_MAIN(SidebarTest)
#include "tst_sidebar.moc"
