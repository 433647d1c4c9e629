#pragma once

// Writes each captured source, as it arrives, to its own track file in a recording directory,
// with a start record of its first buffer's time, so that an interrupted recording can be mixed
// later from the disk alone. The tracks are synced to the disk every few seconds, so that a
// power cut costs seconds of audio, not the recording.

#include "recorder/capture.h"
#include "recorder/mixer.h"

#include <QCoroTask>
#include <QList>
#include <QString>

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class QThread;

namespace quorvale {

// The peaks of each source, kept by the sink's queue and read from any thread without a lock.
class SourceLevels final
{
public:
    // On the queue: the loudest sample of one buffer, 0 to 1.
    void add(OutputType type, float peak);
    // The loudest sample since the last call; negative when no buffer came in between.
    float takeRecent(OutputType type);
    // The loudest sample of the whole recording; 0 for a source that sent nothing.
    float loudest(OutputType type) const;

private:
    static std::size_t index(OutputType type) { return type == OutputType::System ? 0 : 1; }

    std::array<std::atomic<float>, 2> m_recent{-1.0f, -1.0f};
    std::array<std::atomic<float>, 2> m_loudest{0.0f, 0.0f};
};

class AudioSink final
{
public:
    struct Finished
    {
        QList<Track> files;
        std::optional<QString> error;
    };

    // The one message of every write failure.
    static QString failureMessage();
    // The label of the queue; its thread carries it as object name.
    static QString queueName();

    explicit AudioSink(QString directory);
    // Runs what was queued, then closes the track files as they stand.
    ~AudioSink();
    AudioSink(const AudioSink &) = delete;
    AudioSink &operator=(const AudioSink &) = delete;

    const QString &directory() const { return m_directory; }
    // The serial queue: runs each function on the sink's worker thread, in the order posted.
    void post(std::function<void()> work);
    QThread *queueThread() const;
    // The peaks of what reached the sink; outlives the sink for whoever keeps it.
    const std::shared_ptr<SourceLevels> &levels() const { return m_levels; }

    // Called on the queue with the message of the first write failure, as it happens. Set it
    // before the first buffer is posted.
    void setFailureHandler(std::function<void(const QString &)> handler);

    // One buffer of one source. Must run on the queue. A buffer that begins later than the
    // end of its track is laid after silence up to its time (the source was away); one that
    // begins earlier loses the frames the track already covers.
    void output(const AudioBuffer &buffer, OutputType type);
    // Runs after every buffer posted before it: the tracks written (system first) and the
    // first write failure. Closes the track files; later buffers are ignored.
    QCoro::Task<Finished> finish();

private:
    struct State;
    class Queue;

    const QString m_directory;
    const std::shared_ptr<SourceLevels> m_levels;
    std::unique_ptr<State> m_state; // touched only on the queue
    std::unique_ptr<Queue> m_queue;
};

} // namespace quorvale
