#pragma once

// Rows of the navigation lists, reconciled by id: a row whose content did not change is left
// alone, a changed row is updated in place, and only rows that come or go are inserted or
// removed. A SelectionBinding keeps a list's highlighted row on the model's selection.

#include "pageview/reconcile.h"

#include <QAbstractListModel>
#include <QObject>
#include <QString>

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
