// The sidebar: its sections and rows, the private workspace's page tree, selection by clicking,
// reconciliation by page id, bad documents, the language, and the administration row with its
// count of pending accounts from the real server.

#include "navtesting.h"
#include "views/pagetree.h"
#include "views/rowmodel.h"
#include "views/sidebar.h"

#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QToolButton>

using quorvale::JSON;
using quorvale::PageTree;
using quorvale::Sidebar;
using quorvale::WorkspaceModel;
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

QStringList topLevelIds(const PageTree &tree)
{
    QStringList ids;
    for (int i = 0; i < tree.topLevelItemCount(); ++i)
        ids << tree.topLevelItem(i)->data(0, quorvale::TagRole).toString();
    return ids;
}

QStringList childIds(const QTreeWidgetItem *item)
{
    QStringList ids;
    for (int i = 0; i < item->childCount(); ++i)
        ids << item->child(i)->data(0, quorvale::TagRole).toString();
    return ids;
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
    void initTestCase();
    void init();
    void cleanup();

    // What the sidebar shows.
    void showsTheSectionsOfTheWorkspace();
    void favoritesFollowTheDocument();
    void listsOnlyTheFirst150RootPages();
    void badDocumentsNeverNestForever();
    void switchingTheLanguageRelabelsAtOnce();

    // What the user does.
    void clickingARowSelectsItsTag();
    void treeLabelsOpenPagesAndArrowsExpandThem();
    void buttonsCreatePagesAndAskTheWindow();

    // Reconciliation.
    void anEditLeavesOtherRowsAndExpansionAlone();
    void aCollapsedRowForgetsItsSubtree();

    // With the real server.
    void administratorsSeeHowManyAccountsArePending();

private:
    void show(Sidebar &sidebar);

    QTemporaryDir m_home;
    std::unique_ptr<WorkspaceModel> m_model;
};

void SidebarTest::initTestCase()
{
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_home.filePath(QStringLiteral("data"))));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.filePath(QStringLiteral("config"))));
}

void SidebarTest::init()
{
    QSettings().remove(QStringLiteral("language"));
    m_model = offlineModel();
    m_model->setWorkspace(sampleWorkspace());
}

void SidebarTest::cleanup()
{
    m_model.reset();
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
    auto *navigation = sidebar.findChild<QListView *>(QStringLiteral("navigation"));
    auto *favorites = sidebar.findChild<QListView *>(QStringLiteral("favorites"));
    QCOMPARE(tags(navigation->model()), QStringList({"@meetings", "@pages"}));
    QCOMPARE(texts(navigation->model()), QStringList({"Reuniones", "Todas las páginas"}));
    QCOMPARE(sidebar.findChild<QLabel *>(QStringLiteral("quorvaleHeader"))->text(), "Quorvale");
    QCOMPARE(sidebar.findChild<QLabel *>(QStringLiteral("favoritesHeader"))->text(), "Favoritos");
    QCOMPARE(sidebar.findChild<QLabel *>(QStringLiteral("privateHeader"))->text(),
             "Espacio privado");

    // Only a boolean true makes a favourite, and trashed pages are not listed.
    QCOMPARE(tags(favorites->model()), QStringList({"b"}));
    QCOMPARE(texts(favorites->model()), QStringList({"📄 Beta"}));

    // Roots only; the orphan's parent is trashed, so it is nowhere in the tree.
    PageTree &tree = *sidebar.pageTree();
    QCOMPARE(topLevelIds(tree), QStringList({"a", "b", "c", "s"}));
    QCOMPARE(tree.topLevelItem(0)->text(0), "📄 Alpha");
    QCOMPARE(tree.topLevelItem(0)->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);
    QCOMPARE(tree.topLevelItem(1)->childIndicatorPolicy(), QTreeWidgetItem::DontShowIndicator);
    QVERIFY(!tree.row(QStringLiteral("o")));
    QCOMPARE(tree.shownRows(), 4);

    // A missing icon or title reads as empty text; the row stays on one line.
    m_model->setWorkspace(workspace({JSON::object({{"id", "x"}, {"title", 7}})}));
    QCOMPARE(topLevelIds(tree), QStringList({"x"}));
    QCOMPARE(tree.topLevelItem(0)->text(0), " ");

    QCOMPARE(sidebar.findChild<QLabel *>(QStringLiteral("email"))->text(), QString());
}

