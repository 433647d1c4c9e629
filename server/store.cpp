#include "server/store.h"

#include "server/mailer.h"
#include "server/util.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    R"sql(
CREATE TABLE notion_files (
    seq INTEGER PRIMARY KEY AUTOINCREMENT,
    id TEXT NOT NULL UNIQUE,
    account_id TEXT NOT NULL REFERENCES accounts (id),
    batch_id TEXT NOT NULL,
    path TEXT NOT NULL,
    name TEXT NOT NULL,
    content_type TEXT NOT NULL,
    bytes INTEGER NOT NULL,
    created_at TEXT NOT NULL,
    UNIQUE (account_id, batch_id, path)
);
CREATE TABLE notion_layouts (
    account_id TEXT NOT NULL REFERENCES accounts (id),
    page_id TEXT NOT NULL,
    layout TEXT NOT NULL,
    updated_at TEXT NOT NULL,
    PRIMARY KEY (account_id, page_id)
);
)sql",
};
constexpr std::int64_t schemaVersion = std::size(migrations);

constexpr const char *accountColumns =
    "id, name, email, tenant_id, status, role, version, created_at";
constexpr const char *recordingColumns =
    "id, page_id, name, bytes, mime_type, upload_id, created_at";
constexpr const char *notionFileColumns =
    "id, batch_id, path, name, content_type, bytes, created_at";
constexpr std::size_t maxImportPathBytes = 1024;
constexpr std::size_t maxBatchIdBytes = 200;
constexpr std::size_t maxPageIdBytes = 1024;

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

NotionFile readNotionFile(const Statement &row)
{
    return {row.text(0), row.text(1),    row.text(2), row.text(3),
            row.text(4), row.integer(5), row.text(6)};
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

// Well-formed UTF-8 (RFC 3629): JSON would otherwise answer the path repaired, and the client
// would never find the file under it.
bool isValidUtf8(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 1;
        std::uint32_t code = lead;
        if (lead >= 0xf0 && lead <= 0xf4) {
            length = 4;
            code = lead & 0x07u;
        } else if (lead >= 0xe0) {
            length = 3;
            code = lead & 0x0fu;
        } else if (lead >= 0xc2 && lead < 0xe0) {
            length = 2;
            code = lead & 0x1fu;
        } else if (lead >= 0x80) {
            return false;
        }
        if (lead > 0xf4 || i + length > text.size())
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xc0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3fu);
        }
        if ((length == 3 && (code < 0x800 || (code >= 0xd800 && code <= 0xdfff))) ||
            (length == 4 && (code < 0x10000 || code > 0x10ffff)))
            return false;
        i += length;
    }
    return true;
}

