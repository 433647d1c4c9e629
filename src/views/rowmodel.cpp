#include "rowmodel.h"
#include "files/jsontext.h"

#include "model/workspacemodel.h"

#include <QAbstractItemView>
#include <QItemSelectionModel>

namespace quorvale {

struct RowModelTarget
{
    RowModel &m;

    int count() const { return static_cast<int>(m.m_rows.size()); }
    const QString &key(int i) const { return m.row(i).id; }

    void remove(int first, int last)
    {
        m.beginRemoveRows({}, first, last);
        m.m_rows.erase(m.m_rows.begin() + first, m.m_rows.begin() + last + 1);
        m.endRemoveRows();
    }

    void insert(int at, const Row *rows, int n)
    {
        m.beginInsertRows({}, at, at + n - 1);
        m.m_rows.insert(m.m_rows.begin() + at, rows, rows + n);
        m.endInsertRows();
    }

    void move(int from, int to)
    {
        m.beginMoveRows({}, from, from, {}, to);
        Row moving = std::move(m.m_rows[static_cast<std::size_t>(from)]);
        m.m_rows.erase(m.m_rows.begin() + from);
        m.m_rows.insert(m.m_rows.begin() + to, std::move(moving));
        m.endMoveRows();
    }

    void update(int at, const Row &row)
    {
        Row &current = m.m_rows[static_cast<std::size_t>(at)];
        if (current == row)
            return;
        current = row;
        const QModelIndex index = m.index(at);
        emit m.dataChanged(index, index);
    }

    void reset(const std::vector<Row> &rows)
    {
        m.beginResetModel();
        m.m_rows = rows;
        m.endResetModel();
    }
};

RowModel::RowModel(QObject *parent)
    : QAbstractListModel(parent)
{}

int RowModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

QVariant RowModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const Row &r = row(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        return r.text;
    case TagRole:
        return r.id;
    case DetailRole:
        return r.detail;
    case SymbolRole:
        return r.symbol;
    case CountRole:
        return r.count ? QVariant(*r.count) : QVariant();
    default:
        return {};
    }
}

void RowModel::reconcile(const std::vector<Row> &rows)
{
    RowModelTarget target{*this};
    reconcileRows(target, rows);
}

int RowModel::find(const QString &id) const
{
    for (std::size_t i = 0; i < m_rows.size(); ++i) {
        if (m_rows[i].id == id)
            return static_cast<int>(i);
    }
    return -1;
}

SelectionBinding::SelectionBinding(QAbstractItemView *view, WorkspaceModel &model)
    : QObject(view)
    , m_view(view)
    , m_model(model)
{
    m_view->setSelectionMode(QAbstractItemView::SingleSelection);
    connect(m_view->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &SelectionBinding::chosen);
    connect(&m_model, &WorkspaceModel::selectionChanged, this, &SelectionBinding::sync);
    sync();
}

void SelectionBinding::sync()
{
    QAbstractItemModel *rows = m_view->model();
    QModelIndexList found;
    if (!m_model.selection().isEmpty() && rows->rowCount() > 0)
        found = rows->match(rows->index(0, 0), TagRole, m_model.selection(), 1,
                            Qt::MatchExactly | Qt::MatchRecursive);
    QItemSelectionModel *selection = m_view->selectionModel();
    const QModelIndex wanted = found.value(0);
    if (wanted.isValid() ? selection->isSelected(wanted) && selection->selectedIndexes().size() == 1
                         : !selection->hasSelection())
        return;
    m_syncing = true;
    if (wanted.isValid())
        selection->setCurrentIndex(wanted, QItemSelectionModel::ClearAndSelect);
    else
        selection->clear();
    m_syncing = false;
}

void SelectionBinding::chosen()
{
    if (m_syncing)
        return;
    const QModelIndexList chosen = m_view->selectionModel()->selectedIndexes();
    if (chosen.isEmpty()) {
        sync(); // a change to no row is ignored: the model's selection stays shown
        return;
    }
    const QString tag = chosen.first().data(TagRole).toString();
    if (tag != m_model.selection())
        m_model.select(tag);
}

QString pageRowText(std::string_view icon, std::string_view title)
{
    return jsontext::text(icon) + u' ' + jsontext::text(title);
}

} // namespace quorvale