void SidebarTest::favoritesFollowTheDocument()
{
    m_model->setWorkspace(workspace({page("a", "Alpha"), page("b", "Beta")}));
    Sidebar sidebar(*m_model);
    auto *favorites = sidebar.findChild<QListView *>(QStringLiteral("favorites"));
    // The section is there, header and all, with no favourite.
    QCOMPARE(favorites->model()->rowCount(), 0);
    QVERIFY(!sidebar.findChild<QLabel *>(QStringLiteral("favoritesHeader"))->text().isEmpty());

    m_model->toggleFavorite("b");
    QCOMPARE(tags(favorites->model()), QStringList({"b"}));
    m_model->toggleFavorite("a");
    QCOMPARE(tags(favorites->model()), QStringList({"a", "b"})); // document order
    m_model->rename("a", QStringLiteral("Álef"));
    QCOMPARE(texts(favorites->model()), QStringList({"📄 Álef", "📄 Beta"}));
    m_model->toggleFavorite("b");
    QCOMPARE(tags(favorites->model()), QStringList({"a"}));
}

void SidebarTest::listsOnlyTheFirst150RootPages()
{
    JSON::Array pages;
    QStringList roots;
    for (int i = 0; i < 170; ++i) {
        const std::string id = "root-" + std::to_string(i);
        pages.push_back(page(id, "Root " + std::to_string(i)));
        roots << QString::fromStdString(id);
        if (i % 3 == 0)
            pages.push_back(page("child-" + std::to_string(i), "Child", JSON(id)));
    }
    // A "parentId" that is missing counts as a root; one that is "" does not.
    JSON noParent = page("no-parent", "No parent");
    noParent.member("parentId") = JSON();
    pages.insert(pages.begin(), noParent);
    pages.insert(pages.begin() + 1, page("empty-parent", "Empty parent", ""));
    roots.prepend(QStringLiteral("no-parent"));
    m_model->setWorkspace(workspace(pages));

    Sidebar sidebar(*m_model);
    const PageTree &tree = *sidebar.pageTree();
    QCOMPARE(tree.topLevelItemCount(), PageTree::maxRoots);
    QCOMPARE(topLevelIds(tree), roots.mid(0, 150));
    QVERIFY(!tree.row(QStringLiteral("root-149")));
    QVERIFY(tree.row(QStringLiteral("root-148")));
    QVERIFY(!tree.row(QStringLiteral("empty-parent")));

    // Trashing a listed root lets the next one in.
    m_model->updatePage("root-0", [](JSON &p) { p.set("trashed", true); });
    QCOMPARE(tree.topLevelItemCount(), PageTree::maxRoots);
    QVERIFY(tree.row(QStringLiteral("root-149")));
    QVERIFY(!tree.row(QStringLiteral("root-0")));
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
    QCOMPARE(topLevelIds(tree), QStringList({"x", ""}));
    for (int i = 0; i < tree.topLevelItemCount(); ++i)
        QCOMPARE(tree.topLevelItem(i)->childIndicatorPolicy(), QTreeWidgetItem::DontShowIndicator);
    tree.expandItem(tree.topLevelItem(0));
    QCOMPARE(tree.topLevelItem(0)->childCount(), 0);

    // Documents that are not documents show empty sections; pages that are not objects read
    // as pages with nothing set.
    for (const JSON &bad : {JSON(), JSON("text"), JSON::object({{"pages", "none"}})}) {
        m_model->setWorkspace(bad);
        QCOMPARE(tree.topLevelItemCount(), 0);
        QCOMPARE(sidebar.findChild<QListView *>(QStringLiteral("favorites"))->model()->rowCount(),
                 0);
    }
    m_model->setWorkspace(JSON::object({{"pages", JSON::array({1, "two", JSON()})}}));
    QCOMPARE(topLevelIds(tree), QStringList({"", "", ""}));
    QCOMPARE(tree.topLevelItem(2)->text(0), " ");
}

