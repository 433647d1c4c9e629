#pragma once

// The transcription queue: one row per recording with its state (queued, processing,
// completed, failed), the error or the result, kept in the database so that a restart resumes
// what was queued.

#include "server/database.h"
#include "json/json.h"

#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace quorvale::server {

struct Transcription
{
    std::string recordingId;
    std::string accountId;
    std::string status;
    std::string error;
    std::string result; // JSON text, when completed
    std::string updatedAt;
};

// {"recordingId", "status", "updatedAt"}, with "error" when failed and "result" when completed.
JSON transcriptionJson(const Transcription &transcription);

// Queues a recording inside the caller's transaction, so that a recording is never kept
// without its queued transcription; enqueue() afterwards wakes the workers.
void queueTranscription(Connection &connection, const std::string &accountId,
                        const std::string &recordingId);

class TranscriptionStore final
{
public:
    explicit TranscriptionStore(Database &database);

    // Queues the recording unless it is queued or being transcribed already; a finished or
    // failed one is queued again. Answers the state after the call and, when it is queued,
    // wakes the workers.
    Transcription enqueue(const std::string &accountId, const std::string &recordingId);
    std::optional<Transcription> find(const std::string &accountId, const std::string &recordingId);
    // Takes the oldest queued recording and marks it processing, atomically, so that two
    // workers never take the same one.
    std::optional<Transcription> claimNext();
    void complete(const std::string &recordingId, const JSON &result);
    void fail(const std::string &recordingId, const std::string &error);
    // Puts work that was being processed back in the queue: at start, for what a crash or a
    // stop interrupted.
    void requeue(const std::string &recordingId);
    void requeueInterrupted();

    // Called after each enqueue, from the enqueuing thread; the worker pool waits on it.
    void setOnQueued(std::function<void()> onQueued);

private:
    void finish(const std::string &recordingId, const char *status, const std::string &error,
                const std::optional<std::string> &result);

    Database &m_database;
    std::mutex m_mutex;
    std::function<void()> m_onQueued;
};

} // namespace quorvale::server
