#pragma once

// Everything the reference server keeps: accounts and their sessions, one workspace document
// per account, recordings and the files of Notion imports (rows here, bytes on disk), the list
// layout of imported pages and the outbox of notification e-mails. Safe to use from many threads
// and beside other processes on the same data directory.

#include "server/database.h"
#include "json/json.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvale::server {

struct Account
{
    std::string id;
    std::string name;
    std::string email;
    std::string tenantId;
    std::string status; // "pending", "approved", "rejected", "blocked"
    std::string role;   // "admin" or "user"
    std::int64_t version = 0;
    std::string createdAt;
};

struct Recording
{
    std::string id;
    std::string pageId;
    std::string name;
    std::int64_t bytes = 0;
    std::string mimeType;
    std::string uploadId;
    std::string createdAt;
};

// An upload received completely into a temporary file beside its final place.
struct ReceivedUpload
{
    std::string pageId;
    std::string name;
    std::string mimeType;
    std::string uploadId;
    std::int64_t bytes = 0;
    std::filesystem::path temporaryFile;
};

// A file that came with a Notion import, kept per account and import batch.
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

// The checks that the command line and the sign-in page share. An address passes when it can
// go into a mail header as it is; a text when it has at most maxBytes and no control characters.
bool isUsableEmail(std::string_view email);
bool isUsableText(std::string_view text, std::size_t maxBytes);
constexpr std::size_t maxNameBytes = 200;

// {"id","name","email","tenantId","status","role"}
JSON accountJson(const Account &account);
// The record as stored, with "audioUrl".
JSON recordingJson(const Recording &recording);
// {"id","path","name","contentType","bytes"}
JSON notionFileJson(const NotionFile &file);

// A path inside an export is usable when it is relative, has no empty, "." or ".." component
// and no control characters or backslashes, and has at most 1024 bytes.
bool isUsableImportPath(std::string_view path);
// The type a file's name suggests (its extension in any letter case);
// "application/octet-stream" when it suggests none.
std::string contentTypeForName(std::string_view name);

class Store final
{
public:
    // Opens (and on first use creates) the database in dataDir.
    explicit Store(std::filesystem::path dataDir);

    // Accounts. The first account ever made is an approved administrator; later ones wait
    // for approval, and the administrators are told by e-mail. Throws Refusal (400 for
    // unusable input, 409 for an e-mail already taken).
    Account addAccount(const std::string &email, const std::string &name,
                       const std::string &tenantId);
    std::vector<Account> accounts();
    std::optional<Account> account(const std::string &id);
    // The operator's changes from the command line: any account, no version check. Each
    // change increments the version and tells the account by e-mail. Refusal 404 when unknown.
    Account setStatus(const std::string &id, const std::string &status);
    Account promote(const std::string &id);
    // An administrator's change: other administrators' records are out of reach (403) and
    // the version must be the record's current one (409).
    Account changeStatusAsAdministrator(const std::string &id, const std::string &status,
                                        const JSON &version);
    // The account record as administrators see it, with "notification" and "version".
    JSON administrationRecord(const Account &account);

    // The account with this e-mail, compared without regard to case; made as addAccount makes
    // one when there is none (tenant "local").
    Account accountForSignIn(const std::string &email, const std::string &name);

    // Sign-in codes: one-time, bound to an account and a proof-key challenge, stored only as a
    // hash. Making one also removes the expired ones.
    std::string createSignInCode(const std::string &accountId, const std::string &challenge,
                                 std::chrono::milliseconds lifetime);
    // Consumes the code whatever the outcome; answers a new session token when the code was
    // unused and unexpired and the verifier proves its challenge, nothing otherwise.
    std::optional<std::string> redeemSignInCode(std::string_view code, std::string_view verifier);

    // Sessions. Only the SHA-256 of a token is stored.
    std::string createToken(const std::string &accountId);
    std::optional<Account> accountForToken(std::string_view token);
    void revokeToken(std::string_view token);

    // The workspace document (null when none was saved yet) and its revision (0 then).
    struct Workspace
    {
        JSON document;
        std::int64_t revision = 0;
    };
    Workspace workspace(const std::string &accountId);
    // Stores the document when basedOn is the current revision and answers the new one;
    // nothing when another save came first.
    std::optional<std::int64_t> saveWorkspace(const std::string &accountId, std::int64_t basedOn,
                                              const JSON &document);

    // Recordings.
    std::filesystem::path recordingDirectory(const std::string &accountId) const;
    std::optional<Recording> recordingForUpload(const std::string &accountId,
                                                const std::string &uploadId);
    // Moves the upload into place and records it, unless the account already has a recording
    // with that upload id: then that one is answered and the upload is left where it was.
    // The flag tells whether a new recording was made.
    std::pair<Recording, bool> addRecording(const std::string &accountId,
                                            const ReceivedUpload &upload);
    std::vector<Recording> recordings(const std::string &accountId, const std::string &pageId);
    std::optional<Recording> recording(const std::string &accountId,
                                       const std::string &recordingId);
    std::filesystem::path recordingFile(const std::string &accountId,
                                        const std::string &recordingId) const;
    // Removes what uploads and imported files cut short by a crash left behind, once it is a
    // day old (so that a copy under way in another process is never touched).
    void removeAbandonedUploads();
    // Number of recordings per page id.
    std::map<std::string, std::int64_t> recordingCounts(const std::string &accountId);

    // Files of Notion imports. The bytes are copied from source into the account's directory,
    // then recorded; Refusal 404 for an unknown account, 400 for an unusable batch id, path or
    // type, 409 when the batch already has a file at that path.
    NotionFile addNotionFile(const std::string &accountId, const std::string &batchId,
                             const std::string &path, const std::filesystem::path &source,
                             const std::string &contentType = {});
    // Only the account's own files: another account's id is as unknown as a made-up one.
    std::optional<NotionFile> notionFile(const std::string &accountId, const std::string &fileId);
    std::filesystem::path notionFilePath(const std::string &accountId,
                                         const std::string &fileId) const;
    // The batch's files in the order they were added.
    std::vector<NotionFile> notionFiles(const std::string &accountId, const std::string &batchId);
    // The list layout of an imported page: {blockId: {"indent": n, "number": n}, …}; an empty
    // object when none is stored. Setting checks that shape (Refusal 400) and replaces it.
    JSON listLayout(const std::string &accountId, const std::string &pageId);
    void setListLayout(const std::string &accountId, const std::string &pageId, const JSON &layout);

    // Tries every pending e-mail again; answers how many were delivered now.
    std::size_t deliverPendingMail();

private:
    struct MailDraft
    {
        std::string accountId;
        std::string kind;
        std::vector<std::string> to;
        std::string subject;
        std::string body;
    };
    std::string queueMail(Connection &connection, const MailDraft &mail);
    static std::string insertSession(Connection &connection, const std::string &accountId);
    std::optional<Account> accountByEmail(const std::string &email);
    bool deliverMail(const std::string &mailId);
    void deliverSoon(const std::string &mailId);
    JSON notification(Connection &connection, const std::string &accountId);
    template <typename Check>
    Account changeAccess(const std::string &id, const std::string &status, const char *role,
                         Check check);

    std::filesystem::path m_dataDir;
    Database m_database;
};

} // namespace quorvale::server
