#include "server/database.h"

#include <sqlite3.h>

#include <chrono>
#include <thread>

namespace quorvale::server {

namespace {

constexpr int busyTimeoutMs = 15000;
constexpr std::size_t maxIdleConnections = 16;

[[noreturn]] void fail(sqlite3 *db, const std::string &what)
{
    throw DatabaseError(what + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
}

} // namespace

Statement::Statement(sqlite3 *db, std::string_view sql)
    : m_db(db)
{
    if (sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &m_statement, nullptr) !=
        SQLITE_OK)
        fail(db, "cannot prepare \"" + std::string(sql) + "\"");
}

Statement::~Statement()
{
    sqlite3_finalize(m_statement);
}

void Statement::bindOne(int index, std::string_view text)
{
    if (sqlite3_bind_text64(m_statement, index, text.data(), text.size(), SQLITE_TRANSIENT,
                            SQLITE_UTF8) != SQLITE_OK)
        fail(m_db, "cannot bind");
}

void Statement::bindOne(int index, std::int64_t value)
{
    if (sqlite3_bind_int64(m_statement, index, value) != SQLITE_OK)
        fail(m_db, "cannot bind");
}

void Statement::bindOne(int index, std::nullptr_t)
{
    if (sqlite3_bind_null(m_statement, index) != SQLITE_OK)
        fail(m_db, "cannot bind");
}

bool Statement::step()
{
    const int rc = sqlite3_step(m_statement);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    fail(m_db, "statement failed");
}

void Statement::run()
{
    while (step()) {
    }
}

std::string Statement::text(int column) const
{
    const auto *data = sqlite3_column_text(m_statement, column);
    const int size = sqlite3_column_bytes(m_statement, column);
    if (!data)
        return {};
    return std::string(reinterpret_cast<const char *>(data), static_cast<std::size_t>(size));
}

std::int64_t Statement::integer(int column) const
{
    return sqlite3_column_int64(m_statement, column);
}

bool Statement::isNull(int column) const
{
    return sqlite3_column_type(m_statement, column) == SQLITE_NULL;
}

Connection::Connection(const std::filesystem::path &file)
{
    const int flags =
        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_PRIVATECACHE;
    if (sqlite3_open_v2(file.c_str(), &m_db, flags, nullptr) != SQLITE_OK) {
        const std::string message = m_db ? sqlite3_errmsg(m_db) : "out of memory";
        sqlite3_close(m_db);
        throw DatabaseError("cannot open " + file.string() + ": " + message);
    }
    sqlite3_busy_timeout(m_db, busyTimeoutMs);
    sqlite3_extended_result_codes(m_db, 1);
    try {
        // Switching to WAL needs a moment of exclusive access; another process opening the
        // same file at that instant answers busy without calling the busy handler.
        for (int attempt = 0;; ++attempt) {
            try {
                exec("PRAGMA journal_mode=WAL");
                break;
            } catch (const DatabaseError &) {
                if (attempt == 50)
                    throw;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        exec("PRAGMA synchronous=FULL; PRAGMA foreign_keys=ON");
    } catch (...) {
        sqlite3_close(m_db);
        throw;
    }
}

Connection::~Connection()
{
    sqlite3_close(m_db);
}

void Connection::exec(const std::string &sql)
{
    char *error = nullptr;
    if (sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string message = error ? error : sqlite3_errmsg(m_db);
        sqlite3_free(error);
        throw DatabaseError(message);
    }
}

std::int64_t Connection::changes() const
{
    return sqlite3_changes64(m_db);
}

Transaction::Transaction(Connection &connection)
    : m_connection(connection)
{
    m_connection.exec("BEGIN IMMEDIATE");
}

Transaction::~Transaction()
{
    if (m_open) {
        try {
            m_connection.exec("ROLLBACK");
        } catch (const DatabaseError &) {
            // SQLite may already have rolled back after the failure that brought us here.
        }
    }
}

void Transaction::commit()
{
    m_connection.exec("COMMIT");
    m_open = false;
}

Database::Database(std::filesystem::path file)
    : m_file(std::move(file))
{}

Database::Lease::Lease(Database &owner, std::unique_ptr<Connection> connection)
    : m_owner(owner)
    , m_connection(std::move(connection))
{}

Database::Lease::~Lease()
{
    const std::lock_guard lock(m_owner.m_mutex);
    if (m_owner.m_idle.size() < maxIdleConnections)
        m_owner.m_idle.push_back(std::move(m_connection));
}

Database::Lease Database::connect()
{
    {
        const std::lock_guard lock(m_mutex);
        if (!m_idle.empty()) {
            auto connection = std::move(m_idle.back());
            m_idle.pop_back();
            return Lease(*this, std::move(connection));
        }
    }
    return Lease(*this, std::make_unique<Connection>(m_file));
}

} // namespace quorvale::server
