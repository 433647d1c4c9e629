#include "server/importstore.h"

#include "server/accountstore.h"
#include "server/text.h"
#include "server/util.h"

#include <algorithm>
#include <map>
#include <system_error>

namespace quorvale::server {

namespace {

constexpr const char *notionFileColumns =
    "id, batch_id, path, name, content_type, bytes, created_at";
constexpr std::size_t maxImportPathBytes = 1024;
constexpr std::size_t maxBatchIdBytes = 200;
constexpr std::size_t maxPageIdBytes = 1024;
constexpr std::string_view scratchPrefix = ".scratch-";
constexpr const char *archiveSuffix = ".zip";

std::int64_t millisecondsSinceEpoch()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

NotionFile readNotionFile(const Statement &row)
{
    return {row.text(0), row.text(1),    row.text(2), row.text(3),
            row.text(4), row.integer(5), row.text(6)};
}

// An identifier that JSON answers as it is: otherwise the client would never find it again.
bool isUsableIdentifier(std::string_view text, std::size_t maxBytes)
{
    return !text.empty() && isUsableText(text, maxBytes) && isValidUtf8(text);
}

} // namespace

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
    if (!isUsableIdentifier(path, maxImportPathBytes) || path.find('\\') != std::string_view::npos)
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

ImportStore::ImportStore(Database &database, std::filesystem::path dir,
                         std::filesystem::path pendingDir, AccountStore &accounts)
    : m_database(database)
    , m_dir(std::move(dir))
    , m_pendingDir(std::move(pendingDir))
    , m_accounts(accounts)
{}

NotionFile ImportStore::addFile(const std::string &accountId, const std::string &batchId,
                                const std::string &path, const std::filesystem::path &source,
                                const std::string &contentType)
{
    if (!isUsableIdentifier(batchId, maxBatchIdBytes))
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
    if (!m_accounts.find(accountId))
        throw Refusal(404, "there is no account " + accountId);

    NotionFile file;
    file.id = newId();
    file.batchId = batchId;
    file.path = path;
    file.name = path.substr(path.rfind('/') + 1);
    file.contentType = contentType.empty() ? contentTypeForName(file.name) : contentType;
    file.createdAt = isoNow();

    const auto dir = m_dir / accountId;
    makePrivateDirectory(dir);
    UploadFile copy(dir);
    copy.copyFrom(source);
    copy.finish();
    file.bytes = copy.bytes();
    const auto target = dir / file.id;

    auto connection = m_database.connect();
    Transaction transaction(*connection);
    auto taken = connection->prepare(
        "SELECT 1 FROM notion_files WHERE account_id = ?1 AND batch_id = ?2 AND path = ?3");
    taken.bind(accountId, batchId, path);
    if (taken.step())
        throw Refusal(409, "the import batch " + batchId + " already has a file at " + path);
    copy.moveTo(target, [&] {
        connection
            ->prepare("INSERT INTO notion_files (id, account_id, batch_id, path, name, "
                      "content_type, bytes, created_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)")
            .bind(file.id, accountId, file.batchId, file.path, file.name, file.contentType,
                  file.bytes, file.createdAt)
            .run();
        transaction.commit();
    });
    return file;
}

std::optional<NotionFile> ImportStore::file(const std::string &accountId, const std::string &fileId)
{
    auto connection = m_database.connect();
    return connection
        ->prepare(std::string("SELECT ") + notionFileColumns +
                  " FROM notion_files WHERE account_id = ?1 AND id = ?2")
        .bind(accountId, fileId)
        .one(readNotionFile);
}

std::shared_ptr<StoredFile> ImportStore::open(const std::string &accountId, const NotionFile &file)
{
    return StoredFile::open(m_dir / accountId / file.id);
}

std::vector<NotionFile> ImportStore::files(const std::string &accountId, const std::string &batchId)
{
    auto connection = m_database.connect();
    return connection
        ->prepare(std::string("SELECT ") + notionFileColumns +
                  " FROM notion_files WHERE account_id = ?1 AND batch_id = ?2 ORDER BY seq")
        .bind(accountId, batchId)
        .all(readNotionFile);
}

JSON ImportStore::listLayout(const std::string &accountId, const std::string &pageId)
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

void ImportStore::setListLayout(const std::string &accountId, const std::string &pageId,
                                const JSON &layout)
{
    if (!isUsableIdentifier(pageId, maxPageIdBytes))
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
    if (!m_accounts.find(accountId))
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

std::unique_ptr<UploadFile> ImportStore::receiveArchive(const std::string &accountId)
{
    const auto dir = m_pendingDir / accountId;
    makePrivateDirectory(m_pendingDir);
    makePrivateDirectory(dir);
    return std::make_unique<UploadFile>(dir);
}

std::filesystem::path ImportStore::scratchDirectory(const std::string &accountId) const
{
    return m_pendingDir / accountId / (std::string(scratchPrefix) + newId());
}

PendingImport
ImportStore::addPending(const std::string &accountId, const std::string &name,
                        std::int64_t revision, UploadFile &archive,
                        const std::function<void(const std::filesystem::path &)> &check)
{
    PendingImport import{newId(), name, revision, isoNow()};
    const auto target = archiveOf(accountId, import);
    archive.moveTo(target, [&] {
        check(target);
        auto connection = m_database.connect();
        connection
            ->prepare("INSERT INTO notion_imports (id, account_id, name, revision, created_at, "
                      "created_ms) VALUES (?1, ?2, ?3, ?4, ?5, ?6)")
            .bind(import.id, accountId, import.name, import.revision, import.createdAt,
                  millisecondsSinceEpoch())
            .run();
    });
    return import;
}

std::optional<PendingImport> ImportStore::pending(const std::string &accountId,
                                                  const std::string &id)
{
    // An import past its lifetime is gone for the caller even before it is swept away.
    const std::int64_t cutoff =
        millisecondsSinceEpoch() -
        std::chrono::duration_cast<std::chrono::milliseconds>(m_importLifetime).count();
    auto connection = m_database.connect();
    return connection
        ->prepare("SELECT id, name, revision, created_at FROM notion_imports "
                  "WHERE account_id = ?1 AND id = ?2 AND created_ms > ?3")
        .bind(accountId, id, cutoff)
        .one([](const Statement &row) {
            return PendingImport{row.text(0), row.text(1), row.integer(2), row.text(3)};
        });
}

std::filesystem::path ImportStore::archiveOf(const std::string &accountId,
                                             const PendingImport &import) const
{
    return m_pendingDir / accountId / (import.id + archiveSuffix);
}

void ImportStore::finishPending(Connection &connection, const std::string &accountId,
                                const std::string &id, const JSON &layouts)
{
    connection.prepare("DELETE FROM notion_imports WHERE account_id = ?1 AND id = ?2")
        .bind(accountId, id)
        .run();
    if (connection.changes() == 0)
        throw Refusal(404, "there is no such import: it was committed or discarded already");
    for (const auto &entry : layouts.members()) {
        connection
            .prepare("INSERT INTO notion_layouts (account_id, page_id, layout, updated_at) "
                     "VALUES (?1, ?2, ?3, ?4) ON CONFLICT (account_id, page_id) DO UPDATE SET "
                     "layout = excluded.layout, updated_at = excluded.updated_at")
            .bind(accountId, entry.name(), entry.value.encode(), isoNow())
            .run();
    }
}

bool ImportStore::removePending(const std::string &accountId, const std::string &id)
{
    {
        auto connection = m_database.connect();
        connection->prepare("DELETE FROM notion_imports WHERE account_id = ?1 AND id = ?2")
            .bind(accountId, id)
            .run();
        if (connection->changes() == 0)
            return false;
    }
    removeArchive(accountId, PendingImport{id, {}, 0, {}});
    return true;
}

void ImportStore::removeArchive(const std::string &accountId, const PendingImport &import)
{
    std::error_code error;
    std::filesystem::remove(archiveOf(accountId, import), error);
}

void ImportStore::removeExpiredImports()
{
    const std::int64_t cutoff =
        millisecondsSinceEpoch() -
        std::chrono::duration_cast<std::chrono::milliseconds>(m_importLifetime).count();
    std::vector<std::pair<std::string, std::string>> expired;
    {
        auto connection = m_database.connect();
        Transaction transaction(*connection);
        expired = connection
                      ->prepare("DELETE FROM notion_imports WHERE created_ms <= ?1 "
                                "RETURNING account_id, id")
                      .bind(cutoff)
                      .all([](const Statement &row) {
                          return std::pair{row.text(0), row.text(1)};
                      });
        transaction.commit();
    }
    // The records go first: an archive without one is only a file, never an import.
    for (const auto &[accountId, id] : expired)
        removeArchive(accountId, PendingImport{id, {}, 0, {}});
}

void ImportStore::removeBatch(const std::string &accountId, const std::string &batchId)
{
    const auto stored = files(accountId, batchId);
    {
        auto connection = m_database.connect();
        connection->prepare("DELETE FROM notion_files WHERE account_id = ?1 AND batch_id = ?2")
            .bind(accountId, batchId)
            .run();
    }
    std::error_code error;
    for (const auto &file : stored)
        std::filesystem::remove(m_dir / accountId / file.id, error);
}

void ImportStore::removeAbandonedUploads()
{
    namespace fs = std::filesystem;
    UploadFile::removeAbandoned(m_dir);
    UploadFile::removeAbandoned(m_pendingDir);
    // Scratch directories outlive their reader only when the server was killed while reading.
    const auto cutoff = fs::file_time_type::clock::now() - std::chrono::hours(24);
    std::error_code error;
    try {
        for (const auto &account : fs::directory_iterator(m_pendingDir, error)) {
            for (const auto &entry : fs::directory_iterator(account.path(), error)) {
                if (entry.path().filename().string().rfind(scratchPrefix, 0) == 0 &&
                    entry.last_write_time(error) < cutoff)
                    fs::remove_all(entry.path(), error);
            }
        }
    } catch (const fs::filesystem_error &) {
        // Best effort, as for uploads: tried again at the next start.
    }
}

} // namespace quorvale::server
