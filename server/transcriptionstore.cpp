#include "server/transcriptionstore.h"

#include "server/util.h"

namespace quorvale::server {

namespace {

constexpr const char *columns = "recording_id, account_id, status, error, result, updated_at";

Transcription readTranscription(const Statement &row)
{
    return {row.text(0), row.text(1), row.text(2), row.text(3), row.text(4), row.text(5)};
}

std::optional<Transcription> findIn(Connection &connection, const std::string &accountId,
                                    const std::string &recordingId)
{
    return connection
        .prepare(std::string("SELECT ") + columns +
                 " FROM transcriptions WHERE account_id = ?1 AND recording_id = ?2")
        .bind(accountId, recordingId)
        .one(readTranscription);
}

} // namespace

void queueTranscription(Connection &connection, const std::string &accountId,
                        const std::string &recordingId)
{
    connection
        .prepare("INSERT INTO transcriptions (recording_id, account_id, status, queue_order, "
                 "error, result, updated_at) VALUES (?1, ?2, 'queued', "
                 "(SELECT coalesce(max(queue_order), 0) + 1 FROM transcriptions), '', NULL, ?3) "
                 "ON CONFLICT (recording_id) DO UPDATE SET status = excluded.status, "
                 "queue_order = excluded.queue_order, error = '', result = NULL, "
                 "updated_at = excluded.updated_at")
        .bind(recordingId, accountId, isoNow())
        .run();
}

JSON transcriptionJson(const Transcription &transcription)
{
    JSON record = JSON::object({{"recordingId", transcription.recordingId},
                                {"status", transcription.status},
                                {"updatedAt", transcription.updatedAt}});
    if (transcription.status == "failed")
        record.set("error", transcription.error);
    if (transcription.status == "completed") {
        try {
            record.set("result", JSON::decode(transcription.result));
        } catch (const JSON::DecodeError &) {
            // Only the server writes this column; a damaged row still answers its status.
            record.set("result", JSON::object({{"segments", JSON::array()}}));
        }
    }
    return record;
}

TranscriptionStore::TranscriptionStore(Database &database)
    : m_database(database)
{}

Transcription TranscriptionStore::enqueue(const std::string &accountId,
                                          const std::string &recordingId)
{
    Transcription state;
    {
        auto connection = m_database.connect();
        Transaction transaction(*connection);
        auto existing = findIn(*connection, accountId, recordingId);
        if (existing && (existing->status == "queued" || existing->status == "processing")) {
            state = *existing;
        } else {
            queueTranscription(*connection, accountId, recordingId);
            state = *findIn(*connection, accountId, recordingId);
            transaction.commit();
        }
    }
    // Also for a row queued by someone else's transaction (an upload), which relies on this.
    if (state.status == "queued") {
        std::lock_guard lock(m_mutex);
        if (m_onQueued)
            m_onQueued();
    }
    return state;
}

std::optional<Transcription> TranscriptionStore::find(const std::string &accountId,
                                                      const std::string &recordingId)
{
    auto connection = m_database.connect();
    return findIn(*connection, accountId, recordingId);
}

std::optional<Transcription> TranscriptionStore::claimNext()
{
    auto connection = m_database.connect();
    Transaction transaction(*connection);
    auto next = connection
                    ->prepare(std::string("SELECT ") + columns +
                              " FROM transcriptions WHERE status = 'queued' "
                              "ORDER BY queue_order LIMIT 1")
                    .one(readTranscription);
    if (!next)
        return std::nullopt;
    next->status = "processing";
    next->updatedAt = isoNow();
    connection
        ->prepare("UPDATE transcriptions SET status = 'processing', updated_at = ?2 "
                  "WHERE recording_id = ?1")
        .bind(next->recordingId, next->updatedAt)
        .run();
    transaction.commit();
    return next;
}

void TranscriptionStore::finish(const std::string &recordingId, const char *status,
                                const std::string &error, const std::optional<std::string> &result)
{
    auto connection = m_database.connect();
    auto update = connection->prepare("UPDATE transcriptions SET status = ?2, error = ?3, "
                                      "result = ?4, updated_at = ?5 WHERE recording_id = ?1");
    if (result)
        update.bind(recordingId, status, error, *result, isoNow());
    else
        update.bind(recordingId, status, error, nullptr, isoNow());
    update.run();
}

void TranscriptionStore::complete(const std::string &recordingId, const JSON &result)
{
    finish(recordingId, "completed", "", result.encode());
}

void TranscriptionStore::fail(const std::string &recordingId, const std::string &error)
{
    finish(recordingId, "failed", error, std::nullopt);
}

void TranscriptionStore::requeue(const std::string &recordingId)
{
    finish(recordingId, "queued", "", std::nullopt);
}

void TranscriptionStore::requeueInterrupted()
{
    auto connection = m_database.connect();
    connection
        ->prepare("UPDATE transcriptions SET status = 'queued', updated_at = ?1 "
                  "WHERE status = 'processing'")
        .bind(isoNow())
        .run();
}

void TranscriptionStore::setOnQueued(std::function<void()> onQueued)
{
    std::lock_guard lock(m_mutex);
    m_onQueued = std::move(onQueued);
}

} // namespace quorvale::server
