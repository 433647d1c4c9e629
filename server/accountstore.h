#pragma once

// Accounts: who may use the server, with what role, and the version that administrators'
// changes are checked against. Changes of access are announced through the outbox.

#include "server/database.h"
#include "json/json.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvale::server {

class Outbox;

struct Account
{
    std::string id;
    std::string name;
    std::string email;
    std::string tenantId;
    std::string status; // "pending", "approved", "rejected", "blocked"
    std::string role;   // "admin" or "user"
    std::int64_t version = 0;
    std::string createdAt;
};

// {"id","name","email","tenantId","status","role"}
JSON accountJson(const Account &account);

class AccountStore final
{
public:
    AccountStore(Database &database, Outbox &outbox);

    // The first account ever made is an approved administrator; later ones wait for approval,
    // and the administrators are told by e-mail. Refusal 400 for unusable input, 409 for an
    // e-mail already taken.
    Account add(const std::string &email, const std::string &name, const std::string &tenantId);
    std::vector<Account> list();
    std::optional<Account> find(const std::string &id);
    // The account with this e-mail, compared without regard to case; made as add() makes one
    // when there is none (tenant "local").
    Account forSignIn(const std::string &email, const std::string &name);

    // The operator's changes from the command line: any account, no version check. Each change
    // increments the version and tells the account by e-mail. Refusal 404 when unknown.
    Account setStatus(const std::string &id, const std::string &status);
    Account promote(const std::string &id);
    // An administrator's change: other administrators' records are out of reach (403) and the
    // version must be the record's current one (409).
    Account changeStatusAsAdministrator(const std::string &id, const std::string &status,
                                        const JSON &version);
    // The record as administrators see it, with "notification" and "version".
    JSON administrationRecord(const Account &account);

private:
    std::optional<Account> findByEmail(const std::string &email);
    template <typename Check>
    Account changeAccess(const std::string &id, const std::string &status, const char *role,
                         Check check);

    Database &m_database;
    Outbox &m_outbox;
};

} // namespace quorvale::server
