#pragma once
// What the server suites share: the real server, its HTTPS client, accounts made with its
// command line, and requests sent from several threads at once.
#include "support/httpsclient.h"
#include "support/referenceserver.h"
#include "json/json.h"

#include <QDir>
#include <QStringList>

#include <functional>
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
