#include "server/sessionstore.h"

#include "server/util.h"

namespace quorvale::server {

namespace {

std::int64_t millisecondsSinceEpoch()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

SessionStore::SessionStore(Database &database, AccountStore &accounts)
    : m_database(database)
    , m_accounts(accounts)
{}

std::string SessionStore::createSignInCode(const std::string &accountId,
                                           const std::string &challenge,
                                           std::chrono::milliseconds lifetime)
{
    const std::string code = newToken();
    const std::int64_t now = millisecondsSinceEpoch();
    auto connection = m_database.connect();
    Transaction transaction(*connection);
    connection->prepare("DELETE FROM sign_in_codes WHERE expires_at <= ?1").bind(now).run();
    connection
        ->prepare("INSERT INTO sign_in_codes (code_hash, account_id, challenge, expires_at) "
                  "VALUES (?1, ?2, ?3, ?4)")
        .bind(sha256Hex(code), accountId, challenge, now + lifetime.count())
        .run();
    transaction.commit();
    return code;
}

std::optional<std::string> SessionStore::redeemSignInCode(std::string_view code,
                                                          std::string_view verifier)
{
    auto connection = m_database.connect();
    Transaction transaction(*connection);
    std::string accountId;
    std::string challenge;
    std::int64_t expiresAt = 0;
    {
        // Deleted before anything is checked: whichever attempt comes first uses the code up.
        auto consumed = connection->prepare("DELETE FROM sign_in_codes WHERE code_hash = ?1 "
                                            "RETURNING account_id, challenge, expires_at");
        consumed.bind(sha256Hex(code));
        if (!consumed.step())
            return std::nullopt;
        accountId = consumed.text(0);
        challenge = consumed.text(1);
        expiresAt = consumed.integer(2);
        consumed.run();
    }
    const bool valid = millisecondsSinceEpoch() < expiresAt && verifierProves(verifier, challenge);
    std::optional<std::string> token;
    if (valid)
        token = insertSession(*connection, accountId);
    transaction.commit();
    return token;
}

std::string SessionStore::insertSession(Connection &connection, const std::string &accountId)
{
    const std::string token = newToken();
    connection
        .prepare("INSERT INTO sessions (token_hash, account_id, created_at) VALUES (?1, ?2, ?3)")
        .bind(sha256Hex(token), accountId, isoNow())
        .run();
    return token;
}

std::string SessionStore::createToken(const std::string &accountId)
{
    if (!m_accounts.find(accountId))
        throw Refusal(404, "there is no account " + accountId);
    auto connection = m_database.connect();
    return insertSession(*connection, accountId);
}

std::optional<Account> SessionStore::accountForToken(std::string_view token)
{
    if (token.empty())
        return std::nullopt;
    std::string accountId;
    {
        auto connection = m_database.connect();
        auto query = connection->prepare(
            "SELECT account_id FROM sessions WHERE token_hash = ?1 AND revoked_at IS NULL");
        query.bind(sha256Hex(token));
        if (!query.step())
            return std::nullopt;
        accountId = query.text(0);
    }
    return m_accounts.find(accountId);
}

void SessionStore::revokeToken(std::string_view token)
{
    auto connection = m_database.connect();
    connection
        ->prepare("UPDATE sessions SET revoked_at = ?1 WHERE token_hash = ?2 AND "
                  "revoked_at IS NULL")
        .bind(isoNow(), sha256Hex(token))
        .run();
}

} // namespace quorvale::server
