#pragma once

// A thin layer over SQLite: connections in WAL mode with a busy timeout, prepared statements,
// write transactions taken with BEGIN IMMEDIATE, and a pool shared by the request threads.

#include "server/nocopy.h"
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace quorvale::server {

class DatabaseError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

class Statement final
{
public:
    Statement(sqlite3 *db, std::string_view sql);
    ~Statement();
    QV_NO_COPY(Statement)

    // Binds the arguments to ?1, ?2, … in order.
    template <typename... Args>
    Statement &bind(const Args &...args)
    {
        int index = 0;
        (bindOne(++index, args), ...);
        return *this;
    }

    // Advances to the next row; false when there is none.
    bool step();
    // Runs a statement that returns no rows.
    void run();

    // The next row read by read; nothing when there is none.
    template <typename Read>
    auto one(Read read) -> std::optional<decltype(read(*this))>
    {
        if (!step())
            return std::nullopt;
        return read(*this);
    }
    // Every remaining row, read by read.
    template <typename Read>
    auto all(Read read) -> std::vector<decltype(read(*this))>
    {
        std::vector<decltype(read(*this))> rows;
        while (step())
            rows.push_back(read(*this));
        return rows;
    }

    std::string text(int column) const;
    std::int64_t integer(int column) const;
    bool isNull(int column) const;

private:
    void bindOne(int index, std::string_view text);
    void bindOne(int index, const std::string &text) { bindOne(index, std::string_view(text)); }
    void bindOne(int index, const char *text) { bindOne(index, std::string_view(text)); }
    void bindOne(int index, std::int64_t value);
    void bindOne(int index, int value) { bindOne(index, static_cast<std::int64_t>(value)); }
    void bindOne(int index, std::nullptr_t);

    sqlite3 *m_db;
    sqlite3_stmt *m_statement = nullptr;
};

class Connection final
{
public:
    explicit Connection(const std::filesystem::path &file);
    ~Connection();
    QV_NO_COPY(Connection)

    Statement prepare(std::string_view sql) { return Statement(m_db, sql); }
    // Runs one or more statements that return no rows.
    void exec(const std::string &sql);
    std::int64_t changes() const;

private:
    sqlite3 *m_db = nullptr;
};

// A write transaction. BEGIN IMMEDIATE takes the write lock up front, so that a read followed
// by a write inside it (compare a revision, then store) cannot interleave with another writer.
// Rolled back unless committed.
class Transaction final
{
public:
    explicit Transaction(Connection &connection);
    ~Transaction();
    QV_NO_COPY(Transaction)
    void commit();

private:
    Connection &m_connection;
    bool m_open = true;
};

class Database final
{
public:
    explicit Database(std::filesystem::path file);
    QV_NO_COPY(Database)

    // A connection lent to one thread; it returns to the pool when the lease ends.
    class Lease final
    {
    public:
        Lease(Database &owner, std::unique_ptr<Connection> connection);
        ~Lease();
        QV_NO_COPY(Lease)
        Connection &operator*() const { return *m_connection; }
        Connection *operator->() const { return m_connection.get(); }

    private:
        Database &m_owner;
        std::unique_ptr<Connection> m_connection;
    };

    Lease connect();

private:
    std::filesystem::path m_file;
    std::mutex m_mutex;
    std::vector<std::unique_ptr<Connection>> m_idle;
};

} // namespace quorvale::server