bool isUsableContentType(std::string_view type)
{
    return !type.empty() && type.size() <= 255 && type.find('/') != std::string_view::npos &&
           std::all_of(type.begin(), type.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
}

// A private copy of source in dir, synced, under a name that removeAbandonedUploads knows;
// removed again unless release() is called.
class CopiedFile final
{
public:
    CopiedFile(const std::filesystem::path &source, const std::filesystem::path &dir)
        : m_path(dir / (".upload-" + newId() + ".part"))
    {
        const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
        if (in < 0)
            throw Refusal(400, "cannot read " + source.string() + ": " + std::strerror(errno));
        struct Closer
        {
            int fd;
            ~Closer() { ::close(fd); }
        } closeIn{in};
        struct stat info
        {};
        if (::fstat(in, &info) != 0 || !S_ISREG(info.st_mode))
            throw Refusal(400, source.string() + " is not a regular file");
        const int out = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (out < 0)
            throw std::runtime_error("cannot create " + m_path.string() + ": " +
                                     std::strerror(errno));
        m_created = true;
        const Closer closeOut{out};
        std::vector<char> buffer(std::size_t{1} << 16);
        while (true) {
            const ssize_t n = ::read(in, buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                throw Refusal(400, "cannot read " + source.string() + ": " + std::strerror(errno));
            if (n == 0)
                break;
            for (ssize_t done = 0; done < n;) {
                const ssize_t w =
                    ::write(out, buffer.data() + done, static_cast<std::size_t>(n - done));
                if (w < 0 && errno == EINTR)
                    continue;
                if (w <= 0)
                    throw std::runtime_error("cannot write " + m_path.string() + ": " +
                                             std::strerror(errno));
                done += w;
            }
            m_bytes += n;
        }
        if (::fsync(out) != 0)
            throw std::runtime_error("cannot write " + m_path.string() + ": " +
                                     std::strerror(errno));
    }
    ~CopiedFile()
    {
        if (m_created)
            ::unlink(m_path.c_str());
    }
    CopiedFile(const CopiedFile &) = delete;
    CopiedFile &operator=(const CopiedFile &) = delete;

    const std::filesystem::path &path() const { return m_path; }
    std::int64_t bytes() const { return m_bytes; }
    // The file has been moved into place: nothing to remove any more.
    void release() { m_created = false; }

private:
    std::filesystem::path m_path;
    bool m_created = false;
    std::int64_t m_bytes = 0;
};

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

JSON notionFileJson(const NotionFile &file)
{
    return JSON::object({{"id", file.id},
                         {"path", file.path},
                         {"name", file.name},
                         {"contentType", file.contentType},
                         {"bytes", file.bytes}});
}

bool isUsableImportPath(std::string_view path)
{
    if (path.empty() || path.size() > maxImportPathBytes || !isUsableText(path, path.size()) ||
        !isValidUtf8(path) || path.find('\\') != std::string_view::npos)
        return false;
    while (true) {
        const auto slash = path.find('/');
        const std::string_view component = path.substr(0, slash);
        if (component.empty() || component == "." || component == "..")
            return false;
        if (slash == std::string_view::npos)
            return true;
        path.remove_prefix(slash + 1);
    }
}

std::string contentTypeForName(std::string_view name)
{
    static const std::map<std::string, std::string, std::less<>> types = {
        {"png", "image/png"},
        {"jpg", "image/jpeg"},
        {"jpeg", "image/jpeg"},
        {"gif", "image/gif"},
        {"webp", "image/webp"},
        {"svg", "image/svg+xml"},
        {"bmp", "image/bmp"},
        {"tif", "image/tiff"},
        {"tiff", "image/tiff"},
        {"heic", "image/heic"},
        {"pdf", "application/pdf"},
        {"txt", "text/plain; charset=utf-8"},
        {"md", "text/markdown; charset=utf-8"},
        {"csv", "text/csv; charset=utf-8"},
        {"htm", "text/html; charset=utf-8"},
        {"html", "text/html; charset=utf-8"},
        {"json", "application/json"},
        {"zip", "application/zip"},
        {"mp3", "audio/mpeg"},
        {"m4a", "audio/mp4"},
        {"wav", "audio/wav"},
        {"ogg", "audio/ogg"},
        {"mp4", "video/mp4"},
        {"mov", "video/quicktime"},
        {"webm", "video/webm"},
        {"doc", "application/msword"},
        {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
        {"xls", "application/vnd.ms-excel"},
        {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
        {"ppt", "application/vnd.ms-powerpoint"},
        {"pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
    };
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos)
        return "application/octet-stream";
    std::string extension(name.substr(dot + 1));
    std::transform(extension.begin(), extension.end(), extension.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    const auto found = types.find(extension);
    return found == types.end() ? "application/octet-stream" : found->second;
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
    for (const char *kind : {"recordings", "notion-files"}) {
        try {
            for (const auto &account : fs::directory_iterator(m_dataDir / kind, error)) {
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

NotionFile Store::addNotionFile(const std::string &accountId, const std::string &batchId,
                                const std::string &path, const std::filesystem::path &source,
                                const std::string &contentType)
{
    if (batchId.empty() || !isUsableText(batchId, maxBatchIdBytes) || !isValidUtf8(batchId))
        throw Refusal(400, "the import batch id must be 1 to " + std::to_string(maxBatchIdBytes) +
                               " bytes of UTF-8 without control characters");
    if (!isUsableImportPath(path))
        throw Refusal(400, "\"" + path +
                               "\" is not a usable path inside an export: it must be relative, "
                               "UTF-8, at most 1024 bytes, without empty, \".\" or \"..\" "
                               "parts");
    if (!contentType.empty() && !isUsableContentType(contentType))
        throw Refusal(400, "the content type must be printable, contain \"/\" and have at most "
                           "255 characters");
    if (!account(accountId))
        throw Refusal(404, "there is no account " + accountId);

    NotionFile file;
    file.id = newId();
    file.batchId = batchId;
    file.path = path;
    file.name = path.substr(path.rfind('/') + 1);
    file.contentType = contentType.empty() ? contentTypeForName(file.name) : contentType;
    file.createdAt = isoNow();

    const auto dir = m_dataDir / "notion-files" / accountId;
    makePrivateDirectory(dir);
    CopiedFile copy(source, dir);
    file.bytes = copy.bytes();
    const auto target = notionFilePath(accountId, file.id);

    auto connection = m_database.connect();
    Transaction transaction(*connection);
    auto taken = connection->prepare(
        "SELECT 1 FROM notion_files WHERE account_id = ?1 AND batch_id = ?2 AND path = ?3");
    taken.bind(accountId, batchId, path);
    if (taken.step())
        throw Refusal(409, "the import batch " + batchId + " already has a file at " + path);
    if (std::rename(copy.path().c_str(), target.c_str()) != 0)
        throw std::runtime_error("cannot store " + target.string() + ": " + std::strerror(errno));
    copy.release();
    try {
        connection
            ->prepare("INSERT INTO notion_files (id, account_id, batch_id, path, name, "
                      "content_type, bytes, created_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)")
            .bind(file.id, accountId, file.batchId, file.path, file.name, file.contentType,
                  file.bytes, file.createdAt)
            .run();
        transaction.commit();
    } catch (...) {
        std::remove(target.c_str());
        throw;
    }
    syncDirectory(dir);
    return file;
}

std::optional<NotionFile> Store::notionFile(const std::string &accountId, const std::string &fileId)
{
    auto connection = m_database.connect();
    auto query = connection->prepare(std::string("SELECT ") + notionFileColumns +
                                     " FROM notion_files WHERE account_id = ?1 AND id = ?2");
    query.bind(accountId, fileId);
    if (!query.step())
        return std::nullopt;
    return readNotionFile(query);
}

std::filesystem::path Store::notionFilePath(const std::string &accountId,
                                            const std::string &fileId) const
{
    return m_dataDir / "notion-files" / accountId / fileId;
}

std::vector<NotionFile> Store::notionFiles(const std::string &accountId, const std::string &batchId)
{
    auto connection = m_database.connect();
    auto query = connection->prepare(std::string("SELECT ") + notionFileColumns +
                                     " FROM notion_files WHERE account_id = ?1 AND batch_id = ?2 "
                                     "ORDER BY seq");
    query.bind(accountId, batchId);
    std::vector<NotionFile> result;
    while (query.step())
        result.push_back(readNotionFile(query));
    return result;
}

JSON Store::listLayout(const std::string &accountId, const std::string &pageId)
{
    std::string text;
    {
        auto connection = m_database.connect();
        auto query = connection->prepare(
            "SELECT layout FROM notion_layouts WHERE account_id = ?1 AND page_id = ?2");
        query.bind(accountId, pageId);
        if (!query.step())
            return JSON::object();
        text = query.text(0);
    }
    return JSON::decode(text);
}

void Store::setListLayout(const std::string &accountId, const std::string &pageId,
                          const JSON &layout)
{
    if (pageId.empty() || !isUsableText(pageId, maxPageIdBytes) || !isValidUtf8(pageId))
        throw Refusal(400, "the page id must be 1 to " + std::to_string(maxPageIdBytes) +
                               " bytes of UTF-8 without control characters");
    if (!layout.isObject())
        throw Refusal(400, "the list layout must be a JSON object of block ids");
    for (const auto &entry : layout.members()) {
        const JSON &value = entry.value;
        const std::string block(entry.name());
        if (!value.isObject())
            throw Refusal(400, "the layout of block " + block +
                                   " must be an object with \"indent\" and \"number\"");
        for (const char *key : {"indent", "number"}) {
            if (value.contains(key) && !value[key].isNumber())
                throw Refusal(400, std::string("\"") + key + "\" of block " + block +
                                       " must be a number");
        }
    }
    if (!account(accountId))
        throw Refusal(404, "there is no account " + accountId);
    const std::string text = layout.encode();
    auto connection = m_database.connect();
    connection
        ->prepare("INSERT INTO notion_layouts (account_id, page_id, layout, updated_at) "
                  "VALUES (?1, ?2, ?3, ?4) ON CONFLICT (account_id, page_id) DO UPDATE SET "
                  "layout = excluded.layout, updated_at = excluded.updated_at")
        .bind(accountId, pageId, text, isoNow())
        .run();
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
