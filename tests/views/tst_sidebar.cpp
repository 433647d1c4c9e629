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

#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QToolButton>

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

QStringList ids(const PageTree &tree, const QTreeWidgetItem *parent = nullptr)
{
    QStringList out;
    const int count = parent ? parent->childCount() : tree.topLevelItemCount();
    for (int i = 0; i < count; ++i)
        out << (parent ? parent->child(i) : tree.topLevelItem(i))->data(0, TagRole).toString();
    return out;
}

// Clicks a tree row's disclosure arrow, left of its label.
void clickArrow(PageTree &tree, QTreeWidgetItem *item)
{
    const QRect label = tree.visualItemRect(item);
    QTest::mouseClick(tree.viewport(), Qt::LeftButton, {},
                      QPoint(label.left() - tree.indentation() / 2, label.center().y()));
}

QListView *list(const Sidebar &sidebar, const char *name)
{
    return sidebar.findChild<QListView *>(QString::fromLatin1(name));
}

} // namespace

class SidebarTest : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void showsTheSectionsOfTheWorkspace();
    void listsOnlyTheFirst150RootPages();
    void badDocumentsNeverNestForever();
    void switchingTheLanguageRelabelsAtOnce();
    void clickingARowSelectsItsTag();
    void treeLabelsOpenPagesAndArrowsExpandThem();
    void buttonsCreatePagesAndAskTheWindow();
    void anEditLeavesOtherRowsAndExpansionAlone();
    void administratorsSeeHowManyAccountsArePending();

private:
    void show(Sidebar &sidebar);

    XdgHome m_home;
    std::unique_ptr<WorkspaceModel> m_model;
};

void SidebarTest::init()
{
    QSettings().remove(QStringLiteral("language"));
    m_model = offlineModel();
    m_model->setWorkspace(sampleWorkspace());
}

void SidebarTest::show(Sidebar &sidebar)
{
    sidebar.resize(280, 900);
    sidebar.show();
    QVERIFY(QTest::qWaitForWindowExposed(&sidebar));
}

void SidebarTest::showsTheSectionsOfTheWorkspace()
{
    Sidebar sidebar(*m_model);
    QCOMPARE(tags(list(sidebar, "navigation")->model()), QStringList({"@meetings", "@pages"}));

    // Only a boolean true makes a favourite, and trashed pages are not listed.
    const QAbstractItemModel *favorites = list(sidebar, "favorites")->model();
    QCOMPARE(tags(favorites), QStringList({"b"}));
    QCOMPARE(texts(favorites), QStringList({"📄 Beta"}));
    m_model->toggleFavorite("a");
    m_model->rename("a", QStringLiteral("Álef"));
    QCOMPARE(texts(favorites), QStringList({"📄 Álef", "📄 Beta"})); // document order
    m_model->toggleFavorite("b");
    QCOMPARE(tags(favorites), QStringList({"a"}));

    // Roots only; the orphan's parent is trashed, so it is nowhere in the tree.
    PageTree &tree = *sidebar.pageTree();
    QCOMPARE(ids(tree), QStringList({"a", "b", "c", "s"}));
    QCOMPARE(tree.topLevelItem(0)->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);
    QVERIFY(!tree.row(QStringLiteral("o")));

    // A missing icon, title or parent reads as empty text, or a root.
    m_model->setWorkspace(workspace({JSON::object({{"id", "x"}, {"title", 7}})}));
    QCOMPARE(ids(tree), QStringList({"x"}));
    QCOMPARE(tree.topLevelItem(0)->text(0), " ");
}

void SidebarTest::listsOnlyTheFirst150RootPages()
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
    const PageTree &tree = *sidebar.pageTree();
    QCOMPARE(ids(tree), roots.mid(0, 150));

    // Trashing a listed root lets the next one in.
    m_model->updatePage("root-0", [](JSON &p) { p.set("trashed", true); });
    roots.removeOne(QStringLiteral("root-0"));
    QCOMPARE(ids(tree), roots.mid(0, 150));
}

void SidebarTest::badDocumentsNeverNestForever()
{
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
    Sidebar sidebar(*m_model);
    show(sidebar);
    PageTree &tree = *sidebar.pageTree();
    QCOMPARE(ids(tree), QStringList({"x", ""}));
    tree.expandItem(tree.topLevelItem(0));
    QCOMPARE(tree.topLevelItem(0)->childCount(), 0);

    // Documents that are not documents show empty sections; pages that are not objects read
    // as pages with nothing set.
    for (const JSON &bad : {JSON(), JSON("text"), JSON::object({{"pages", "none"}})}) {
        m_model->setWorkspace(bad);
        QCOMPARE(tree.topLevelItemCount() + list(sidebar, "favorites")->model()->rowCount(), 0);
    }
    m_model->setWorkspace(JSON::object({{"pages", JSON::array({1, "two", JSON()})}}));
    QCOMPARE(ids(tree), QStringList({"", "", ""}));
}

void SidebarTest::switchingTheLanguageRelabelsAtOnce()
{
    Sidebar sidebar(*m_model);
    show(sidebar);
    QCOMPARE(relabelFaults(*m_model), QString());
    // The rows are not widgets: spot-checked.
    const QAbstractItemModel *navigation = list(sidebar, "navigation")->model();
    QCOMPARE(texts(navigation), QStringList({"Reuniones", "Todas las páginas"}));
    m_model->setLanguage(QStringLiteral("en"));
    QCOMPARE(texts(navigation), QStringList({"Meetings", "All pages"}));
    // Any value but "en" is Spanish.
    m_model->setLanguage(QStringLiteral("fr"));
    QCOMPARE(texts(navigation), QStringList({"Reuniones", "Todas las páginas"}));
}

