#pragma once

// What model and view tests share: models that talk to nobody or to the real reference server,
// and model tasks run to their end.

#include "model/workspacemodel.h"
#include "support/awaiting.h"
#include "support/cannedserver.h"
#include "support/memorysecretstore.h"
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

// A signed-in model of a canned server that presents the reference server's certificate.
inline std::unique_ptr<WorkspaceModel> cannedModel(const ReferenceServer &server,
                                                   const CannedServer &canned)
{
    auto m =
        std::make_unique<WorkspaceModel>(std::make_unique<MemorySecretStore>(), canned.origin(),
                                         QSslCertificate::fromPath(server.caFile()));
    m->service().setToken(QStringLiteral("t"));
    return m;
}

} // namespace quorvale::test
