#include "server/store.h"

#include "server/mailer.h"
#include "server/util.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace quorvale::server {

namespace {

// One script per schema version; a database is brought forward from whatever version it has.
constexpr const char *migrations[] = {
    R"sql(
CREATE TABLE accounts (
    seq INTEGER PRIMARY KEY AUTOINCREMENT,
    id TEXT NOT NULL UNIQUE,
    name TEXT NOT NULL,
    email TEXT NOT NULL,
    tenant_id TEXT NOT NULL,
    status TEXT NOT NULL,
    role TEXT NOT NULL,
    version INTEGER NOT NULL,
    created_at TEXT NOT NULL
);
CREATE UNIQUE INDEX accounts_email ON accounts (lower(email));
CREATE TABLE sessions (
    token_hash TEXT PRIMARY KEY,
    account_id TEXT NOT NULL REFERENCES accounts (id),
    created_at TEXT NOT NULL,
    revoked_at TEXT
);
CREATE TABLE workspaces (
    account_id TEXT PRIMARY KEY REFERENCES accounts (id),
    revision INTEGER NOT NULL,
    document TEXT NOT NULL,
    updated_at TEXT NOT NULL
);
CREATE TABLE recordings (
    seq INTEGER PRIMARY KEY AUTOINCREMENT,
    id TEXT NOT NULL UNIQUE,
    account_id TEXT NOT NULL REFERENCES accounts (id),
    page_id TEXT NOT NULL,
    name TEXT NOT NULL,
    bytes INTEGER NOT NULL,
    mime_type TEXT NOT NULL,
    upload_id TEXT NOT NULL,
    created_at TEXT NOT NULL,
    UNIQUE (account_id, upload_id)
);
CREATE INDEX recordings_page ON recordings (account_id, page_id);
CREATE TABLE outbox (
    seq INTEGER PRIMARY KEY AUTOINCREMENT,
    id TEXT NOT NULL UNIQUE,
    account_id TEXT NOT NULL REFERENCES accounts (id),
    kind TEXT NOT NULL,
    recipients TEXT NOT NULL,
    subject TEXT NOT NULL,
    body TEXT NOT NULL,
    date TEXT NOT NULL,
    status TEXT NOT NULL,
    attempts INTEGER NOT NULL DEFAULT 0,
    last_error TEXT NOT NULL DEFAULT '',
    created_at TEXT NOT NULL,
    sent_at TEXT
);
CREATE INDEX outbox_account ON outbox (account_id, seq);
)sql",
    R"sql(
CREATE TABLE sign_in_codes (
    code_hash TEXT PRIMARY KEY,
    account_id TEXT NOT NULL REFERENCES accounts (id),
    challenge TEXT NOT NULL,
    expires_at INTEGER NOT NULL -- milliseconds since the Unix epoch
);
CREATE INDEX sign_in_codes_expiry ON sign_in_codes (expires_at);
)sql",
};
constexpr std::int64_t schemaVersion = std::size(migrations);

constexpr const char *accountColumns =
    "id, name, email, tenant_id, status, role, version, created_at";
constexpr const char *recordingColumns =
    "id, page_id, name, bytes, mime_type, upload_id, created_at";

Account readAccount(const Statement &row)
{
    return {row.text(0), row.text(1), row.text(2),    row.text(3),
            row.text(4), row.text(5), row.integer(6), row.text(7)};
}

Recording readRecording(const Statement &row)
{
    return {row.text(0), row.text(1), row.text(2), row.integer(3),
            row.text(4), row.text(5), row.text(6)};
}

std::optional<Account> findAccount(Connection &connection, const std::string &id)
{
    auto query = connection.prepare(std::string("SELECT ") + accountColumns +
                                    " FROM accounts WHERE id = ?1");
    query.bind(id);
    if (!query.step())
        return std::nullopt;
    return readAccount(query);
}

std::int64_t millisecondsSinceEpoch()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void requireText(const std::string &text, const char *what, std::size_t maxBytes)
{
    if (!isUsableText(text, maxBytes))
        throw Refusal(400, std::string(what) + " must be at most " + std::to_string(maxBytes) +
                               " bytes without control characters");
}

