#pragma once

// Rows of the navigation lists, reconciled by id: a row whose content did not change is left
// alone, a changed row is updated in place, and only rows that come or go are inserted or
// removed. A SelectionBinding keeps a list's highlighted row on the model's selection.

#include <QAbstractListModel>
#include <QHash>
#include <QObject>
#include <QString>

#include <algorithm>
#include <optional>
#include <string_view>
#include <vector>

class QAbstractItemView;

namespace quorvale {

class WorkspaceModel;

// The role under which every navigation row carries its selection tag: a page id or "@…".
inline constexpr int TagRole = Qt::UserRole;
inline constexpr int DetailRole = Qt::UserRole + 1;
inline constexpr int SymbolRole = Qt::UserRole + 2;
inline constexpr int CountRole = Qt::UserRole + 3;

struct Row
{
    QString id; // the selection tag
    QString text;
    QString detail;              // a second, quieter text (a date, a tag)
    QString symbol;              // a drawn icon's name, or empty
    std::optional<qint64> count; // a badge or a number shown at the end

    bool operator==(const Row &) const = default;
};

// Brings target's rows to rows with the fewest changes. Keys are ids; repeated ids are matched
// in order. Target provides count(), key(i), remove(first, last), insert(at, first, n) of rows
// that are new, move(from, to) with to < from, update(at, row) and reset(rows); the last is used
// instead of many moves when the order was shuffled.
template <typename Target, typename R>
void reconcileRows(Target &target, const std::vector<R> &rows)
{
    QHash<QString, int> wanted;
    wanted.reserve(static_cast<qsizetype>(rows.size()));
    for (const R &row : rows)
        ++wanted[row.id];

    // Rows that are no longer wanted go first, from the back so that indexes stay valid.
    QHash<QString, int> kept;
    std::vector<int> unwanted;
    for (int i = 0, n = target.count(); i < n; ++i) {
        const QString key = target.key(i);
        if (++kept[key] > wanted.value(key))
            unwanted.push_back(i);
    }
    for (auto it = unwanted.rbegin(); it != unwanted.rend();) {
        const int last = *it;
        int first = last;
        while (++it != unwanted.rend() && *it == first - 1)
            first = *it;
        target.remove(first, last);
    }
    for (auto it = kept.begin(); it != kept.end(); ++it)
        it.value() = std::min(it.value(), wanted.value(it.key()));

    // Every remaining row is wanted: walk the wanted order, moving rows up or inserting new ones.
    auto budget = static_cast<qsizetype>(rows.size()) * 4 + 64;
    for (std::size_t j = 0; j < rows.size();) {
        const int at = static_cast<int>(j);
        const R &row = rows[j];
        if (at < target.count() && target.key(at) == row.id) {
            --kept[row.id];
            target.update(at, row);
            ++j;
        } else if (kept.value(row.id) > 0) {
            int from = at + 1;
            while (target.key(from) != row.id)
                ++from;
            budget -= from - at;
            if (budget < 0) {
                target.reset(rows);
                return;
            }
            --kept[row.id];
            target.move(from, at);
            target.update(at, row);
            ++j;
        } else {
            std::size_t n = 1;
            while (j + n < rows.size() && kept.value(rows[j + n].id) == 0)
                ++n;
            target.insert(at, &rows[j], static_cast<int>(n));
            j += n;
        }
    }
}

// A flat list of rows for a QListView.
class RowModel final : public QAbstractListModel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RowModel)

public:
    explicit RowModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;

    void reconcile(const std::vector<Row> &rows);
    const Row &row(int i) const { return m_rows[static_cast<std::size_t>(i)]; }
    // The first row with that id, or -1.
    int find(const QString &id) const;

private:
    friend struct RowModelTarget;
    std::vector<Row> m_rows;
};

// Keeps the selected row of view (whose rows carry TagRole) on the model's selection, and turns
// the user's choice of a row into model.select(tag). A change to no row is ignored.
class SelectionBinding final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SelectionBinding)

public:
    // Call after the view has its item model; the binding lives as long as the view.
    SelectionBinding(QAbstractItemView *view, WorkspaceModel &model);

    // Shows the model's selection again; call after rows came or went.
    void sync();

private:
    void chosen();

    QAbstractItemView *m_view;
    WorkspaceModel &m_model;
    bool m_syncing = false;
};

// A row's text for a page: its icon, one space, its title.
QString pageRowText(std::string_view icon, std::string_view title);

} // namespace quorvale
