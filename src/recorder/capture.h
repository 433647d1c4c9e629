#pragma once

// The platform's audio capture behind one interface: the recorder asks it for the microphone,
// for an output to record, and for a stream that delivers both sources' buffers to a sink.
// One implementation per platform (libpulse here); tests may script their own.

#include "files/error.h"

#include <QCoroTask>
#include <QString>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <vector>

namespace quorvale {

class AudioSink;

// The kinds of output a capture stream can deliver. Video is never registered.
enum class OutputType { Video = 0, System = 1, Microphone = 2 };

// One buffer of captured audio: interleaved 32-bit float frames and the time of its first frame
// on the capture clock (CLOCK_MONOTONIC, seconds), which both sources share.
struct AudioBuffer
{
    int sampleRate = 0;
    int channels = 0;
    double time = 0;
    std::vector<float> samples;

    qint64 frames() const { return channels > 0 ? qint64(samples.size()) / channels : 0; }
};

// An error of the capture platform (no sound server, a stream that cannot be opened). Its text
// is shown to the user as it is.
class CaptureError : public Error
{
public:
    using Error::Error;
};

// Something whose sound the capture can record: on Linux an output device and its monitor.
struct CaptureDisplay
{
    QString name;
    QString monitor;
};

struct CaptureConfiguration
{
    int sampleRate = 48000;
    int channelCount = 2;
    bool capturesAudio = true;
    bool captureMicrophone = true;
    bool excludesCurrentProcessAudio = true;
};

class CaptureStream;

// Told when a stream ends without being asked to. Called on any thread.
class CaptureDelegate
{
public:
    virtual void streamDidStop(CaptureStream *stream, quint64 serial, const QString &error) = 0;

protected:
    ~CaptureDelegate() = default;
};

class CaptureStream
{
public:
    CaptureStream()
        : m_serial(++counter())
    {}
    virtual ~CaptureStream() = default;
    CaptureStream(const CaptureStream &) = delete;
    CaptureStream &operator=(const CaptureStream &) = delete;

    // Distinguishes this stream from any earlier one, even one at the same address.
    quint64 serial() const { return m_serial; }

    // Registers the sink for one output type; its buffers go to the sink's queue. Throws
    // CaptureError.
    virtual void addOutput(std::shared_ptr<AudioSink> sink, OutputType type) = 0;
    // Both start and stop throw CaptureError. Once stopCapture has returned, no buffer reaches
    // the sink any more, and the delegate is not called again.
    virtual QCoro::Task<> startCapture() = 0;
    virtual QCoro::Task<> stopCapture() = 0;

private:
    static std::atomic<quint64> &counter()
    {
        static std::atomic<quint64> value{0};
        return value;
    }
    quint64 m_serial;
};

class CaptureLayer
{
public:
    virtual ~CaptureLayer() = default;

    // True if the microphone may be used. Throws CaptureError when the capture service cannot
    // be reached at all.
    virtual QCoro::Task<bool> requestMicrophoneAccess() = 0;
    // What can be recorded; may be empty. Throws CaptureError.
    virtual QCoro::Task<QList<CaptureDisplay>> displays() = 0;
    virtual std::unique_ptr<CaptureStream> createStream(const CaptureDisplay &display,
                                                        const CaptureConfiguration &configuration,
                                                        CaptureDelegate *delegate) = 0;
};

// The capture of this platform. An empty server means the user's default sound server.
std::unique_ptr<CaptureLayer> makePulseCapture(const QString &server = {});

} // namespace quorvale
