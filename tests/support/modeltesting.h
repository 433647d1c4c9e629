#pragma once

// What model and view tests share: models that talk to nobody or to the real reference server,
// and model tasks run to their end.

#include "model/workspacemodel.h"
#include "service/secretstore.h"
#include "support/referenceserver.h"

#include <QSslCertificate>
#include <QTest>

#include <memory>

namespace quorvale::test {

// A model with an in-memory keychain and an origin nothing listens on.
inline std::unique_ptr<WorkspaceModel> offlineModel()
{
    return std::make_unique<WorkspaceModel>(std::make_unique<MemorySecretStore>(),
                                            QUrl(QStringLiteral("https://localhost:1")),
                                            QList<QSslCertificate>());
}

// A model of the server's account with that token; it has not connected yet.
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

} // namespace quorvale::test
