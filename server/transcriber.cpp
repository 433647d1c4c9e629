#include "server/transcriber.h"

#include "server/speechaudio.h"
#include "server/store.h"
#include "server/util.h"

#include <chrono>
#include <system_error>

namespace quorvale::server {

Transcriber::Transcriber(Store &store, std::filesystem::path workDir, std::string command,
                         int workers)
    : m_store(store)
    , m_workDir(std::move(workDir))
    , m_engine(std::move(command))
{
    // What a crash left behind: decoded audio nobody reads, and work marked as under way.
    std::error_code ignored;
    std::filesystem::remove_all(m_workDir, ignored);
    makePrivateDirectory(m_workDir);
    m_store.transcriptions().requeueInterrupted();
    m_store.transcriptions().setOnQueued([this] {
        {
            std::lock_guard lock(m_mutex);
            ++m_queued;
        }
        m_wake.notify_one();
    });
    for (int i = 0; i < workers; ++i)
        m_workers.emplace_back([this] { work(); });
}

Transcriber::~Transcriber()
{
    stop();
}

void Transcriber::stop()
{
    m_store.transcriptions().setOnQueued(nullptr);
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    for (auto &worker : m_workers)
        worker.join();
    m_workers.clear();
}

void Transcriber::work()
{
    using namespace std::chrono_literals;
    while (true) {
        std::uint64_t seen = 0;
        {
            std::lock_guard lock(m_mutex);
            if (m_stopping)
                return;
            seen = m_queued;
        }
        bool claimed = false;
        try {
            if (const auto job = m_store.transcriptions().claimNext()) {
                claimed = true;
                transcribe(*job);
            }
        } catch (const std::exception &) {
            // The database is busy or failing: the work stays queued (or, when the result
            // could not be stored, is queued again at the next start); retry a little later.
        }
        if (claimed)
            continue;
        std::unique_lock lock(m_mutex);
        m_wake.wait_for(lock, 30s, [&] { return m_stopping || m_queued != seen; });
    }
}

void Transcriber::transcribe(const Transcription &job)
{
    const auto wav = m_workDir / (job.recordingId + ".wav");
    auto removeWav = [&] {
        std::error_code ignored;
        std::filesystem::remove(wav, ignored);
    };
    try {
        const auto audio = m_store.recordings().fileOf(job.accountId, job.recordingId);
        const double seconds = writeSpeechWav(audio, wav);
        // Generous for any engine that keeps up with speech, yet a hung one cannot hold a
        // worker for ever.
        const auto limit = std::chrono::milliseconds(60'000 + static_cast<long>(seconds * 3000));
        const JSON result = m_engine.transcribe(wav, limit, m_stopping);
        removeWav();
        m_store.transcriptions().complete(job.recordingId, result);
    } catch (const EngineCancelled &) {
        removeWav();
        m_store.transcriptions().requeue(job.recordingId);
    } catch (const std::exception &e) {
        removeWav();
        m_store.transcriptions().fail(job.recordingId, e.what());
    }
}

} // namespace quorvale::server