const char *spanishStatus(const std::string &status)
{
    if (status == "approved")
        return "aprobada";
    if (status == "rejected")
        return "rechazada";
    if (status == "blocked")
        return "bloqueada";
    return "pendiente";
}

const char *englishStatus(const std::string &status)
{
    if (status == "approved")
        return "approved";
    if (status == "rejected")
        return "rejected";
    if (status == "blocked")
        return "blocked";
    return "pending";
}

} // namespace

bool isUsableEmail(std::string_view email)
{
    if (email.size() < 3 || email.size() > 254)
        return false;
    const auto at = email.find('@');
    if (at == 0 || at == std::string_view::npos || at + 1 == email.size() ||
        email.find('@', at + 1) != std::string_view::npos)
        return false;
    return std::none_of(email.begin(), email.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u <= 0x20 || u == 0x7f || std::strchr("<>()[],;:\\\"", c) != nullptr;
    });
}

bool isUsableText(std::string_view text, std::size_t maxBytes)
{
    return text.size() <= maxBytes && std::none_of(text.begin(), text.end(), [](char c) {
               const auto u = static_cast<unsigned char>(c);
               return u < 0x20 || u == 0x7f;
           });
}

JSON accountJson(const Account &account)
{
    return JSON::object({{"id", account.id},
                         {"name", account.name},
                         {"email", account.email},
                         {"tenantId", account.tenantId},
                         {"status", account.status},
                         {"role", account.role}});
}

JSON recordingJson(const Recording &recording)
{
    return JSON::object({{"id", recording.id},
                         {"pageId", recording.pageId},
                         {"name", recording.name},
                         {"bytes", recording.bytes},
                         {"mimeType", recording.mimeType},
                         {"audioUrl", "/api/recordings/" + recording.id + "/audio"},
                         {"uploadId", recording.uploadId},
                         {"createdAt", recording.createdAt}});
}

Store::Store(std::filesystem::path dataDir)
    : m_dataDir(std::move(dataDir))
    , m_database(m_dataDir / "quorvale.sqlite3")
{
    auto connection = m_database.connect();
    Transaction transaction(*connection);
    auto version = connection->prepare("PRAGMA user_version");
    version.step();
    const std::int64_t found = version.integer(0);
    if (found > schemaVersion)
        throw DatabaseError("the database was made by a newer quorvale-server (schema " +
                            std::to_string(found) + ")");
    if (found < schemaVersion) {
        for (auto next = static_cast<std::size_t>(found); next < std::size(migrations); ++next)
            connection->exec(migrations[next]);
        connection->exec("PRAGMA user_version = " + std::to_string(schemaVersion));
    }
    transaction.commit();
}

Account Store::addAccount(const std::string &email, const std::string &name,
                          const std::string &tenantId)
{
    if (!isUsableEmail(email))
        throw Refusal(400, "\"" + email + "\" is not a usable e-mail address");
    requireText(name, "the name", maxNameBytes);
    requireText(tenantId, "the tenant", 200);

    Account account;
    account.id = newId();
    account.email = email;
    account.name = name.empty() ? email.substr(0, email.find('@')) : name;
    account.tenantId = tenantId;
    account.version = 1;
    account.createdAt = isoNow();

    std::string mailId;
    {
        auto connection = m_database.connect();
        Transaction transaction(*connection);
        auto taken = connection->prepare("SELECT 1 FROM accounts WHERE lower(email) = lower(?1)");
        taken.bind(email);
        if (taken.step())
            throw Refusal(409, "an account with the e-mail " + email + " already exists");
        auto count = connection->prepare("SELECT count(*) FROM accounts");
        count.step();
        const bool first = count.integer(0) == 0;
        account.status = first ? "approved" : "pending";
        account.role = first ? "admin" : "user";
        connection
            ->prepare("INSERT INTO accounts (id, name, email, tenant_id, status, role, "
                      "version, created_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)")
            .bind(account.id, account.name, account.email, account.tenantId, account.status,
                  account.role, account.version, account.createdAt)
            .run();
        if (!first) {
            MailDraft mail;
            mail.accountId = account.id;
            mail.kind = "accountCreated";
            auto admins =
                connection->prepare("SELECT email FROM accounts WHERE role = 'admin' ORDER BY seq");
            while (admins.step())
                mail.to.push_back(admins.text(0));
            mail.subject = "Quorvale: nueva cuenta pendiente de aprobación / new account "
                           "awaiting approval";
            mail.body = "Una cuenta nueva espera tu aprobación.\n"
                        "A new account is waiting for your approval.\n\n"
                        "Nombre / Name: " +
                        account.name + "\nCorreo / E-mail: " + account.email +
                        "\nTenant: " + account.tenantId + "\nCuenta / Account: " + account.id +
                        "\n";
            mailId = queueMail(*connection, mail);
        }
        transaction.commit();
    }
    if (!mailId.empty())
        deliverSoon(mailId);
    return account;
}

