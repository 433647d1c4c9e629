#include "pagetree.h"
#include "files/jsontext.h"

#include "model/workspacemodel.h"
#include "rowmodel.h"
#include "sidebarrow.h"
#include "style/navstyle.h"

#include <QPainter>
#include <QTimer>

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quorvale {

namespace {

struct TreeRow
{
    QString id;
    QString text;
    bool hasChildren = false;
};

bool contains(const std::vector<std::string_view> &ids, std::string_view id)
{
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// Sets what a row shows, touching the item only where it changed.
void show(QTreeWidgetItem *item, const TreeRow &row)
{
    if (item->data(0, TagRole).toString() != row.id)
        item->setData(0, TagRole, row.id);
    if (item->text(0) != row.text)
        item->setText(0, row.text);
    const auto policy =
        row.hasChildren ? QTreeWidgetItem::ShowIndicator : QTreeWidgetItem::DontShowIndicator;
    if (item->childIndicatorPolicy() != policy)
        item->setChildIndicatorPolicy(policy);
}

} // namespace

// The visible pages, their first root pages and their children by parent id, for one pass over
// the tree.
struct PageTree::Pages
{
    JSON::Array pages; // keeps the views of ids below alive
    std::vector<std::size_t> roots;
    std::unordered_map<std::string_view, std::vector<std::size_t>> children;

    explicit Pages(JSON::Array visible)
        : pages(std::move(visible))
    {
        for (std::size_t i = 0; i < pages.size(); ++i) {
            const JSON &parent = pages[i]["parentId"];
            if (parent.isNull()) {
                if (roots.size() < static_cast<std::size_t>(maxRoots))
                    roots.push_back(i);
            } else if (!parent.stringValue().empty()) {
                children[parent.stringValue()].push_back(i);
            }
        }
    }

    // A page cannot be listed under itself: with repeated ids (bad data) a page could otherwise
    // be its own descendant, without end. A page without an id has no subpages.
    bool nests(std::string_view id, const std::vector<std::string_view> &ancestors) const
    {
        return !id.empty() && !contains(ancestors, id);
    }

    const std::vector<std::size_t> *childrenOf(std::string_view id) const
    {
        if (id.empty())
            return nullptr;
        const auto found = children.find(id);
        return found == children.end() ? nullptr : &found->second;
    }

    // ancestors: the ids of the rows above, the parent's own last.
    std::vector<TreeRow> rows(const std::vector<std::size_t> &indexes,
                              std::vector<std::string_view> &ancestors) const
    {
        std::vector<TreeRow> out;
        out.reserve(indexes.size());
        for (const std::size_t i : indexes) {
            const JSON &page = pages[i];
            const std::string_view id = page.id();
            if (!ancestors.empty() && contains(ancestors, id))
                continue;
            TreeRow row{jsontext::text(id),
                        pageRowText(page["icon"].stringValue(), page["title"].stringValue())};
            if (const auto *below = childrenOf(id)) {
                ancestors.push_back(id);
                row.hasChildren = std::any_of(below->begin(), below->end(), [&](std::size_t c) {
                    return nests(pages[c].id(), ancestors);
                });
                ancestors.pop_back();
            }
            out.push_back(std::move(row));
        }
        return out;
    }
};

namespace {

// Makes every row of the subtree that holds children expanded again: only expanded rows hold
// children, so the structure is the expansion.
void reexpand(QTreeWidgetItem *item)
{
    std::vector<QTreeWidgetItem *> pending{item};
    while (!pending.empty()) {
        QTreeWidgetItem *next = pending.back();
        pending.pop_back();
        if (!next || next->childCount() == 0)
            continue;
        next->setExpanded(true);
        for (int i = 0; i < next->childCount(); ++i)
            pending.push_back(next->child(i));
    }
}

struct ItemTarget
{
    QTreeWidgetItem *parent;

    int count() const { return parent->childCount(); }
    QString key(int i) const { return parent->child(i)->data(0, TagRole).toString(); }

    void remove(int first, int last)
    {
        for (int i = last; i >= first; --i)
            delete parent->takeChild(i);
    }

    void insert(int at, const TreeRow *rows, int n)
    {
        QList<QTreeWidgetItem *> items;
        items.reserve(n);
        for (int i = 0; i < n; ++i) {
            auto *item = new QTreeWidgetItem;
            item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
            show(item, rows[i]);
            items.append(item);
        }
        parent->insertChildren(at, items);
    }

    void move(int from, int to)
    {
        QTreeWidgetItem *item = parent->takeChild(from);
        parent->insertChild(to, item);
        reexpand(item);
    }

    void update(int at, const TreeRow &row)
    {
        QTreeWidgetItem *item = parent->child(at);
        show(item, row);
        if (!row.hasChildren && item->childCount() > 0) {
            qDeleteAll(item->takeChildren());
            item->setExpanded(false);
        }
    }

    void reset(const std::vector<TreeRow> &rows)
    {
        qDeleteAll(parent->takeChildren());
        if (!rows.empty())
            insert(0, rows.data(), static_cast<int>(rows.size()));
    }
};

} // namespace

PageTree::PageTree(WorkspaceModel &model, QWidget *parent)
    : QTreeWidget(parent)
    , m_model(model)
    , m_delegate(new SidebarRowDelegate(this))
{
    setFont(navstyle::withEmoji(font()));
    setHeaderHidden(true);
    setColumnCount(1);
    setUniformRowHeights(true);
    setIndentation(14);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setSizeAdjustPolicy(QAbstractScrollArea::AdjustIgnored);
    setTextElideMode(Qt::ElideRight);
    setMouseTracking(true);
    setAutoScroll(false);
    viewport()->setAutoFillBackground(false);
    m_delegate->setPaintsSelection(false);
    setItemDelegate(m_delegate);
    const auto relabel = [this] { setAccessibleName(m_model.text("Páginas", "Pages")); };
    connect(&m_model, &WorkspaceModel::languageChanged, this, relabel);
    relabel();

    connect(this, &QTreeWidget::itemExpanded, this, &PageTree::expandRow);
    connect(this, &QTreeWidget::itemCollapsed, this, &PageTree::collapseRow);
    connect(&m_model, &WorkspaceModel::workspaceChanged, this, &PageTree::refresh);
    m_selection = new SelectionBinding(this, m_model);
    refresh();
}

QTreeWidgetItem *PageTree::row(const QString &id) const
{
    const QModelIndexList found =
        model()->match(model()->index(0, 0), TagRole, id, 1, Qt::MatchExactly | Qt::MatchRecursive);
    return found.isEmpty() ? nullptr : itemFromIndex(found.first());
}

int PageTree::shownRows() const
{
    int rows = 0;
    std::vector<const QTreeWidgetItem *> pending{invisibleRootItem()};
    while (!pending.empty()) {
        const QTreeWidgetItem *item = pending.back();
        pending.pop_back();
        if (!item)
            continue;
        rows += item->childCount();
        for (int i = 0; i < item->childCount(); ++i)
            pending.push_back(item->child(i));
    }
    return rows;
}

void PageTree::refresh()
{
    m_reconciling = true;
    const Pages pages(m_model.visiblePages());
    reconcileChildren(invisibleRootItem(), pages);
    m_reconciling = false;
    fitHeight();
    m_selection->sync();
}

void PageTree::reconcileChildren(QTreeWidgetItem *parent, const Pages &pages)
{
    std::vector<std::string_view> ancestors;
    std::vector<std::string> held; // the ids of the rows above, owned while this runs
    for (const QTreeWidgetItem *above = parent; above != invisibleRootItem();
         above = above->parent() ? above->parent() : invisibleRootItem())
        held.push_back(above->data(0, TagRole).toString().toStdString());
    for (auto it = held.rbegin(); it != held.rend(); ++it)
        ancestors.push_back(*it);

    std::vector<TreeRow> rows;
    if (parent == invisibleRootItem()) {
        rows = pages.rows(pages.roots, ancestors);
    } else if (const auto *below = pages.childrenOf(ancestors.back())) {
        rows = pages.rows(*below, ancestors);
    }
    ItemTarget target{parent};
    reconcileRows(target, rows);

    for (int i = 0; i < parent->childCount(); ++i) {
        QTreeWidgetItem *item = parent->child(i);
        if (!item)
            continue;
        if (item->childCount() > 0 && !item->isExpanded())
            qDeleteAll(item->takeChildren());
        else if (item->childCount() > 0)
            reconcileChildren(item, pages);
    }
}

void PageTree::expandRow(QTreeWidgetItem *item)
{
    if (m_reconciling)
        return;
    m_reconciling = true;
    const Pages pages(m_model.visiblePages());
    reconcileChildren(item, pages);
    if (item->childCount() == 0) {
        item->setExpanded(false);
        item->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicator);
    }
    m_reconciling = false;
    fitHeight();
    m_selection->sync();
}

void PageTree::collapseRow(QTreeWidgetItem *)
{
    if (m_reconciling || m_pruneQueued)
        return;
    // The view is still inside its collapse when it tells us; the rows go once it is done.
    m_pruneQueued = true;
    QTimer::singleShot(0, this, [this] {
        m_pruneQueued = false;
        dropCollapsedChildren(invisibleRootItem());
        fitHeight();
    });
}

void PageTree::dropCollapsedChildren(QTreeWidgetItem *parent)
{
    for (int i = 0; i < parent->childCount(); ++i) {
        QTreeWidgetItem *item = parent->child(i);
        if (!item || item->childCount() == 0)
            continue;
        if (item->isExpanded())
            dropCollapsedChildren(item);
        else
            qDeleteAll(item->takeChildren());
    }
}

void PageTree::fitHeight()
{
    const int height = shownRows() * SidebarRowDelegate::rowHeight(font()) + 2 * frameWidth();
    if (height != this->height() || minimumHeight() != height)
        setFixedHeight(height);
}

void PageTree::drawRow(QPainter *painter, const QStyleOptionViewItem &options,
                       const QModelIndex &index) const
{
    // The highlight spans the whole row, disclosure arrow included, like the flat lists'.
    const bool selected = selectionModel()->isSelected(index);
    const bool hovered = options.state.testFlag(QStyle::State_MouseOver);
    const QRectF row = QRectF(options.rect).adjusted(2, 1, -2, -1);
    navstyle::paintRowBackground(painter, row, palette(), selected, hovered);
    if (hasFocus() && index == currentIndex())
        navstyle::paintFocusRing(painter, row, palette());
    QStyleOptionViewItem plain = options;
    plain.palette.setColor(QPalette::Highlight, Qt::transparent);
    plain.state.setFlag(QStyle::State_MouseOver, false);
    QTreeWidget::drawRow(painter, plain, index);
}

} // namespace quorvale
