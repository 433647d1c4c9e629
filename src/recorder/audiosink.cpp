#include "recorder/audiosink.h"

#include "service/durablefile.h"
#include "json/json.h"

#include <QCoroFuture>
#include <QFile>
#include <QPromise>
#include <QThread>

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

} // namespace

// One worker thread running posted work in order. Its object name is the queue's label.
class AudioSink::Queue final : public QThread
{
public:
    Queue()
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
        for (;;) {
            std::function<void()> work;
            {
                std::unique_lock lock(m_mutex);
                m_wake.wait(lock, [this] { return m_stopping || !m_work.empty(); });
                // What was posted before the sink went away still runs.
                if (m_work.empty())
                    return;
                work = std::move(m_work.front());
                m_work.pop_front();
            }
            work();
        }
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_work;
    bool m_stopping = false;
};

struct AudioSink::State
{
    std::map<OutputType, TrackFile> files;
    std::map<OutputType, double> starts;
    std::optional<QString> failure;
    bool finished = false;
};

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
    , m_state(std::make_unique<State>())
    , m_queue(std::make_unique<Queue>())
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

void AudioSink::output(const AudioBuffer &buffer, OutputType type)
{
    State &state = *m_state;
    if (buffer.sampleRate <= 0 || buffer.channels <= 0 ||
        (type != OutputType::System && type != OutputType::Microphone) || state.failure ||
        state.finished)
        return;
    // A buffer whose samples do not make whole frames cannot be written as audio.
    if (buffer.samples.size() % static_cast<std::size_t>(buffer.channels) != 0)
        return;

    const QString base = m_directory + u'/' + sourceName(type);
    try {
        auto found = state.files.find(type);
        if (found == state.files.end()) {
            SF_INFO info{};
            info.samplerate = buffer.sampleRate;
            info.channels = buffer.channels;
            info.format = SF_FORMAT_CAF | SF_FORMAT_FLOAT | SF_ENDIAN_LITTLE;
            TrackFile file(sf_open(QFile::encodeName(base + QStringLiteral(".caf")).constData(),
                                   SFM_WRITE, &info));
            if (!file)
                throw std::runtime_error("track file");
            // Keeps the header current after every write: a killed process leaves a whole file.
            sf_command(file.get(), SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
            found = state.files.emplace(type, std::move(file)).first;
            state.starts[type] = buffer.time;
            JSON record = JSON::object();
            record.set("first", JSON(buffer.time));
            const std::string text = record.encode();
            durable::writeFileAtomically(
                base + QStringLiteral(".json"),
                QByteArray(text.data(), static_cast<qsizetype>(text.size())));
        }
        const sf_count_t frames = buffer.frames();
        if (frames > 0 &&
            sf_writef_float(found->second.get(), buffer.samples.data(), frames) != frames)
            throw std::runtime_error("append");
    } catch (const std::exception &) {
        state.failure = failureMessage();
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