std::vector<Account> Store::accounts()
{
    auto connection = m_database.connect();
    auto query = connection->prepare(std::string("SELECT ") + accountColumns +
                                     " FROM accounts ORDER BY seq");
    std::vector<Account> result;
    while (query.step())
        result.push_back(readAccount(query));
    return result;
}

std::optional<Account> Store::account(const std::string &id)
{
    auto connection = m_database.connect();
    return findAccount(*connection, id);
}

template <typename Check>
Account Store::changeAccess(const std::string &id, const std::string &status, const char *role,
                            Check check)
{
    Account account;
    std::string mailId;
    {
        auto connection = m_database.connect();
        Transaction transaction(*connection);
        auto found = findAccount(*connection, id);
        if (!found)
            throw Refusal(404, "there is no account " + id);
        check(*found);
        account = *found;
        account.status = status;
        if (role)
            account.role = role;
        ++account.version;
        connection
            ->prepare("UPDATE accounts SET status = ?1, role = ?2, version = ?3 WHERE id = ?4")
            .bind(account.status, account.role, account.version, account.id)
            .run();
        MailDraft mail;
        mail.accountId = account.id;
        mail.kind = "statusChanged";
        mail.to = {account.email};
        mail.subject = "Quorvale: tu acceso ha cambiado / your access has changed";
        const bool admin = account.role == "admin";
        mail.body = "Hola, " + account.name + ":\n\n" + "Tu cuenta de Quorvale ahora está " +
                    spanishStatus(account.status) + (admin ? " (administración)" : "") +
                    ".\nYour Quorvale account is now " + englishStatus(account.status) +
                    (admin ? " (administrator)" : "") + ".\n";
        mailId = queueMail(*connection, mail);
        transaction.commit();
    }
    deliverSoon(mailId);
    return account;
}

Account Store::setStatus(const std::string &id, const std::string &status)
{
    return changeAccess(id, status, nullptr, [](const Account &) {});
}

Account Store::promote(const std::string &id)
{
    return changeAccess(id, "approved", "admin", [](const Account &) {});
}

Account Store::changeStatusAsAdministrator(const std::string &id, const std::string &status,
                                           const JSON &version)
{
    return changeAccess(id, status, nullptr, [&](const Account &account) {
        if (account.role == "admin")
            throw Refusal(403, "the access of an administrator cannot be changed here");
        if (version != JSON(account.version))
            throw Refusal(409, "the account changed meanwhile (version " +
                                   std::to_string(account.version) + ")");
    });
}

JSON Store::administrationRecord(const Account &account)
{
    JSON record = accountJson(account);
    auto connection = m_database.connect();
    record.set("notification", notification(*connection, account.id));
    record.set("version", account.version);
    return record;
}