void SidebarTest::switchingTheLanguageRelabelsAtOnce()
{
    Sidebar sidebar(*m_model);
    auto *navigation = sidebar.findChild<QListView *>(QStringLiteral("navigation"));
    m_model->setLanguage(QStringLiteral("en"));
    QCOMPARE(texts(navigation->model()), QStringList({"Meetings", "All pages"}));
    QCOMPARE(sidebar.findChild<QLabel *>(QStringLiteral("favoritesHeader"))->text(), "Favorites");
    QCOMPARE(sidebar.findChild<QLabel *>(QStringLiteral("privateHeader"))->text(),
             "Private workspace");
    QCOMPARE(sidebar.findChild<QPushButton *>(QStringLiteral("newPage"))->text(), "New page");
    QCOMPARE(sidebar.findChild<QPushButton *>(QStringLiteral("newBoard"))->text(), "New board");
    QCOMPARE(sidebar.findChild<QPushButton *>(QStringLiteral("importNotion"))->text(),
             "Import from Notion");
    QCOMPARE(sidebar.findChild<QPushButton *>(QStringLiteral("signOut"))->text(), "Sign out");
    QCOMPARE(sidebar.findChild<QLabel *>(QStringLiteral("quorvaleHeader"))->text(), "Quorvale");

    // Any value but "en" is Spanish.
    m_model->setLanguage(QStringLiteral("fr"));
    QCOMPARE(texts(navigation->model()), QStringList({"Reuniones", "Todas las páginas"}));
    QCOMPARE(sidebar.findChild<QPushButton *>(QStringLiteral("signOut"))->text(), "Salir");
}

void SidebarTest::clickingARowSelectsItsTag()
{
    Sidebar sidebar(*m_model);
    show(sidebar);
    auto *navigation = sidebar.findChild<QListView *>(QStringLiteral("navigation"));
    auto *favorites = sidebar.findChild<QListView *>(QStringLiteral("favorites"));
    // The model starts on the meetings list, and its row shows it.
    QCOMPARE(navigation->selectionModel()->selectedIndexes().value(0).row(), 0);

    clickRow(navigation, navigation->model()->index(1, 0));
    QCOMPARE(m_model->selection(), "@pages");
    QCOMPARE(navigation->selectionModel()->selectedIndexes().value(0).row(), 1);

    clickRow(favorites, favorites->model()->index(0, 0));
    QCOMPARE(m_model->selection(), "b");
    QVERIFY(!navigation->selectionModel()->hasSelection());
    // The page is both a favourite and a root: both rows are highlighted.
    QVERIFY(sidebar.pageTree()->row(QStringLiteral("b"))->isSelected());

    // A selection made elsewhere (a link, the meetings list) moves the highlight too.
    m_model->select(QStringLiteral("c"));
    QVERIFY(!favorites->selectionModel()->hasSelection());
    QVERIFY(sidebar.pageTree()->row(QStringLiteral("c"))->isSelected());
    m_model->select(QStringLiteral("@meetings"));
    QCOMPARE(navigation->selectionModel()->selectedIndexes().value(0).row(), 0);
    QVERIFY(sidebar.pageTree()->selectedItems().isEmpty());

    // Deselecting a row (Ctrl+click) is ignored: the model's selection stays, and shows.
    QTest::mouseClick(navigation->viewport(), Qt::LeftButton, Qt::ControlModifier,
                      navigation->visualRect(navigation->model()->index(0, 0)).center());
    QCOMPARE(m_model->selection(), "@meetings");
    QCOMPARE(navigation->selectionModel()->selectedIndexes().value(0).row(), 0);
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
    QCOMPARE(alpha->childCount(), 0);

    // The arrow expands it and selects nothing.
    m_model->select(QStringLiteral("@pages"));
    clickArrow(tree, alpha);
    QVERIFY(alpha->isExpanded());
    QCOMPARE(childIds(alpha), QStringList({"a1"}));
    QCOMPARE(m_model->selection(), "@pages");
    QCOMPARE(tree.shownRows(), 5);
    QCOMPARE(tree.height(), 5 * tree.visualItemRect(alpha).height());

    // A subpage is a row like any other.
    QTreeWidgetItem *one = alpha->child(0);
    QTest::mouseClick(tree.viewport(), Qt::LeftButton, {}, tree.visualItemRect(one).center());
    QCOMPARE(m_model->selection(), "a1");
    QCOMPARE(one->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);
    clickArrow(tree, one);
    QCOMPARE(childIds(one), QStringList({"a1a"}));
}

