#include "server/store.h"

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
    // Imported files come without an upload id: it becomes optional (NULLs never collide in
    // the unique constraint), and each recording gets its transcription state.
    R"sql(
CREATE TABLE recordings_new (
    seq INTEGER PRIMARY KEY AUTOINCREMENT,
    id TEXT NOT NULL UNIQUE,
    account_id TEXT NOT NULL REFERENCES accounts (id),
    page_id TEXT NOT NULL,
    name TEXT NOT NULL,
    bytes INTEGER NOT NULL,
    mime_type TEXT NOT NULL,
    upload_id TEXT,
    created_at TEXT NOT NULL,
    UNIQUE (account_id, upload_id)
);
INSERT INTO recordings_new SELECT * FROM recordings;
DROP TABLE recordings;
ALTER TABLE recordings_new RENAME TO recordings;
CREATE INDEX recordings_page ON recordings (account_id, page_id);
CREATE TABLE transcriptions (
    recording_id TEXT PRIMARY KEY REFERENCES recordings (id),
    account_id TEXT NOT NULL REFERENCES accounts (id),
    status TEXT NOT NULL, -- queued, processing, completed, failed
    queue_order INTEGER NOT NULL,
    error TEXT NOT NULL DEFAULT '',
    result TEXT,
    updated_at TEXT NOT NULL
);
CREATE INDEX transcriptions_queue ON transcriptions (status, queue_order);
)sql",
    R"sql(
CREATE TABLE notion_imports (
    id TEXT PRIMARY KEY,
    account_id TEXT NOT NULL REFERENCES accounts (id),
    name TEXT NOT NULL,
    revision INTEGER NOT NULL,
    created_at TEXT NOT NULL,
    created_ms INTEGER NOT NULL -- milliseconds since the Unix epoch
);
CREATE INDEX notion_imports_age ON notion_imports (created_ms);
)sql",
};
constexpr std::int64_t schemaVersion = std::size(migrations);

// Applied in one write transaction, so that a server and a command started beside it never
// both migrate.
void migrate(Database &database)
{
    auto connection = database.connect();
    Transaction transaction(*connection);
    // The statement is finished before the scripts run: DROP TABLE fails beside an open one.
    const std::int64_t found = [&] {
        auto version = connection->prepare("PRAGMA user_version");
        version.step();
        return version.integer(0);
    }();
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

} // namespace

Store::Store(const std::filesystem::path &dataDir)
    : m_database(dataDir / "quorvale.sqlite3")
    , m_outbox(m_database, dataDir / "mail")
    , m_accounts(m_database, m_outbox)
    , m_sessions(m_database, m_accounts)
    , m_workspaces(m_database)
    , m_recordings(m_database, dataDir / "recordings")
    , m_imports(m_database, dataDir / "notion-files", dataDir / "notion-imports", m_accounts)
    , m_transcriptions(m_database)
{
    // The stores touch no table before this.
    migrate(m_database);
}

void Store::removeAbandonedUploads()
{
    m_recordings.removeAbandonedUploads();
    m_imports.removeAbandonedUploads();
}

} // namespace quorvale::server
