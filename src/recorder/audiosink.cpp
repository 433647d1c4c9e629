#include "recorder/audiosink.h"

#include "files/durablefile.h"
#include "json/json.h"

#include <QCoroFuture>
#include <QFile>
#include <QPromise>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

#include <sndfile.h>

namespace quorvale {

namespace {

QString sourceName(OutputType type)
{
    return type == OutputType::System ? QStringLiteral("system") : QStringLiteral("microphone");
}

struct FileCloser
{
    void operator()(SNDFILE *file) const { sf_close(file); }
};
using TrackFile = std::unique_ptr<SNDFILE, FileCloser>;

// How often written audio is pushed to the disk: what a power cut may cost.
constexpr std::chrono::seconds kSyncEvery{2};
// A buffer this close to the end of its track continues it; further off, the source was away
// (or came back early) and the track is padded (or trimmed) to the buffer's time.
constexpr double kJitter = 0.010;

// An open track and how far it reaches.
struct Writing
{
    TrackFile file;
    double start = 0;
    qint64 frames = 0;
    int sampleRate = 0;
    int channels = 0;
};

} // namespace

// One worker thread running posted work in order, and a periodic chore between the work. Its
// object name is the queue's label.
class AudioSink::Queue final : public QThread
{
public:
    explicit Queue(std::function<void()> periodic)
        : m_periodic(std::move(periodic))
    {
        setObjectName(queueName());
        start();
    }

    ~Queue() override
    {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_one();
        wait();
    }

    void post(std::function<void()> work)
    {
        {
            std::lock_guard lock(m_mutex);
            m_work.push_back(std::move(work));
        }
        m_wake.notify_one();
    }

protected:
    void run() override
    {
        auto due = std::chrono::steady_clock::now() + kSyncEvery;
        for (;;) {
            std::function<void()> work;
            {
                std::unique_lock lock(m_mutex);
                m_wake.wait_until(lock, due, [this] { return m_stopping || !m_work.empty(); });
                // What was posted before the sink went away still runs.
                if (m_work.empty() && m_stopping)
                    return;
                if (!m_work.empty()) {
                    work = std::move(m_work.front());
                    m_work.pop_front();
                }
            }
            if (work)
                work();
            // Checked after every piece of work too, since buffers may never leave the queue idle.
            if (const auto now = std::chrono::steady_clock::now(); now >= due) {
                m_periodic();
                due = now + kSyncEvery;
            }
        }
    }

private:
    const std::function<void()> m_periodic;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_work;
    bool m_stopping = false;
};

struct AudioSink::State
{
    std::map<OutputType, Writing> files;
    std::map<OutputType, double> starts;
    std::optional<QString> failure;
    std::function<void(const QString &)> failed;
    bool finished = false;
    bool unsynced = false;

