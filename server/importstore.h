#pragma once

// What Notion imports leave per account: their files (rows here, bytes in the account's
// directory), grouped by import batch, and the list layout of imported pages.

#include "server/database.h"
#include "server/files.h"
#include "json/json.h"

#include <cstdint>
#include <filesystem>
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

class ImportStore final
{
public:
    ImportStore(Database &database, std::filesystem::path dir, AccountStore &accounts);

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

    void removeAbandonedUploads();

private:
    Database &m_database;
    std::filesystem::path m_dir;
    AccountStore &m_accounts;
};

} // namespace quorvale::server
