#pragma once

// What the navigation views' tests share: documents built in a line, models that talk to nobody
// or to the real reference server, model tasks run to their end, and clicks on item rows.

#include "model/workspacemodel.h"
#include "service/secretstore.h"
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

// A model with an in-memory keychain and an origin nothing listens on.
inline std::unique_ptr<WorkspaceModel> offlineModel()
{
    return std::make_unique<WorkspaceModel>(std::make_unique<MemorySecretStore>(),
                                            QUrl(QStringLiteral("https://localhost:1")),
                                            QList<QSslCertificate>());
}

// A model of the server's account with that token; not connected yet.
inline std::unique_ptr<WorkspaceModel> serverModel(const ReferenceServer &server,
                                                   const QString &token)
{
    auto m =
        std::make_unique<WorkspaceModel>(std::make_unique<MemorySecretStore>(), server.origin(),
                                         QSslCertificate::fromPath(server.caFile()));
    m->service().setToken(token);
    return m;
}

namespace detail {
inline QCoro::Task<> runQuietly(QCoro::Task<> task, bool *done, QString *error)
{
    try {
        co_await std::move(task);
    } catch (const std::exception &e) {
        *error = QString::fromUtf8(e.what());
    }
    *done = true;
}
} // namespace detail

// Runs a model task to its end; answers its error text, empty on success.
inline QString finish(QCoro::Task<> task)
{
    bool done = false;
    QString error;
    detail::runQuietly(std::move(task), &done, &error);
    if (!QTest::qWaitFor([&] { return done; }, 20000))
        return QStringLiteral("timed out");
    return error;
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
