#pragma once

// The transcription workers: a fixed number of threads that take queued recordings from the
// store, decode them for the speech engine, run it and store the segments or the error.
// Work interrupted by a stop or a crash is queued again when the next server starts.

#include "server/nocopy.h"
#include "server/speechengine.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quorvale::server {

class Store;
struct Transcription;

class Transcriber final
{
public:
    static constexpr int defaultWorkers = 2;

    // workDir holds the decoded audio while it is transcribed; an empty command chooses the
    // built-in engine. Starts the workers at once.
    Transcriber(Store &store, std::filesystem::path workDir, std::string command,
                int workers = defaultWorkers);
    ~Transcriber();
    QV_NO_COPY(Transcriber)

    // Ends the engines under way, queues their work again and waits for the workers.
    void stop();

private:
    void work();
    void transcribe(const Transcription &job);

    Store &m_store;
    std::filesystem::path m_workDir;
    SpeechEngine m_engine;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::uint64_t m_queued = 0; // counts enqueues, so that a worker never misses one
    std::atomic<bool> m_stopping = false;
    std::vector<std::thread> m_workers;
};

} // namespace quorvale::server
