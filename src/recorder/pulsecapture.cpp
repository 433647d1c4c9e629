// The capture layer on PulseAudio (and PipeWire's pulse server): the microphone is the default
// source, the system audio the monitor of the default sink, each read by its own record stream
// on one threaded main loop and stamped on CLOCK_MONOTONIC. The system audio follows the
// default sink as the user changes it (a headset connects, an output goes away).

#include "recorder/audiosink.h"
#include "recorder/capture.h"

#include "recorder/offthread.h"

#include <QCoroFuture>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <cmath>
#include <exception>
#include <map>
#include <optional>
#include <time.h>

#include <pulse/pulseaudio.h>

namespace quorvale {

namespace {

QString soundServerError(int error)
{
    return QStringLiteral("No se pudo usar el servidor de sonido: %1.")
        .arg(QString::fromUtf8(pa_strerror(error)));
}

double monotonicSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// A threaded main loop with a connected context. Its owner holds the loop's lock around every
// call into libpulse.
class Connection final
{
public:
    explicit Connection(const QByteArray &server)
        : m_loop(pa_threaded_mainloop_new())
    {
        m_context = pa_context_new(pa_threaded_mainloop_get_api(m_loop), "Quorvale");
        pa_context_set_state_callback(m_context, &Connection::signal, m_loop);
        // A missing server is an error to report, not a reason to start one behind the user.
        if (pa_context_connect(m_context, server.isEmpty() ? nullptr : server.constData(),
                               PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            const int error = pa_context_errno(m_context);
            release();
            throw CaptureError(soundServerError(error));
        }
        pa_threaded_mainloop_start(m_loop);
        Lock lock(m_loop);
        for (;;) {
            const pa_context_state_t state = pa_context_get_state(m_context);
            if (state == PA_CONTEXT_READY)
                break;
            if (!PA_CONTEXT_IS_GOOD(state)) {
                const int error = pa_context_errno(m_context);
                lock.unlock();
                release();
                throw CaptureError(soundServerError(error));
            }
            pa_threaded_mainloop_wait(m_loop);
        }
        pa_context_set_state_callback(m_context, nullptr, nullptr);
    }

    ~Connection() { release(); }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    pa_threaded_mainloop *loop() const { return m_loop; }
    pa_context *context() const { return m_context; }

    class Lock
    {
    public:
        explicit Lock(pa_threaded_mainloop *loop)
            : m_loop(loop)
        {
            pa_threaded_mainloop_lock(m_loop);
        }
        ~Lock() { unlock(); }
        void unlock()
        {
            if (m_loop)
                pa_threaded_mainloop_unlock(std::exchange(m_loop, nullptr));
        }

    private:
        pa_threaded_mainloop *m_loop;
    };

    static void signal(pa_context *, void *loop)
    {
        pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop *>(loop), 0);
    }

    // Waits, with the lock held, for an operation to end.
    void finish(pa_operation *operation)
    {
        if (!operation)
            return;
        while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING)
            pa_threaded_mainloop_wait(m_loop);
        pa_operation_unref(operation);
    }

private:
    void release()
    {
        if (!m_loop)
            return;
        if (m_context) {
            {
                Lock lock(m_loop);
                pa_context_set_state_callback(m_context, nullptr, nullptr);
                pa_context_disconnect(m_context);
            }
        }
        pa_threaded_mainloop_stop(m_loop);
        if (m_context)
            pa_context_unref(m_context);
        pa_threaded_mainloop_free(m_loop);
        m_context = nullptr;
        m_loop = nullptr;
    }

