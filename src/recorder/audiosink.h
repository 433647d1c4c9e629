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

#include <functional>
#include <memory>
#include <optional>

class QThread;

namespace quorvale {

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
    std::unique_ptr<State> m_state; // touched only on the queue
    std::unique_ptr<Queue> m_queue;
};

} // namespace quorvale
