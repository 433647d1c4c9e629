#pragma once

// "All pages": every visible page, filtered as the user types by a text looked for in titles and
// block texts, ignoring case and accents. A click opens the page.

#include "json/json.h"

#include <QWidget>

class QLabel;
class QLineEdit;
class QListView;

namespace quorvale {

class RowModel;
class SelectionBinding;
class WorkspaceModel;

class PageSearchView final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PageSearchView)

public:
    explicit PageSearchView(WorkspaceModel &model, QWidget *parent = nullptr);

    // The search text, as typed (the field's text).
    QString search() const;
    void setSearch(const QString &search);

    // The pages, in order, whose title or a block's text contains search; every page for an
    // empty search.
    static JSON::Array results(const JSON::Array &pages, const QString &search);

private:
    void relabel();
    void showResults();

    WorkspaceModel &m_model;
    RowModel *m_rows;
    QListView *m_list;
    SelectionBinding *m_selection;
    QLabel *m_title;
    QLineEdit *m_search;
};

} // namespace quorvale
