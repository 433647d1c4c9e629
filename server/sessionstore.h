#pragma once

// Sessions and the one-time sign-in codes that lead to them. Codes and tokens are stored only
// as their SHA-256.

#include "server/accountstore.h"
#include "server/database.h"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace quorvale::server {

class SessionStore final
{
public:
    SessionStore(Database &database, AccountStore &accounts);

    // A code bound to an account and a proof-key challenge. Making one also removes the
    // expired ones.
    std::string createSignInCode(const std::string &accountId, const std::string &challenge,
                                 std::chrono::milliseconds lifetime);
    // Consumes the code whatever the outcome; answers a new session token when the code was
    // unused and unexpired and the verifier proves its challenge, nothing otherwise.
    std::optional<std::string> redeemSignInCode(std::string_view code, std::string_view verifier);

    // A session for the account; Refusal 404 when there is no such account.
    std::string createToken(const std::string &accountId);
    std::optional<Account> accountForToken(std::string_view token);
    void revokeToken(std::string_view token);

private:
    static std::string insertSession(Connection &connection, const std::string &accountId);

    Database &m_database;
    AccountStore &m_accounts;
};

} // namespace quorvale::server