void SidebarTest::buttonsCreatePagesAndAskTheWindow()
{
    Sidebar sidebar(*m_model);
    QSignalSpy signOut(&sidebar, &Sidebar::signOutRequested);
    QSignalSpy settings(&sidebar, &Sidebar::settingsRequested);
    QSignalSpy import(&sidebar, &Sidebar::importRequested);

    sidebar.findChild<QPushButton *>(QStringLiteral("newPage"))->click();
    const JSON document = m_model->selectedPage();
    QCOMPARE(document["kind"].stringValue(), std::string_view("document"));
    QVERIFY(document["parentId"].isNull());
    QVERIFY(!document.contains("meeting"));
    QVERIFY(sidebar.pageTree()->row(QString::fromUtf8(document.id()))->isSelected());

    sidebar.findChild<QPushButton *>(QStringLiteral("newBoard"))->click();
    QCOMPARE(m_model->selectedPage()["kind"].stringValue(), std::string_view("board"));
    QCOMPARE(m_model->visiblePages().size(), std::size_t(9));

    sidebar.findChild<QPushButton *>(QStringLiteral("importNotion"))->click();
    sidebar.findChild<QToolButton *>(QStringLiteral("settings"))->click();
    sidebar.findChild<QPushButton *>(QStringLiteral("signOut"))->click();
    QCOMPARE(import.count(), 1);
    QCOMPARE(settings.count(), 1);
    // Signing out is only asked for: the window confirms first.
    QCOMPARE(signOut.count(), 1);
    QVERIFY(!m_model->busy());
    QVERIFY(m_model->dirty());
}

void SidebarTest::anEditLeavesOtherRowsAndExpansionAlone()
{
    Sidebar sidebar(*m_model);
    PageTree &tree = *sidebar.pageTree();
    QTreeWidgetItem *alpha = tree.row(QStringLiteral("a"));
    tree.expandItem(alpha);
    QTreeWidgetItem *one = alpha->child(0);
    tree.expandItem(one);
    const QList<QTreeWidgetItem *> before = {alpha,         one,           one->child(0),
                                             tree.row("b"), tree.row("c"), tree.row("s")};

    QAbstractItemModel *rows = tree.model();
    QSignalSpy changed(rows, &QAbstractItemModel::dataChanged);
    QSignalSpy inserted(rows, &QAbstractItemModel::rowsInserted);
    QSignalSpy removed(rows, &QAbstractItemModel::rowsRemoved);
    QSignalSpy reset(rows, &QAbstractItemModel::modelReset);
    auto *favorites = sidebar.findChild<QListView *>(QStringLiteral("favorites"))->model();
    QSignalSpy favoriteChanged(favorites, &QAbstractItemModel::dataChanged);
    QSignalSpy favoriteReset(favorites, &QAbstractItemModel::modelReset);

    // Typing in a block changes no row; renaming one page changes that row only.
    m_model->updateBlock("c", "none", "text", "typed");
    QCOMPARE(changed.count(), 0);
    m_model->rename("a1a", QStringLiteral("Renamed"));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(one->child(0)->text(0), "📄 Renamed");
    m_model->rename("b", QStringLiteral("Beta 2"));
    QCOMPARE(changed.count(), 2);
    QCOMPARE(favoriteChanged.count(), 1);

    QCOMPARE(inserted.count(), 0);
    QCOMPARE(removed.count(), 0);
    QCOMPARE(reset.count(), 0);
    QCOMPARE(favoriteReset.count(), 0);
    const QList<QTreeWidgetItem *> after = {tree.row("a"), tree.row("a1"), tree.row("a1a"),
                                            tree.row("b"), tree.row("c"),  tree.row("s")};
    QCOMPARE(after, before);
    QVERIFY(alpha->isExpanded());
    QVERIFY(one->isExpanded());

    // A new subpage appears under its expanded parent; its siblings stay.
    m_model->newPage(QStringLiteral("document"), false, QStringLiteral("a"));
    QCOMPARE(alpha->childCount(), 2);
    QCOMPARE(alpha->child(0), one);
    QVERIFY(one->isExpanded());
    QCOMPARE(removed.count(), 0);

    // A reload that drops a page removes its row and keeps the rest.
    JSON reloaded = sampleWorkspace();
    reloaded.member("pages").elements().erase(reloaded.member("pages").elements().begin() + 4);
    m_model->setWorkspace(reloaded);
    QVERIFY(!tree.row("c"));
    QCOMPARE(tree.row("a"), alpha);
    QCOMPARE(tree.row("a1"), one);
    QVERIFY(one->isExpanded());
}