    pa_threaded_mainloop *m_loop = nullptr;
    pa_context *m_context = nullptr;
};

struct Defaults
{
    QByteArray sink;
    QByteArray source;
};

Defaults defaults(Connection &connection)
{
    struct Query
    {
        Connection *connection;
        Defaults result;
    } query{&connection, {}};
    connection.finish(pa_context_get_server_info(
        connection.context(),
        [](pa_context *, const pa_server_info *info, void *data) {
            auto *q = static_cast<Query *>(data);
            if (info) {
                q->result.sink = info->default_sink_name;
                q->result.source = info->default_source_name;
            }
            pa_threaded_mainloop_signal(q->connection->loop(), 0);
        },
        &query));
    return query.result;
}

// The monitor source of a sink, or nothing when the sink does not exist.
std::optional<QByteArray> monitorOf(Connection &connection, const QByteArray &sink)
{
    struct Query
    {
        Connection *connection;
        std::optional<QByteArray> monitor;
    } query{&connection, {}};
    connection.finish(pa_context_get_sink_info_by_name(
        connection.context(), sink.constData(),
        [](pa_context *, const pa_sink_info *info, int, void *data) {
            auto *q = static_cast<Query *>(data);
            if (info)
                q->monitor = QByteArray(info->monitor_source_name);
            pa_threaded_mainloop_signal(q->connection->loop(), 0);
        },
        &query));
    return query.monitor;
}

pa_sample_spec sampleSpec(const CaptureConfiguration &configuration)
{
    pa_sample_spec sampleFormat{};
    sampleFormat.format = PA_SAMPLE_FLOAT32LE;
    sampleFormat.rate = static_cast<uint32_t>(configuration.sampleRate);
    sampleFormat.channels = static_cast<uint8_t>(configuration.channelCount);
    return sampleFormat;
}

// Waits, lock held, for a stream to become ready; false if it failed.
bool waitReady(pa_threaded_mainloop *loop, pa_stream *stream)
{
    for (;;) {
        const pa_stream_state_t state = pa_stream_get_state(stream);
        if (state == PA_STREAM_READY)
            return true;
        if (!PA_STREAM_IS_GOOD(state))
            return false;
        pa_threaded_mainloop_wait(loop);
    }
}

pa_stream *openRecord(Connection &connection, const char *name, const QByteArray &device,
                      const pa_sample_spec &sampleFormat, bool stayOnDevice = false)
{
    pa_stream *stream = pa_stream_new(connection.context(), name, &sampleFormat, nullptr);
    if (!stream)
        return nullptr;
    pa_buffer_attr attributes;
    attributes.maxlength = uint32_t(-1);
    attributes.tlength = uint32_t(-1);
    attributes.prebuf = uint32_t(-1);
    attributes.minreq = uint32_t(-1);
    attributes.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(10000, &sampleFormat));
    auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE |
                                   PA_STREAM_INTERPOLATE_TIMING);
    if (stayOnDevice)
        flags = pa_stream_flags_t(flags | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(stream, device.isEmpty() ? nullptr : device.constData(),
                                 &attributes, flags) < 0) {
        pa_stream_unref(stream);
        return nullptr;
    }
    return stream;
}

void closeRecord(pa_stream *stream)
{
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
}

// Stamps a source's buffers. Single stamps taken as "now minus latency" are off by up to a few
// hundred milliseconds while the first burst of buffered data drains, so the start is fitted
// from many of them and every buffer is placed at start + frames before it.
class Timeline
{
public:
    explicit Timeline(int rate)
        : m_rate(rate)
    {}

    // Buffers are held back until the start is known.
    template <typename Deliver>
    void take(AudioBuffer buffer, double stamp, Deliver &&deliver)
    {
        const qint64 before = m_frames;
        m_frames += buffer.frames();
        if (std::isfinite(stamp))
            m_estimates.push_back(stamp - double(before) / m_rate);
        if (m_start) {
            buffer.time = *m_start + double(before) / m_rate;
            deliver(std::move(buffer));
            return;
        }
        buffer.time = double(before);
        m_held.push_back(std::move(buffer));
        if (m_estimates.size() >= settledAfter + fitOver && double(m_frames) >= m_rate / 2)
            flush(deliver);
    }

    // Fits the start from what has been seen so far and delivers every held buffer.
    template <typename Deliver>
    void flush(Deliver &&deliver)
    {
        if (!m_start)
            m_start = fit();
        for (AudioBuffer &held : m_held) {
            held.time = *m_start + held.time / m_rate;
            deliver(std::move(held));
        }
        m_held.clear();
    }

private:
    static constexpr std::size_t settledAfter = 8;
    static constexpr std::size_t fitOver = 16;

    double fit()
    {
        if (m_estimates.empty())
            return monotonicSeconds() - double(m_frames) / m_rate;
        std::vector<double> usable(
            m_estimates.begin() +
                std::ptrdiff_t(m_estimates.size() > settledAfter ? settledAfter : 0),
            m_estimates.end());
        std::nth_element(usable.begin(), usable.begin() + std::ptrdiff_t(usable.size() / 2),
                         usable.end());
        return usable[usable.size() / 2];
    }

    double m_rate;
    qint64 m_frames = 0;
    std::vector<double> m_estimates;
    std::optional<double> m_start;
    std::vector<AudioBuffer> m_held;
};

class PulseStream final : public CaptureStream
{
public:
    PulseStream(QByteArray server, CaptureDisplay display, CaptureConfiguration configuration,
                CaptureDelegate *delegate)
        : m_server(std::move(server))
        , m_display(std::move(display))
        , m_configuration(configuration)
        , m_delegate(delegate)
    {}

