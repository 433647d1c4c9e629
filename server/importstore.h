#pragma once

// What Notion imports leave per account: their files (rows here, bytes in the account's
// directory), grouped by import batch, the list layout of imported pages, and the imports
// previewed but not yet committed (a row and the uploaded archive).

#include "server/database.h"
#include "server/files.h"
#include "json/json.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvale::server {

class AccountStore;

struct NotionFile
{
    std::string id;
    std::string batchId;
    std::string path; // relative, inside the export: "Projects/Plan 1a2b….md", "Assets/x.png"
    std::string name; // the last component of the path
    std::string contentType;
    std::int64_t bytes = 0;
    std::string createdAt;
};

// {"id","path","name","contentType","bytes"}
JSON notionFileJson(const NotionFile &file);

// A path inside an export is usable when it is relative, has no empty, "." or ".." component
// and no control characters or backslashes, and has at most 1024 bytes of UTF-8.
bool isUsableImportPath(std::string_view path);
// The type a file's name suggests (its extension in any letter case);
// "application/octet-stream" when it suggests none.
std::string contentTypeForName(std::string_view name);

// An uploaded export waiting to be committed or discarded.
struct PendingImport
{
    std::string id;
    std::string name;          // the archive's
    std::int64_t revision = 0; // of the workspace the preview was made against
    std::string createdAt;
};

class ImportStore final
{
public:
    static constexpr std::chrono::seconds defaultImportLifetime{24 * 60 * 60};

    ImportStore(Database &database, std::filesystem::path dir, std::filesystem::path pendingDir,
                AccountStore &accounts);

    // How long a pending import is kept; set before the store is shared between threads.
    void setImportLifetime(std::chrono::seconds lifetime) { m_importLifetime = lifetime; }

    // The bytes are copied from source into the account's directory, then recorded; Refusal
    // 404 for an unknown account, 400 for an unusable batch id, path or type, 409 when the
    // batch already has a file at that path.
    NotionFile addFile(const std::string &accountId, const std::string &batchId,
                       const std::string &path, const std::filesystem::path &source,
                       const std::string &contentType = {});
    // Only the account's own files: another account's id is as unknown as a made-up one.
    std::optional<NotionFile> file(const std::string &accountId, const std::string &fileId);
    std::shared_ptr<StoredFile> open(const std::string &accountId, const NotionFile &file);
    // The batch's files in the order they were added.
    std::vector<NotionFile> files(const std::string &accountId, const std::string &batchId);

    // The list layout of an imported page: {blockId: {"indent": n, "number": n}, …}; an empty
    // object when none is stored. Setting checks that shape (Refusal 400) and replaces it.
    JSON listLayout(const std::string &accountId, const std::string &pageId);
    void setListLayout(const std::string &accountId, const std::string &pageId, const JSON &layout);

    // A file to receive an uploaded archive into.
    std::unique_ptr<UploadFile> receiveArchive(const std::string &accountId);
    // A directory name, not yet made, for the scratch files of reading an archive.
    std::filesystem::path scratchDirectory(const std::string &accountId) const;
    // Puts the archive in place and runs check on it; the import is recorded only when check
    // returns, otherwise the archive goes again and what check threw is rethrown.
    PendingImport addPending(const std::string &accountId, const std::string &name,
                             std::int64_t revision, UploadFile &archive,
                             const std::function<void(const std::filesystem::path &)> &check);
    // Only the account's own, unexpired imports.
    std::optional<PendingImport> pending(const std::string &accountId, const std::string &id);
    std::filesystem::path archiveOf(const std::string &accountId,
                                    const PendingImport &import) const;
    // Within the transaction that saves the workspace: stores the list layouts (page id →
    // layout) and drops the pending import's record; Refusal 404 when another commit or a
    // discard took it first, which rolls the save back.
    void finishPending(Connection &connection, const std::string &accountId, const std::string &id,
                       const JSON &layouts);
    // Removes the record and the archive; false when there is no such import.
    bool removePending(const std::string &accountId, const std::string &id);
    // The archive of an import whose record finishPending took.
    void removeArchive(const std::string &accountId, const PendingImport &import);
    // Removes the imports older than the lifetime, archives included.
    void removeExpiredImports();
    // Removes the files of a batch, rows and bytes: a commit that failed after storing them.
    void removeBatch(const std::string &accountId, const std::string &batchId);

    void removeAbandonedUploads();

private:
    Database &m_database;
    std::filesystem::path m_dir;
    std::filesystem::path m_pendingDir;
    std::chrono::seconds m_importLifetime = defaultImportLifetime;
    AccountStore &m_accounts;
};

} // namespace quorvale::server
