#include "server/outbox.h"

#include "server/mailer.h"
#include "server/util.h"

#include <chrono>

namespace quorvale::server {

Outbox::Outbox(Database &database, std::filesystem::path spool)
    : m_database(database)
    , m_spool(std::move(spool))
{}

std::string Outbox::queue(Connection &connection, const MailDraft &mail)
{
    JSON to = JSON::array();
    for (const auto &address : mail.to)
        to.append(address);
    const std::string id = newId();
    connection
        .prepare("INSERT INTO outbox (id, account_id, kind, recipients, subject, body, date, "
                 "status, created_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, 'pending', ?8)")
        .bind(id, mail.accountId, mail.kind, to.encode(), mail.subject, mail.body,
              mailDate(std::chrono::system_clock::now()), isoNow())
        .run();
    return id;
}

bool Outbox::deliver(const std::string &mailId)
{
    OutgoingMail mail;
    {
        auto connection = m_database.connect();
        auto query = connection->prepare("SELECT recipients, subject, body, date FROM outbox "
                                         "WHERE id = ?1 AND status = 'pending'");
        query.bind(mailId);
        if (!query.step())
            return false;
        mail.id = mailId;
        const JSON recipients = JSON::decode(query.text(0));
        for (const JSON &address : recipients.arrayValue())
            mail.to.emplace_back(address.stringValue());
        mail.subject = query.text(1);
        mail.body = query.text(2);
        mail.date = query.text(3);
    }
    std::string failure;
    try {
        deliverToSpool(m_spool, mail);
    } catch (const std::exception &e) {
        failure = e.what();
    }
    // The spool file is named by the mail's id, so two deliveries racing here write the same
    // message twice rather than two messages; only one of them counts it as delivered.
    auto connection = m_database.connect();
    if (!failure.empty()) {
        connection
            ->prepare("UPDATE outbox SET attempts = attempts + 1, last_error = ?1 "
                      "WHERE id = ?2 AND status = 'pending'")
            .bind(failure, mailId)
            .run();
        return false;
    }
    connection
        ->prepare("UPDATE outbox SET status = 'sent', sent_at = ?1, attempts = attempts + 1, "
                  "last_error = '' WHERE id = ?2 AND status = 'pending'")
        .bind(isoNow(), mailId)
        .run();
    return connection->changes() == 1;
}

void Outbox::deliverSoon(const std::string &mailId)
{
    // Best effort: the change is already committed, and an e-mail that cannot go now stays
    // pending in the outbox for a retry.
    try {
        deliver(mailId);
    } catch (const std::exception &) {
    }
}

std::size_t Outbox::deliverPending()
{
    std::vector<std::string> pending;
    {
        auto connection = m_database.connect();
        pending = connection->prepare("SELECT id FROM outbox WHERE status = 'pending' ORDER BY seq")
                      .all([](const Statement &row) { return row.text(0); });
    }
    std::size_t delivered = 0;
    for (const auto &id : pending) {
        if (deliver(id))
            ++delivered;
    }
    return delivered;
}

JSON Outbox::latest(const std::string &accountId)
{
    auto connection = m_database.connect();
    auto query = connection->prepare(
        "SELECT kind, status, attempts, last_error, created_at, sent_at FROM outbox "
        "WHERE account_id = ?1 ORDER BY seq DESC LIMIT 1");
    query.bind(accountId);
    if (!query.step())
        return JSON::object({{"status", "none"}});
    return JSON::object({{"kind", query.text(0)},
                         {"status", query.text(1)},
                         {"attempts", query.integer(2)},
                         {"error", query.text(3)},
                         {"queuedAt", query.text(4)},
                         {"sentAt", query.isNull(5) ? JSON() : JSON(query.text(5))}});
}

} // namespace quorvale::server