void SidebarTest::clickingARowSelectsItsTag()
{
    Sidebar sidebar(*m_model);
    show(sidebar);
    QListView *navigation = list(sidebar, "navigation");
    QListView *favorites = list(sidebar, "favorites");
    const auto selectedRow = [&] {
        return navigation->selectionModel()->selectedIndexes().value(0).row();
    };
    QCOMPARE(selectedRow(), 0); // the model starts on the meetings list

    clickRow(navigation, navigation->model()->index(1, 0));
    QCOMPARE(m_model->selection(), "@pages");
    QCOMPARE(selectedRow(), 1);

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
}

void SidebarTest::treeLabelsOpenPagesAndArrowsExpandThem()
{
    Sidebar sidebar(*m_model);
    show(sidebar);
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
    QCOMPARE(ids(tree, alpha), QStringList({"a1"}));
    QCOMPARE(m_model->selection(), "@pages");
    QCOMPARE(tree.height(), 5 * tree.visualItemRect(alpha).height());

    // A subpage is a row like any other.
    QTreeWidgetItem *one = alpha->child(0);
    QTest::mouseClick(tree.viewport(), Qt::LeftButton, {}, tree.visualItemRect(one).center());
    QCOMPARE(m_model->selection(), "a1");

    // A parent whose last child goes is a plain row again.
    m_model->updatePage("a1", [](JSON &p) { p.set("trashed", true); });
    QCOMPARE(alpha->childCount(), 0);
    QCOMPARE(alpha->childIndicatorPolicy(), QTreeWidgetItem::DontShowIndicator);
}

void SidebarTest::buttonsCreatePagesAndAskTheWindow()
{
    Sidebar sidebar(*m_model);
    QSignalSpy signOut(&sidebar, &Sidebar::signOutRequested);
    QSignalSpy settings(&sidebar, &Sidebar::settingsRequested);
    QSignalSpy import(&sidebar, &Sidebar::importRequested);

    // New pages are roots, selected in the tree.
    sidebar.findChild<QPushButton *>(QStringLiteral("newPage"))->click();
    const JSON document = m_model->selectedPage();
    QCOMPARE(document["kind"].stringValue(), std::string_view("document"));
    QVERIFY(sidebar.pageTree()->row(QString::fromUtf8(document.id()))->isSelected());
    sidebar.findChild<QPushButton *>(QStringLiteral("newBoard"))->click();
    QCOMPARE(m_model->selectedPage()["kind"].stringValue(), std::string_view("board"));

    sidebar.findChild<QPushButton *>(QStringLiteral("importNotion"))->click();
    sidebar.findChild<QToolButton *>(QStringLiteral("settings"))->click();
    sidebar.findChild<QPushButton *>(QStringLiteral("signOut"))->click();
    QCOMPARE(import.count() + settings.count(), 2);
    // Signing out is only asked for: the window confirms first.
    QCOMPARE(signOut.count(), 1);
    QVERIFY(m_model->dirty());
}

void SidebarTest::anEditLeavesOtherRowsAndExpansionAlone()
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
    QCOMPARE(texts(list(sidebar, "favorites")->model()), QStringList({"📄 Beta 2"}));
    m_model->newPage(QStringLiteral("document"), false, QStringLiteral("a"));
    m_model->select(QStringLiteral("a1a"));
    QCOMPARE(ids(tree, alpha).size(), 2);
    QVERIFY(alpha->child(0)->isExpanded());

    JSON reloaded = sampleWorkspace();
    reloaded.member("pages").elements().erase(reloaded.member("pages").elements().begin() + 4);
    m_model->setWorkspace(reloaded);
    QVERIFY(!tree.row("c"));
    QVERIFY(alpha->isExpanded() && tree.row("a1")->isExpanded());
    QVERIFY(tree.row("a1a")->isSelected());
}

void SidebarTest::administratorsSeeHowManyAccountsArePending()
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
    QListView *navigation = list(sidebar, "navigation");
    QCOMPARE(tags(navigation->model()), QStringList({"@meetings", "@pages", "@admin"}));
    const QModelIndex adminRow = navigation->model()->index(2, 0);
    QCOMPARE(adminRow.data(CountRole).toLongLong(), 2);
    QCOMPARE(sidebar.findChild<QLabel *>(QStringLiteral("email"))->text(), "admin@example.test");

    QVERIFY(server.setStatus(pending, QStringLiteral("approve")));
    QCOMPARE(errorOf(model->loadAccounts()), QString());
    QCOMPARE(adminRow.data(CountRole).toLongLong(), 1);
    show(sidebar);
    clickRow(navigation, adminRow);
    QCOMPARE(model->selection(), "@admin");

    // Signing out takes the row away.
    model->logout();
    QTRY_VERIFY(model->account().isNull());
    QCOMPARE(tags(navigation->model()), QStringList({"@meetings", "@pages"}));
    QCOMPARE(sidebar.findChild<QLabel *>(QStringLiteral("email"))->text(), QString());

    // An approved account that is not an administrator never sees it.
    auto memberModel = serverModel(server, member);
    QCOMPARE(errorOf(memberModel->connect()), QString());
    Sidebar memberSidebar(*memberModel);
    QCOMPARE(tags(list(memberSidebar, "navigation")->model()),
             QStringList({"@meetings", "@pages"}));
}

QTEST_MAIN(SidebarTest)
#include "tst_sidebar.moc"