    ~PulseStream() override { stopNow(); }

    void addOutput(std::shared_ptr<AudioSink> sink, OutputType type) override
    {
        if (type != OutputType::System && type != OutputType::Microphone)
            throw CaptureError(QStringLiteral("La captura solo entrega audio."));
        if (m_connection)
            throw CaptureError(QStringLiteral("La captura ya empezó."));
        if (!sink)
            throw CaptureError(QStringLiteral("Falta el destino del audio."));
        m_sinks[type] = std::move(sink);
    }

    QCoro::Task<> startCapture() override
    {
        recording::Attempt<bool> started = co_await QtConcurrent::run(
            &recording::attempt<bool, decltype(&PulseStream::start), PulseStream *>,
            &PulseStream::start, this);
        started.take();
    }

    QCoro::Task<> stopCapture() override
    {
        recording::Attempt<bool> stopped = co_await QtConcurrent::run(
            &recording::attempt<bool, decltype(&PulseStream::stop), PulseStream *>,
            &PulseStream::stop, this);
        stopped.take();
    }

private:
    struct Source
    {
        PulseStream *owner = nullptr;
        pa_threaded_mainloop *loop = nullptr;
        OutputType type = OutputType::System;
        pa_stream *stream = nullptr; // none while the system audio has no output to follow
        QByteArray device;           // what the stream records; empty for the default source
        AudioSink *sink = nullptr;
        std::unique_ptr<Timeline> timeline;
    };

    static bool start(PulseStream *self)
    {
        self->startNow();
        return true;
    }

    static bool stop(PulseStream *self)
    {
        self->stopNow();
        return true;
    }