void SidebarTest::aCollapsedRowForgetsItsSubtree()
{
    Sidebar sidebar(*m_model);
    PageTree &tree = *sidebar.pageTree();
    QTreeWidgetItem *alpha = tree.row(QStringLiteral("a"));
    tree.expandItem(alpha);
    tree.expandItem(alpha->child(0));
    QCOMPARE(tree.shownRows(), 6);

    tree.collapseItem(alpha);
    QTRY_COMPARE(alpha->childCount(), 0);
    QCOMPARE(tree.shownRows(), 4);
    QCOMPARE(alpha->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);

    // Expanded again, its child starts collapsed.
    tree.expandItem(alpha);
    QCOMPARE(childIds(alpha), QStringList({"a1"}));
    QVERIFY(!alpha->child(0)->isExpanded());
    QCOMPARE(alpha->child(0)->childCount(), 0);

    // A parent whose last child goes is a plain row again.
    m_model->updatePage("a1", [](JSON &p) { p.set("trashed", true); });
    QCOMPARE(alpha->childCount(), 0);
    QCOMPARE(alpha->childIndicatorPolicy(), QTreeWidgetItem::DontShowIndicator);
}

void SidebarTest::administratorsSeeHowManyAccountsArePending()
{
    ReferenceServer server;
    QVERIFY(server.start());
    const QString admin = server.addAccount(QStringLiteral("admin@example.test"));
    const QString pending = server.addAccount(QStringLiteral("p1@example.test"));
    server.addAccount(QStringLiteral("p2@example.test"));
    const QString approved = server.addAccount(QStringLiteral("ok@example.test"));
    const QString rejected = server.addAccount(QStringLiteral("no@example.test"));
    QVERIFY(server.setStatus(approved, QStringLiteral("approve")));
    QVERIFY(server.setStatus(rejected, QStringLiteral("reject")));

    auto model = serverModel(server, server.token(admin));
    QCOMPARE(errorOf(model->connect()), QString());
    QVERIFY(model->isAdmin());
    Sidebar sidebar(*model);
    auto *navigation = sidebar.findChild<QListView *>(QStringLiteral("navigation"));
    QCOMPARE(tags(navigation->model()), QStringList({"@meetings", "@pages", "@admin"}));
    const QModelIndex adminRow = navigation->model()->index(2, 0);
    QCOMPARE(adminRow.data(Qt::DisplayRole).toString(), "Administración");
    QCOMPARE(model->accounts().size(), std::size_t(5));
    QCOMPARE(adminRow.data(quorvale::CountRole).toLongLong(), 2);
    QCOMPARE(sidebar.findChild<QLabel *>(QStringLiteral("email"))->text(), "admin@example.test");

    QVERIFY(server.setStatus(pending, QStringLiteral("approve")));
    QCOMPARE(errorOf(model->loadAccounts()), QString());
    QCOMPARE(adminRow.data(quorvale::CountRole).toLongLong(), 1);

    show(sidebar);
    clickRow(navigation, adminRow);
    QCOMPARE(model->selection(), "@admin");

    // Signing out takes the row away.
    model->logout();
    QTRY_VERIFY(model->account().isNull());
    QCOMPARE(tags(navigation->model()), QStringList({"@meetings", "@pages"}));
    QCOMPARE(sidebar.findChild<QLabel *>(QStringLiteral("email"))->text(), QString());

    // An approved account that is not an administrator never sees it.
    auto member = serverModel(server, server.token(approved));
    QCOMPARE(errorOf(member->connect()), QString());
    QVERIFY(member->approved());
    Sidebar memberSidebar(*member);
    QCOMPARE(tags(memberSidebar.findChild<QListView *>(QStringLiteral("navigation"))->model()),
             QStringList({"@meetings", "@pages"}));
}

QTEST_MAIN(SidebarTest)
#include "tst_sidebar.moc"
