#pragma once
// What the server suites share: the real server, its HTTPS client, accounts made with its
// command line, and requests sent from several threads at once.
#include "support/httpsclient.h"
#include "support/referenceserver.h"
#include "json/json.h"

#include <QDir>
#include <QStringList>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace quorvale::test {

struct Account
{
    QString id; // empty when the server refused to make it
    std::string token;
    QString email;
};

// A new account, approved unless told otherwise ("pending" leaves it as made), with a session.
inline Account newAccount(ReferenceServer &server, const QString &email,
                          const QString &status = QStringLiteral("approved"))
{
    const QString id = server.addAccount(email);
    if (id.isEmpty() || (status != QLatin1String("pending") && !server.setStatus(id, status)))
        return {};
    return {id, server.token(id).toStdString(), email};
}

// The messages in the server's mail spool addressed to email.
inline QStringList mailsTo(const ReferenceServer &server, const QString &email)
{
    QStringList found;
    const QDir spool(server.dataDir() + QStringLiteral("/mail"));
    for (const QString &name : spool.entryList({QStringLiteral("*.eml")}, QDir::Files)) {
        const QString text = QString::fromUtf8(readAll(spool.filePath(name)));
        if (text.contains(QStringLiteral("\r\nTo: ") + email))
            found << text;
    }
    return found;
}

// An account record's "status/role", as a failure prints it.
inline QByteArray standing(const JSON &account)
{
    return str(account["status"].stringValue()) + '/' + str(account["role"].stringValue());
}

// What a server suite starts with: the server, a client of it and fresh approved accounts.
class ServerSuite
{
protected:
    bool startServer(const QStringList &options = {})
    {
        m_client.reset();
        m_server.stop();
        m_server.setServeOptions(options);
        if (!m_server.start())
            return false;
        m_client = std::make_unique<HttpsClient>(m_server);
        return true;
    }
    // True when the server stopped cleanly.
    bool stopServer()
    {
        m_client.reset();
        m_server.stop();
        return m_server.lastExitCode() == 0;
    }
    // Saves document as the user's first revision; answers the status.
    int saveFirst(const Account &user, const JSON &document)
    {
        const JSON body = JSON::object({{"revision", 0}, {"workspace", document}});
        return m_client->put("/api/workspace", user.token, body).status;
    }
    Account newUser(const QString &status = QStringLiteral("approved"))
    {
        return newAccount(m_server, QStringLiteral("user%1@example.com").arg(++m_users), status);
    }

    ReferenceServer m_server;
    std::unique_ptr<HttpsClient> m_client;
    int m_users = 0;
};

// Ids as a Notion export ends its names with them.
inline const std::string homeId = "0123456789abcdef0123456789abcdef";
inline const std::string planId = "11111111111111111111111111111111";

// The first page of the list with that title; null when there is none.
inline const JSON *pageTitled(const JSON &pages, std::string_view title)
{
    for (const JSON &page : pages.arrayValue()) {
        if (page["title"].stringValue() == title)
            return &page;
    }
    return nullptr;
}

// Runs work(0) … work(count - 1) on threads of their own and waits for all of them.
inline void inParallel(int count, const std::function<void(int)> &work)
{
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i)
        threads.emplace_back(work, i);
    for (auto &thread : threads)
        thread.join();
}

} // namespace quorvale::test