    void startNow()
    {
        if (m_connection)
            throw CaptureError(QStringLiteral("La captura ya empezó."));
        auto connection = std::make_unique<Connection>(m_server);
        Connection::Lock lock(connection->loop());
        const pa_sample_spec sampleFormat = sampleSpec(m_configuration);
        const auto fail = [&](const QString &what) {
            const int error = pa_context_errno(connection->context());
            for (Source &source : m_sources)
                if (source.stream)
                    closeRecord(std::exchange(source.stream, nullptr));
            m_sources.clear();
            lock.unlock();
            connection.reset();
            return CaptureError(what.arg(QString::fromUtf8(pa_strerror(error))));
        };

        m_sources.reserve(m_sinks.size());
        for (const auto &[type, sink] : m_sinks) {
            Source &source = m_sources.emplace_back();
            source.owner = this;
            source.loop = connection->loop();
            source.type = type;
            source.sink = sink.get();
            source.timeline = std::make_unique<Timeline>(m_configuration.sampleRate);
            const bool system = type == OutputType::System;
            // An empty device name is the default source: the microphone.
            source.device = system ? m_display.monitor.toUtf8() : QByteArray();
            source.stream = openRecord(*connection, system ? systemName : "Quorvale microphone",
                                       source.device, sampleFormat, system);
            if (!source.stream)
                throw fail(QStringLiteral("No se pudo abrir la captura de audio: %1."));
        }
        for (Source &source : m_sources) {
            pa_stream_set_state_callback(source.stream, &PulseStream::stateChanged, &source);
            if (!waitReady(connection->loop(), source.stream))
                throw fail(QStringLiteral("No se pudo abrir la captura de audio: %1."));
        }
        for (Source &source : m_sources)
            pa_stream_set_read_callback(source.stream, &PulseStream::readable, &source);
        pa_context_set_state_callback(connection->context(), &PulseStream::contextChanged, this);
        m_connection = std::move(connection);
        // A change of default output, or an output that comes or goes, may move the system
        // audio; so may a change made while the capture started.
        pa_context_set_subscribe_callback(m_connection->context(), &PulseStream::serverChanged,
                                          this);
        unref(pa_context_subscribe(
            m_connection->context(),
            pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK),
            nullptr, nullptr));
        followDefaultOutput();
    }

    void stopNow()
    {
        if (!m_connection)
            return;
        {
            Connection::Lock lock(m_connection->loop());
            m_stopping = true;
            pa_context_set_state_callback(m_connection->context(), nullptr, nullptr);
            pa_context_set_subscribe_callback(m_connection->context(), nullptr, nullptr);
            for (Source &source : m_sources) {
                flush(source);
                if (source.stream)
                    closeRecord(std::exchange(source.stream, nullptr));
            }
        }
        m_connection.reset();
        m_sources.clear();
    }

    static void deliver(Source &source, AudioBuffer buffer)
    {
        AudioSink *sink = source.sink;
        const OutputType type = source.type;
        sink->post([sink, type, buffer = std::move(buffer)] { sink->output(buffer, type); });
    }

    static void flush(Source &source)
    {
        source.timeline->flush([&](AudioBuffer buffer) { deliver(source, std::move(buffer)); });
    }

    // On the main loop's thread, lock held.
    static void readable(pa_stream *stream, size_t, void *data)
    {
        Source &source = *static_cast<Source *>(data);
        if (source.owner->m_stopping)
            return;
        const int channels = source.owner->m_configuration.channelCount;
        const auto frameBytes = sizeof(float) * static_cast<std::size_t>(channels);
        while (pa_stream_readable_size(stream) > 0) {
            const void *samples = nullptr;
            size_t bytes = 0;
            if (pa_stream_peek(stream, &samples, &bytes) < 0 || bytes == 0)
                break;
            // The time of this buffer's first frame, read before it is dropped.
            double stamp = std::nan("");
            pa_usec_t latency = 0;
            int negative = 0;
            if (pa_stream_get_latency(stream, &latency, &negative) == 0) {
                const double seconds = double(latency) / 1e6;
                stamp = monotonicSeconds() - (negative ? -seconds : seconds);
            }
            AudioBuffer buffer;
            buffer.sampleRate = source.owner->m_configuration.sampleRate;
            buffer.channels = channels;
            const std::size_t count = bytes / frameBytes * std::size_t(channels);
            // A hole in the stream becomes silence, so the timeline does not shift.
            if (samples) {
                const auto *first = static_cast<const float *>(samples);
                buffer.samples.assign(first, first + count);
            } else {
                buffer.samples.assign(count, 0.0f);
            }
            pa_stream_drop(stream);
            source.timeline->take(std::move(buffer), stamp,
                                  [&](AudioBuffer ready) { deliver(source, std::move(ready)); });
        }
    }

    static void stateChanged(pa_stream *stream, void *data)
    {
        Source &source = *static_cast<Source *>(data);
        PulseStream &owner = *source.owner;
        pa_threaded_mainloop_signal(source.loop, 0);
        if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream)))
            return;
        // The output being recorded went away: the system track waits, silent, for the next
        // default output; the microphone goes on.
        if (source.type == OutputType::System && owner.m_connection && !owner.m_stopping &&
            !owner.m_ended) {
            flush(source);
            closeRecord(std::exchange(source.stream, nullptr));
            owner.followDefaultOutput();
            return;
        }
        owner.ended(pa_context_errno(pa_stream_get_context(stream)));
    }

    static void unref(pa_operation *operation)
    {
        if (operation)
            pa_operation_unref(operation);
    }

    // Asks for the default sink; its monitor becomes the system audio (in sinkFound). Lock held.
    void followDefaultOutput()
    {
        unref(pa_context_get_server_info(m_connection->context(), &PulseStream::serverFound, this));
    }

    static void serverChanged(pa_context *, pa_subscription_event_type_t event, uint32_t,
                              void *data)
    {
        auto *self = static_cast<PulseStream *>(data);
        const auto facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        const auto kind = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
        // A sink's volume or state changes often and moves nothing.
        if (self->m_stopping || self->m_ended ||
            (facility == PA_SUBSCRIPTION_EVENT_SINK && kind == PA_SUBSCRIPTION_EVENT_CHANGE))
            return;
        self->followDefaultOutput();
    }

    static void serverFound(pa_context *context, const pa_server_info *info, void *data)
    {
        auto *self = static_cast<PulseStream *>(data);
        if (self->m_stopping || self->m_ended || !info || !info->default_sink_name)
            return;
        unref(pa_context_get_sink_info_by_name(context, info->default_sink_name,
                                               &PulseStream::sinkFound, self));
    }

    static void sinkFound(pa_context *, const pa_sink_info *info, int last, void *data)
    {
        auto *self = static_cast<PulseStream *>(data);
        if (last != 0 || !info || !info->monitor_source_name || self->m_stopping || self->m_ended)
            return;
        self->recordSystemFrom(QByteArray(info->monitor_source_name));
    }

    // Moves the system audio to a monitor. The new stream gets a timeline of its own: its
    // buffers carry their own times, and the sink lays them after silence for the gap.
    void recordSystemFrom(const QByteArray &monitor)
    {
        const auto found = std::find_if(m_sources.begin(), m_sources.end(), [](const Source &s) {
            return s.type == OutputType::System;
        });
        if (found == m_sources.end())
            return;
        Source &source = *found;
        if (source.stream && source.device == monitor)
            return;
        flush(source);
        if (source.stream)
            closeRecord(std::exchange(source.stream, nullptr));
        source.device = monitor;
        source.timeline = std::make_unique<Timeline>(m_configuration.sampleRate);
        // Kept on this output: when it goes, the next default is chosen here, not by the
        // server, which would move the stream to the microphone.
        source.stream =
            openRecord(*m_connection, systemName, monitor, sampleSpec(m_configuration), true);
        if (!source.stream)
            return; // tried again at the next change
        pa_stream_set_state_callback(source.stream, &PulseStream::stateChanged, &source);
        pa_stream_set_read_callback(source.stream, &PulseStream::readable, &source);
    }

    static void contextChanged(pa_context *context, void *data)
    {
        auto *self = static_cast<PulseStream *>(data);
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context)))
            self->ended(pa_context_errno(context));
    }

    // The capture ended on its own: keep what was captured, then tell the delegate once.
    void ended(int error)
    {
        if (m_stopping || m_ended || !m_connection)
            return;
        m_ended = true;
        for (Source &source : m_sources)
            flush(source);
        const QString description =
            QStringLiteral("La grabación se detuvo (servidor de sonido: %1).")
                .arg(QString::fromUtf8(pa_strerror(error)));
        if (m_delegate)
            m_delegate->streamDidStop(this, serial(), description);
    }

    static constexpr const char *systemName = "Quorvale system audio";

    const QByteArray m_server;
    const CaptureDisplay m_display;
    const CaptureConfiguration m_configuration;
    CaptureDelegate *const m_delegate;
    std::map<OutputType, std::shared_ptr<AudioSink>> m_sinks;
    std::unique_ptr<Connection> m_connection;
    std::vector<Source> m_sources; // reserved before use: the callbacks hold their addresses
    bool m_stopping = false;
    bool m_ended = false;
};

