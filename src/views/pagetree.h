#pragma once

// The private workspace's pages as a tree: the first root pages of the visible pages, each with
// its subpages under a disclosure arrow. Clicking a row opens its page; the arrow expands it.
// Rows are reconciled by page id, so an edit elsewhere leaves a row and its expansion alone.
// Only expanded rows hold their children: a collapsed row forgets its subtree.

#include <QTreeWidget>

namespace quorvale {

class SelectionBinding;
class SidebarRowDelegate;
class WorkspaceModel;

class PageTree final : public QTreeWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PageTree)

public:
    // The sidebar lists at most this many root pages; the rest stay reachable through search.
    static constexpr int maxRoots = 150;

    explicit PageTree(WorkspaceModel &model, QWidget *parent = nullptr);

    // The row of the page with that id among the rows shown (expanded subtrees included), or
    // null.
    QTreeWidgetItem *row(const QString &id) const;

    // Number of rows shown: roots and the rows of expanded subtrees.
    int shownRows() const;

protected:
    void drawRow(QPainter *painter, const QStyleOptionViewItem &options,
                 const QModelIndex &index) const override;

private:
    struct Pages;
    void refresh();
    void expandRow(QTreeWidgetItem *item);
    void collapseRow(QTreeWidgetItem *item);
    void reconcileChildren(QTreeWidgetItem *parent, const Pages &pages);
    void dropCollapsedChildren(QTreeWidgetItem *parent);
    // The sidebar scrolls, not the tree: its height follows its rows.
    void fitHeight();

    WorkspaceModel &m_model;
    SidebarRowDelegate *m_delegate;
    SelectionBinding *m_selection = nullptr;
    bool m_reconciling = false;
    bool m_pruneQueued = false;
};

} // namespace quorvale