    // Pushes what was written to the disk. A failure here shows again at the next write.
    void sync()
    {
        if (!unsynced)
            return;
        for (auto &[type, track] : files)
            sf_write_sync(track.file.get());
        unsynced = false;
    }
};

namespace {

void writeFrames(Writing &track, const float *samples, sf_count_t frames)
{
    if (frames > 0 && sf_writef_float(track.file.get(), samples, frames) != frames)
        throw std::runtime_error("append");
    track.frames += frames;
}

void writeSilence(Writing &track, qint64 frames)
{
    static constexpr qint64 chunk = 4800;
    const std::vector<float> silence(std::size_t(chunk) * std::size_t(track.channels), 0.0f);
    for (qint64 left = frames; left > 0; left -= chunk)
        writeFrames(track, silence.data(), std::min(left, chunk));
}

// The loudest sample, clipped to full scale; what is no number counts as silence.
float peakOf(const std::vector<float> &samples)
{
    float peak = 0;
    for (const float sample : samples)
        if (std::abs(sample) > peak)
            peak = std::abs(sample);
    return std::min(peak, 1.0f);
}

} // namespace

void SourceLevels::add(OutputType type, float peak)
{
    std::atomic<float> &recent = m_recent[index(type)];
    // Only raised here; a reset by the reader in between makes the exchange try again.
    float seen = recent.load(std::memory_order_relaxed);
    while (peak > seen && !recent.compare_exchange_weak(seen, peak, std::memory_order_relaxed)) {
    }
    // Only the queue writes it.
    std::atomic<float> &loudest = m_loudest[index(type)];
    if (peak > loudest.load(std::memory_order_relaxed))
        loudest.store(peak, std::memory_order_relaxed);
}

float SourceLevels::takeRecent(OutputType type)
{
    return m_recent[index(type)].exchange(-1.0f, std::memory_order_relaxed);
}

float SourceLevels::loudest(OutputType type) const
{
    return m_loudest[index(type)].load(std::memory_order_relaxed);
}

QString AudioSink::failureMessage()
{
    return QStringLiteral("No se pudo escribir el audio. Revisa el espacio del disco. Los "
                          "archivos parciales se conservaron.");
}

QString AudioSink::queueName()
{
    return QStringLiteral("mx.qvl.quorvale.audio");
}

AudioSink::AudioSink(QString directory)
    : m_directory(std::move(directory))
    , m_levels(std::make_shared<SourceLevels>())
    , m_state(std::make_unique<State>())
    , m_queue(std::make_unique<Queue>([state = m_state.get()] { state->sync(); }))
{}

AudioSink::~AudioSink()
{
    // Pending buffers still land before the files close.
    m_queue.reset();
}

void AudioSink::post(std::function<void()> work)
{
    m_queue->post(std::move(work));
}

QThread *AudioSink::queueThread() const
{
    return m_queue.get();
}

void AudioSink::setFailureHandler(std::function<void(const QString &)> handler)
{
    post([this, handler = std::move(handler)] { m_state->failed = handler; });
}

void AudioSink::output(const AudioBuffer &buffer, OutputType type)
{
    State &state = *m_state;
    if (buffer.sampleRate <= 0 || buffer.channels <= 0 ||
        (type != OutputType::System && type != OutputType::Microphone) || state.finished)
        return;
    // A buffer whose samples do not make whole frames cannot be written as audio.
    if (buffer.samples.size() % static_cast<std::size_t>(buffer.channels) != 0)
        return;
    // Heard even once the tracks cannot be written: the levels show what the capture delivers.
    m_levels->add(type, peakOf(buffer.samples));
    if (state.failure)
        return;

    const QString base = m_directory + u'/' + sourceName(type);
    try {
        auto found = state.files.find(type);
        if (found == state.files.end()) {
            SF_INFO info{};
            info.samplerate = buffer.sampleRate;
            info.channels = buffer.channels;
            info.format = SF_FORMAT_CAF | SF_FORMAT_FLOAT | SF_ENDIAN_LITTLE;
            Writing track;
            track.file.reset(sf_open(QFile::encodeName(base + QStringLiteral(".caf")).constData(),
                                     SFM_WRITE, &info));
            if (!track.file)
                throw std::runtime_error("track file");
            // Keeps the header current after every write: a killed process leaves a whole file.
            sf_command(track.file.get(), SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
            track.start = buffer.time;
            track.sampleRate = buffer.sampleRate;
            track.channels = buffer.channels;
            found = state.files.emplace(type, std::move(track)).first;
            state.starts[type] = buffer.time;
            JSON record = JSON::object();
            record.set("first", JSON(buffer.time));
            const std::string text = record.encode();
            durable::writeFileAtomically(
                base + QStringLiteral(".json"),
                QByteArray(text.data(), static_cast<qsizetype>(text.size())));
        }
        Writing &track = found->second;
        // The track's format is that of its first buffer; another cannot be appended.
        if (buffer.sampleRate != track.sampleRate || buffer.channels != track.channels)
            return;
        const float *samples = buffer.samples.data();
        sf_count_t frames = buffer.frames();
        const double late =
            buffer.time - (track.start + double(track.frames) / double(track.sampleRate));
        if (std::isfinite(late) && std::abs(late) > kJitter) {
            const qint64 shift = std::llround(late * double(track.sampleRate));
            if (shift > 0) {
                writeSilence(track, shift);
            } else {
                const sf_count_t covered = std::min<sf_count_t>(-shift, frames);
                samples += covered * track.channels;
                frames -= covered;
            }
        }
        writeFrames(track, samples, frames);
        state.unsynced = true;
    } catch (const std::exception &) {
        state.failure = failureMessage();
        if (state.failed)
            state.failed(*state.failure);
    }
}

QCoro::Task<AudioSink::Finished> AudioSink::finish()
{
    auto promise = std::make_shared<QPromise<Finished>>();
    QFuture<Finished> future = promise->future();
    promise->start();
    post([this, promise] {
        State &state = *m_state;
        Finished result;
        for (const auto &[type, start] : state.starts)
            result.files.append(
                Track{m_directory + u'/' + sourceName(type) + QStringLiteral(".caf"), start});
        result.error = state.failure;
        state.files.clear();
        state.finished = true;
        promise->addResult(std::move(result));
        promise->finish();
    });
    co_return co_await future;
}

} // namespace quorvale
