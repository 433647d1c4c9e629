#pragma once

// What the shell's widget tests share: models that talk to nobody or to the real reference
// server, accounts made there, and model tasks run to their end.

#include "model/workspacemodel.h"
#include "service/secretstore.h"
#include "support/referenceserver.h"

#include <QApplication>
#include <QSslCertificate>
#include <QTest>
#include <QWidget>

#include <memory>

namespace quorvale::test {

// A model with an in-memory keychain and an origin nothing listens on.
inline std::unique_ptr<WorkspaceModel> offlineModel()
{
    return std::make_unique<WorkspaceModel>(std::make_unique<MemorySecretStore>(),
                                            QUrl(QStringLiteral("https://localhost:1")),
                                            QList<QSslCertificate>());
}

// A model signed in to the server with token; it has not connected yet.
inline std::unique_ptr<WorkspaceModel> serverModel(const ReferenceServer &server,
                                                   const QString &token)
{
    auto m =
        std::make_unique<WorkspaceModel>(std::make_unique<MemorySecretStore>(), server.origin(),
                                         QSslCertificate::fromPath(server.caFile()));
    m->service().setToken(token);
    return m;
}

// Accounts on the server: the first one made is its administrator, the others are approved
// unless told otherwise. Answers the token.
class Accounts
{
public:
    explicit Accounts(ReferenceServer &server)
        : m_server(server)
    {}

    QString add(const QString &email, bool approve = true)
    {
        const QString id = m_server.addAccount(email);
        if (approve && m_count > 0)
            m_server.setStatus(id, QStringLiteral("approve"));
        ++m_count;
        m_lastId = id;
        return m_server.token(id);
    }
    const QString &lastId() const { return m_lastId; }

private:
    ReferenceServer &m_server;
    QString m_lastId;
    int m_count = 0;
};

// How many requests of method to path the server has answered.
inline qsizetype requests(const ReferenceServer &server, std::string_view method,
                          std::string_view path)
{
    qsizetype count = 0;
    const QList<QByteArray> lines = server.accessLog();
    for (const QByteArray &line : lines) {
        const JSON entry =
            JSON::decode(std::string_view(line.constData(), std::size_t(line.size())));
        if (entry["method"].stringValue() == method && entry["path"].stringValue() == path)
            ++count;
    }
    return count;
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

// The named child of any top-level window, visible ones first.
template <typename T = QWidget>
T *findVisible(const QString &name)
{
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget *window : windows) {
        if (!window->isVisible())
            continue;
        if (window->objectName() == name)
            if (auto *found = qobject_cast<T *>(window))
                return found;
        const QList<T *> found = window->findChildren<T *>(name);
        for (T *widget : found) {
            if (widget->isVisible())
                return widget;
        }
    }
    return nullptr;
}

} // namespace quorvale::test