// Access means the default source exists and can really be opened.
bool microphoneUsable(QByteArray server)
{
    Connection connection(server);
    Connection::Lock lock(connection.loop());
    const Defaults names = defaults(connection);
    if (names.source.isEmpty())
        return false;
    pa_stream *probe =
        openRecord(connection, "Quorvale microphone check", names.source, sampleSpec({}));
    if (!probe)
        return false;
    pa_stream_set_state_callback(
        probe,
        [](pa_stream *, void *loop) {
            pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop *>(loop), 0);
        },
        connection.loop());
    const bool ready = waitReady(connection.loop(), probe);
    closeRecord(probe);
    return ready;
}

// The default sink, whose monitor is the system audio; none when there is no output.
QList<CaptureDisplay> outputs(QByteArray server)
{
    Connection connection(server);
    Connection::Lock lock(connection.loop());
    const Defaults names = defaults(connection);
    QList<CaptureDisplay> found;
    if (names.sink.isEmpty())
        return found;
    if (const auto monitor = monitorOf(connection, names.sink))
        found.append(CaptureDisplay{QString::fromUtf8(names.sink), QString::fromUtf8(*monitor)});
    return found;
}

class PulseCapture final : public CaptureLayer
{
public:
    explicit PulseCapture(QByteArray server)
        : m_server(std::move(server))
    {}

    QCoro::Task<bool> requestMicrophoneAccess() override
    {
        recording::Attempt<bool> allowed = co_await QtConcurrent::run(
            &recording::attempt<bool, decltype(&microphoneUsable), QByteArray>, &microphoneUsable,
            m_server);
        co_return allowed.take();
    }

    QCoro::Task<QList<CaptureDisplay>> displays() override
    {
        recording::Attempt<QList<CaptureDisplay>> found = co_await QtConcurrent::run(
            &recording::attempt<QList<CaptureDisplay>, decltype(&outputs), QByteArray>, &outputs,
            m_server);
        co_return found.take();
    }

    std::unique_ptr<CaptureStream> createStream(const CaptureDisplay &display,
                                                const CaptureConfiguration &configuration,
                                                CaptureDelegate *delegate) override
    {
        return std::make_unique<PulseStream>(m_server, display, configuration, delegate);
    }

private:
    const QByteArray m_server;
};

} // namespace

std::unique_ptr<CaptureLayer> makePulseCapture(const QString &server)
{
    return std::make_unique<PulseCapture>(server.toUtf8());
}

} // namespace quorvale
