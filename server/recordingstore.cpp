#include "server/recordingstore.h"

#include "server/transcriptionstore.h"
#include "server/util.h"

namespace quorvale::server {

namespace {

constexpr const char *recordingColumns =
    "id, page_id, name, bytes, mime_type, upload_id, created_at";

Recording readRecording(const Statement &row)
{
    return {row.text(0), row.text(1), row.text(2), row.integer(3),
            row.text(4), row.text(5), row.text(6)};
}

std::optional<Recording> findForUpload(Connection &connection, const std::string &accountId,
                                       const std::string &uploadId)
{
    // Without an upload id (an imported file) every upload is a new recording.
    if (uploadId.empty())
        return std::nullopt;
    return connection
        .prepare(std::string("SELECT ") + recordingColumns +
                 " FROM recordings WHERE account_id = ?1 AND upload_id = ?2")
        .bind(accountId, uploadId)
        .one(readRecording);
}

} // namespace

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

RecordingStore::RecordingStore(Database &database, std::filesystem::path dir)
    : m_database(database)
    , m_dir(std::move(dir))
{}

std::filesystem::path RecordingStore::fileOf(const std::string &accountId,
                                             const std::string &id) const
{
    return m_dir / accountId / id;
}

std::optional<Recording> RecordingStore::forUpload(const std::string &accountId,
                                                   const std::string &uploadId)
{
    auto connection = m_database.connect();
    return findForUpload(*connection, accountId, uploadId);
}

std::unique_ptr<UploadFile> RecordingStore::receive(const std::string &accountId)
{
    const auto dir = m_dir / accountId;
    makePrivateDirectory(dir);
    return std::make_unique<UploadFile>(dir);
}

std::pair<Recording, bool> RecordingStore::add(const std::string &accountId, Recording recording,
                                               UploadFile &file)
{
    file.finish();
    auto connection = m_database.connect();
    Transaction transaction(*connection);
    if (auto existing = findForUpload(*connection, accountId, recording.uploadId))
        return {*existing, false};
    recording.id = newId();
    recording.bytes = file.bytes();
    recording.createdAt = isoNow();
    const auto target = fileOf(accountId, recording.id);
    file.moveTo(target, [&] {
        connection
            ->prepare("INSERT INTO recordings (id, account_id, page_id, name, bytes, mime_type, "
                      "upload_id, created_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6, NULLIF(?7, ''), ?8)")
            .bind(recording.id, accountId, recording.pageId, recording.name, recording.bytes,
                  recording.mimeType, recording.uploadId, recording.createdAt)
            .run();
        queueTranscription(*connection, accountId, recording.id);
        transaction.commit();
    });
    return {recording, true};
}

std::vector<Recording> RecordingStore::list(const std::string &accountId, const std::string &pageId)
{
    auto connection = m_database.connect();
    return connection
        ->prepare(std::string("SELECT ") + recordingColumns +
                  " FROM recordings WHERE account_id = ?1 AND page_id = ?2 ORDER BY seq")
        .bind(accountId, pageId)
        .all(readRecording);
}

std::optional<Recording> RecordingStore::find(const std::string &accountId,
                                              const std::string &recordingId)
{
    auto connection = m_database.connect();
    return connection
        ->prepare(std::string("SELECT ") + recordingColumns +
                  " FROM recordings WHERE account_id = ?1 AND id = ?2")
        .bind(accountId, recordingId)
        .one(readRecording);
}

std::shared_ptr<StoredFile> RecordingStore::audio(const std::string &accountId,
                                                  const Recording &recording)
{
    return StoredFile::open(fileOf(accountId, recording.id));
}

std::map<std::string, std::int64_t> RecordingStore::countsByPage(const std::string &accountId)
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

void RecordingStore::removeAbandonedUploads()
{
    UploadFile::removeAbandoned(m_dir);
}

} // namespace quorvale::server
