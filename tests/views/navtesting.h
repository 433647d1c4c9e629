#pragma once

// What the navigation views' tests share: documents built in a line, models that talk to nobody
// or to the real reference server, model tasks run to their end, and clicks on item rows.

#include "model/workspacemodel.h"
#include "service/secretstore.h"
#include "support/modeltesting.h"
#include "support/referenceserver.h"

#include <QAbstractItemView>
#include <QSslCertificate>
#include <QTest>

#include <memory>

namespace quorvale::test {

// A page with the members the navigation reads; more can be set on the result.
inline JSON page(const std::string &id, const std::string &title, JSON parentId = nullptr)
{
    return JSON::object({{"id", id},
                         {"title", title},
                         {"kind", "document"},
                         {"parentId", parentId},
                         {"icon", "📄"},
                         {"favorite", false},
                         {"trashed", false},
                         {"blocks", JSON::array()},
                         {"cards", JSON::array()}});
}

inline JSON with(JSON value, std::string_view key, JSON member)
{
    value.set(key, std::move(member));
    return value;
}

inline JSON workspace(JSON::Array pages)
{
    return JSON::object({{"schemaVersion", 1}, {"pages", JSON(std::move(pages))}});
}

// Clicks the middle of a row, as a user would.
inline void clickRow(QAbstractItemView *view, const QModelIndex &index)
{
    view->scrollTo(index);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(index).center());
}

// The tags (TagRole) of a flat list's rows, in order.
inline QStringList tags(const QAbstractItemModel *rows)
{
    QStringList out;
    for (int i = 0; i < rows->rowCount(); ++i)
        out << rows->index(i, 0).data(Qt::UserRole).toString();
    return out;
}

inline QStringList texts(const QAbstractItemModel *rows)
{
    QStringList out;
    for (int i = 0; i < rows->rowCount(); ++i)
        out << rows->index(i, 0).data(Qt::DisplayRole).toString();
    return out;
}

} // namespace quorvale::test
