#pragma once

// What the shell's widget tests share: models that talk to nobody or to the real reference
// server, accounts made there, and model tasks run to their end.

#include "model/workspacemodel.h"
#include "service/secretstore.h"
#include "support/modeltesting.h"
#include "support/referenceserver.h"

#include <QApplication>
#include <QSslCertificate>
#include <QTest>
#include <QWidget>

#include <memory>

namespace quorvale::test {

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