JSON Store::notification(Connection &connection, const std::string &accountId)
{
    auto query = connection.prepare(
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

std::optional<Account> Store::accountByEmail(const std::string &email)
{
    auto connection = m_database.connect();
    auto query = connection->prepare(std::string("SELECT ") + accountColumns +
                                     " FROM accounts WHERE lower(email) = lower(?1)");
    query.bind(email);
    if (!query.step())
        return std::nullopt;
    return readAccount(query);
}

Account Store::accountForSignIn(const std::string &email, const std::string &name)
{
    if (auto found = accountByEmail(email))
        return *found;
    try {
        return addAccount(email, name, "local");
    } catch (const Refusal &refusal) {
        // Another sign-in with the same address made the account in between.
        if (refusal.status() != 409)
            throw;
    }
    if (auto found = accountByEmail(email))
        return *found;
    throw std::runtime_error("the account for " + email + " vanished while signing in");
}

std::string Store::createSignInCode(const std::string &accountId, const std::string &challenge,
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

std::optional<std::string> Store::redeemSignInCode(std::string_view code, std::string_view verifier)
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

std::string Store::insertSession(Connection &connection, const std::string &accountId)
{
    const std::string token = newToken();
    connection
        .prepare("INSERT INTO sessions (token_hash, account_id, created_at) VALUES (?1, ?2, ?3)")
        .bind(sha256Hex(token), accountId, isoNow())
        .run();
    return token;
}

std::string Store::createToken(const std::string &accountId)
{
    auto connection = m_database.connect();
    if (!findAccount(*connection, accountId))
        throw Refusal(404, "there is no account " + accountId);
    return insertSession(*connection, accountId);
}

std::optional<Account> Store::accountForToken(std::string_view token)
{
    if (token.empty())
        return std::nullopt;
    auto connection = m_database.connect();
    auto query = connection->prepare(
        "SELECT a.id, a.name, a.email, a.tenant_id, a.status, a.role, a.version, a.created_at "
        "FROM sessions s JOIN accounts a ON a.id = s.account_id "
        "WHERE s.token_hash = ?1 AND s.revoked_at IS NULL");
    query.bind(sha256Hex(token));
    if (!query.step())
        return std::nullopt;
    return readAccount(query);
}

void Store::revokeToken(std::string_view token)
{
    auto connection = m_database.connect();
    connection
        ->prepare("UPDATE sessions SET revoked_at = ?1 WHERE token_hash = ?2 AND "
                  "revoked_at IS NULL")
        .bind(isoNow(), sha256Hex(token))
        .run();
}

Store::Workspace Store::workspace(const std::string &accountId)
{
    std::string text;
    Workspace result;
    {
        auto connection = m_database.connect();
        auto query =
            connection->prepare("SELECT revision, document FROM workspaces WHERE account_id = ?1");
        query.bind(accountId);
        if (!query.step())
            return result;
        result.revision = query.integer(0);
        text = query.text(1);
    }
    result.document = JSON::decode(text);
    return result;
}

std::optional<std::int64_t> Store::saveWorkspace(const std::string &accountId, std::int64_t basedOn,
                                                 const JSON &document)
{
    // Encoded before the write lock is taken, so that a large document holds it briefly.
    const std::string text = document.encode();
    auto connection = m_database.connect();
    Transaction transaction(*connection);
    auto current = connection->prepare("SELECT revision FROM workspaces WHERE account_id = ?1");
    current.bind(accountId);
    const std::int64_t revision = current.step() ? current.integer(0) : 0;
    if (basedOn != revision)
        return std::nullopt;
    connection
        ->prepare("INSERT INTO workspaces (account_id, revision, document, updated_at) "
                  "VALUES (?1, ?2, ?3, ?4) ON CONFLICT (account_id) DO UPDATE SET "
                  "revision = excluded.revision, document = excluded.document, "
                  "updated_at = excluded.updated_at")
        .bind(accountId, revision + 1, text, isoNow())
        .run();
    transaction.commit();
    return revision + 1;
}

std::filesystem::path Store::recordingDirectory(const std::string &accountId) const
{
    return m_dataDir / "recordings" / accountId;
}

std::filesystem::path Store::recordingFile(const std::string &accountId,
                                           const std::string &recordingId) const
{
    return recordingDirectory(accountId) / recordingId;
}

std::optional<Recording> Store::recordingForUpload(const std::string &accountId,
                                                   const std::string &uploadId)
{
    auto connection = m_database.connect();
    auto query = connection->prepare(std::string("SELECT ") + recordingColumns +
                                     " FROM recordings WHERE account_id = ?1 AND upload_id = ?2");
    query.bind(accountId, uploadId);
    if (!query.step())
        return std::nullopt;
    return readRecording(query);
}

std::pair<Recording, bool> Store::addRecording(const std::string &accountId,
                                               const ReceivedUpload &upload)
{
    auto connection = m_database.connect();
    Transaction transaction(*connection);
    {
        auto existing = connection->prepare(std::string("SELECT ") + recordingColumns +
                                            " FROM recordings WHERE account_id = ?1 AND "
                                            "upload_id = ?2");
        existing.bind(accountId, upload.uploadId);
        if (existing.step())
            return {readRecording(existing), false};
    }
    Recording recording{newId(),         upload.pageId,   upload.name, upload.bytes,
                        upload.mimeType, upload.uploadId, isoNow()};
    const auto file = recordingFile(accountId, recording.id);
    if (std::rename(upload.temporaryFile.c_str(), file.c_str()) != 0)
        throw std::runtime_error("cannot store the recording: " +
                                 std::string(std::strerror(errno)));
    try {
        connection
            ->prepare("INSERT INTO recordings (id, account_id, page_id, name, bytes, mime_type, "
                      "upload_id, created_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)")
            .bind(recording.id, accountId, recording.pageId, recording.name, recording.bytes,
                  recording.mimeType, recording.uploadId, recording.createdAt)
            .run();
        transaction.commit();
    } catch (...) {
        std::remove(file.c_str());
        throw;
    }
    syncDirectory(file.parent_path());
    return {recording, true};
}

std::vector<Recording> Store::recordings(const std::string &accountId, const std::string &pageId)
{
    auto connection = m_database.connect();
    auto query = connection->prepare(std::string("SELECT ") + recordingColumns +
                                     " FROM recordings WHERE account_id = ?1 AND page_id = ?2 "
                                     "ORDER BY seq");
    query.bind(accountId, pageId);
    std::vector<Recording> result;
    while (query.step())
        result.push_back(readRecording(query));
    return result;
}

std::optional<Recording> Store::recording(const std::string &accountId,
                                          const std::string &recordingId)
{
    auto connection = m_database.connect();
    auto query = connection->prepare(std::string("SELECT ") + recordingColumns +
                                     " FROM recordings WHERE account_id = ?1 AND id = ?2");
    query.bind(accountId, recordingId);
    if (!query.step())
        return std::nullopt;
    return readRecording(query);
}

void Store::removeAbandonedUploads()
{
    namespace fs = std::filesystem;
    const auto cutoff = fs::file_time_type::clock::now() - std::chrono::hours(24);
    std::error_code error;
    try {
        for (const auto &account : fs::directory_iterator(m_dataDir / "recordings", error)) {
            for (const auto &file : fs::directory_iterator(account.path(), error)) {
                const std::string name = file.path().filename().string();
                if (name.rfind(".upload-", 0) == 0 && file.path().extension() == ".part" &&
                    file.last_write_time(error) < cutoff)
                    fs::remove(file.path(), error);
            }
        }
    } catch (const fs::filesystem_error &) {
        // Best effort: what cannot be listed now is tried again at the next start.
    }
}

std::map<std::string, std::int64_t> Store::recordingCounts(const std::string &accountId)
{
    auto connection = m_database.connect();
    auto query = connection->prepare(
        "SELECT page_id, count(*) FROM recordings WHERE account_id = ?1 GROUP BY page_id");
    query.bind(accountId);
    std::map<std::string, std::int64_t> counts;
    while (query.step())
        counts[query.text(0)] = query.integer(1);
    return counts;
}

std::string Store::queueMail(Connection &connection, const MailDraft &mail)
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

bool Store::deliverMail(const std::string &mailId)
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
        deliverToSpool(m_dataDir / "mail", mail);
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

void Store::deliverSoon(const std::string &mailId)
{
    // Best effort: the change is already committed, and an e-mail that cannot go now stays
    // pending in the outbox for a retry.
    try {
        deliverMail(mailId);
    } catch (const std::exception &) {
    }
}

std::size_t Store::deliverPendingMail()
{
    std::vector<std::string> pending;
    {
        auto connection = m_database.connect();
        auto query = connection->prepare("SELECT id FROM outbox WHERE status = 'pending' "
                                         "ORDER BY seq");
        while (query.step())
            pending.push_back(query.text(0));
    }
    std::size_t delivered = 0;
    for (const auto &id : pending) {
        if (deliverMail(id))
            ++delivered;
    }
    return delivered;
}

} // namespace quorvale::server
