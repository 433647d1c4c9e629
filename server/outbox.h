#pragma once

// The outbox of notification e-mails: queued in the transaction of the change they announce,
// delivered to the mail spool right after it, and kept pending for a retry when that fails.

#include "server/database.h"
#include "json/json.h"

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace quorvale::server {

struct MailDraft
{
    std::string accountId; // the account the e-mail is about
    std::string kind;      // "accountCreated", "statusChanged"
    std::vector<std::string> to;
    std::string subject;
    std::string body;
};

class Outbox final
{
public:
    Outbox(Database &database, std::filesystem::path spool);

    // Queues the e-mail inside the caller's transaction; answers its id for deliverSoon.
    std::string queue(Connection &connection, const MailDraft &mail);
    // Tries to deliver a queued e-mail once its change is committed; a failure leaves it pending.
    void deliverSoon(const std::string &mailId);
    // Tries every pending e-mail again; answers how many were delivered now.
    std::size_t deliverPending();
    // The state of the latest e-mail about the account, as administrators see it.
    JSON latest(const std::string &accountId);

private:
    bool deliver(const std::string &mailId);

    Database &m_database;
    std::filesystem::path m_spool;
};

} // namespace quorvale::server
