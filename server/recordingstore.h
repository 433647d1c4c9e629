#pragma once

// Recordings: rows per account in the database, their audio in the account's directory, one
// recording per upload id however often an upload is repeated.

#include "server/database.h"
#include "server/files.h"
#include "json/json.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quorvale::server {

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

// The record as stored, with "audioUrl".
JSON recordingJson(const Recording &recording);

class RecordingStore final
{
public:
    RecordingStore(Database &database, std::filesystem::path dir);

    std::optional<Recording> forUpload(const std::string &accountId, const std::string &uploadId);
    // A file to receive an upload into, beside the place where add() puts it.
    std::unique_ptr<UploadFile> receive(const std::string &accountId);
    // Moves the received file into place and records it, unless the account already has a
    // recording with that upload id: then that one is answered and the file is dropped. The
    // flag tells whether a new recording was made. The recording's size is the file's.
    std::pair<Recording, bool> add(const std::string &accountId, Recording recording,
                                   UploadFile &file);
    std::vector<Recording> list(const std::string &accountId, const std::string &pageId);
    std::optional<Recording> find(const std::string &accountId, const std::string &recordingId);
    std::shared_ptr<StoredFile> audio(const std::string &accountId, const Recording &recording);
    // Number of recordings per page id.
    std::map<std::string, std::int64_t> countsByPage(const std::string &accountId);
    void removeAbandonedUploads();
    // Where the audio of a recording is kept.
    std::filesystem::path fileOf(const std::string &accountId, const std::string &id) const;

private:
    Database &m_database;
    std::filesystem::path m_dir;
};

} // namespace quorvale::server
