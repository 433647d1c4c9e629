#include "recorder/mixer.h"

#include "service/durablefile.h"
#include "service/serviceerror.h"
#include "json/json.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libswresample/swresample.h>
}

#include <sndfile.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace quorvale {

MediaError::MediaError(const QString &message)
    : std::runtime_error(message.toStdString())
{}

namespace {

constexpr int kRate = 48000;
constexpr int kBitRate = 128000;
// Frames read from a track at once: large enough to amortise the calls, small enough that
// memory does not grow with the length of the meeting.
constexpr int kChunk = 4096;
// The AAC frame: the mix is summed one encoder frame at a time, straight into its buffers.
constexpr int kFrame = 1024;

QString noAudioMessage()
{
    return QStringLiteral(
        "No se recibió audio. Los archivos de recuperación permanecen en tu Mac.");
}

QString avError(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return QString::fromUtf8(text);
}

void checkEncoding(int code)
{
    if (code < 0)
        throw MediaError(QStringLiteral("No se pudo codificar el audio: %1").arg(avError(code)));
}

// The libraries report through exceptions here; FFmpeg's own chatter (the encoder's statistics
// at close) would otherwise land on stderr. An application that chose a level keeps it.
void quietenFFmpeg()
{
    static std::once_flag once;
    std::call_once(once, [] {
        if (av_log_get_level() == AV_LOG_INFO)
            av_log_set_level(AV_LOG_QUIET);
    });
}

struct SndfileCloser
{
    void operator()(SNDFILE *file) const { sf_close(file); }
};

struct SwrFreer
{
    void operator()(SwrContext *context) const { swr_free(&context); }
};

// One track file, read in chunks and converted to the mix's format (48 kHz, two float planes).
class TrackReader final
{
public:
    TrackReader(const QString &path, qint64 offset)
        : m_path(path)
        , m_offset(offset)
    {
        SF_INFO info = {};
        m_file.reset(sf_open(QFile::encodeName(path).constData(), SFM_READ, &info));
        if (!m_file)
            throw MediaError(QStringLiteral("No se pudo leer la pista de audio %1: %2")
                                 .arg(path, QString::fromUtf8(sf_strerror(nullptr))));
        m_frames = info.frames;
        m_channels = info.channels;
        if (m_frames <= 0 || m_channels <= 0)
            return;
        m_input.resize(static_cast<std::size_t>(kChunk) * static_cast<std::size_t>(m_channels));
        if (info.samplerate != kRate || m_channels != 2)
            openConverter(info.samplerate);
        m_left.resize(kChunk);
        m_right.resize(kChunk);
    }

    // A file without a single frame: a source that never got audio, or a writer that died
    // before it could record the length.
    bool hasAudio() const { return m_frames > 0 && m_channels > 0; }
    // Where the track begins on the mix's timeline, in output frames.
    qint64 offset() const { return m_offset; }

    // Adds up to count frames of the track to left and right; returns how many. Fewer than
    // count only at the end of the track.
    int addTo(float *left, float *right, int count)
    {
        int added = 0;
        while (added < count) {
            if (m_used == m_have && !refill())
                break;
            const int n = std::min(count - added, m_have - m_used);
            const float *l = m_left.data() + m_used;
            const float *r = m_right.data() + m_used;
            float *outL = left + added;
            float *outR = right + added;
            for (int i = 0; i < n; ++i) {
                outL[i] += l[i];
                outR[i] += r[i];
            }
            m_used += n;
            added += n;
        }
        return added;
    }

private:
    void openConverter(int sampleRate)
    {
        AVChannelLayout in = {};
        AVChannelLayout out = {};
        av_channel_layout_default(&in, m_channels);
        av_channel_layout_default(&out, 2);
        SwrContext *context = nullptr;
        int code = swr_alloc_set_opts2(&context, &out, AV_SAMPLE_FMT_FLTP, kRate, &in,
                                       AV_SAMPLE_FMT_FLT, sampleRate, 0, nullptr);
        m_swr.reset(context);
        av_channel_layout_uninit(&in);
        av_channel_layout_uninit(&out);
        // A single microphone is heard at full level in both ears, not 3 dB down as the
        // default centre-channel downmix would have it.
        const double monoToStereo[2] = {1.0, 1.0};
        if (code >= 0 && m_channels == 1)
            code = swr_set_matrix(m_swr.get(), monoToStereo, 1);
        if (code >= 0)
            code = swr_init(m_swr.get());
        if (code < 0)
            throw conversionError(code);
    }

    MediaError conversionError(int code) const
    {
        return MediaError(QStringLiteral("No se pudo convertir la pista de audio %1: %2")
                              .arg(m_path, avError(code)));
    }

    // Reads the next chunk into the two planes; false once the track (and the converter's
    // tail) is used up.
    bool refill()
    {
        m_have = m_used = 0;
        while (!m_ended) {
            const sf_count_t read = sf_readf_float(m_file.get(), m_input.data(), kChunk);
            if (read < kChunk && sf_error(m_file.get()) != SF_ERR_NO_ERROR)
                throw MediaError(QStringLiteral("No se pudo leer la pista de audio %1: %2")
                                     .arg(m_path, QString::fromUtf8(sf_strerror(m_file.get()))));
            const int frames = static_cast<int>(std::max<sf_count_t>(read, 0));
            if (!m_swr) {
                const float *in = m_input.data();
                for (int i = 0; i < frames; ++i) {
                    m_left[static_cast<std::size_t>(i)] = in[2 * i];
                    m_right[static_cast<std::size_t>(i)] = in[2 * i + 1];
                }
                m_have = frames;
                m_ended = frames == 0;
                return frames > 0;
            }
            // With no input left, the converter hands out what it still holds.
            const int capacity = swr_get_out_samples(m_swr.get(), frames);
            if (capacity < 0)
                throw conversionError(capacity);
            if (static_cast<std::size_t>(capacity) > m_left.size()) {
                m_left.resize(static_cast<std::size_t>(capacity));
                m_right.resize(static_cast<std::size_t>(capacity));
            }
            const auto *in = reinterpret_cast<const uint8_t *>(m_input.data());
            uint8_t *out[2] = {reinterpret_cast<uint8_t *>(m_left.data()),
                               reinterpret_cast<uint8_t *>(m_right.data())};
            const int converted =
                swr_convert(m_swr.get(), out, capacity, frames > 0 ? &in : nullptr, frames);
            if (converted < 0)
                throw conversionError(converted);
            m_have = converted;
            m_ended = frames == 0 && converted == 0;
            if (converted > 0)
                return true;
        }
        return false;
    }

    QString m_path;
    qint64 m_offset;
    std::unique_ptr<SNDFILE, SndfileCloser> m_file;
    std::unique_ptr<SwrContext, SwrFreer> m_swr;
    sf_count_t m_frames = 0;
    int m_channels = 0;
    std::vector<float> m_input; // interleaved, as the file holds it
    std::vector<float> m_left;
    std::vector<float> m_right;
    int m_have = 0;
    int m_used = 0;
    bool m_ended = false;
};

// An M4A file being written: the AAC encoder, the muxer and one reusable frame.
class AacWriter final
{
public:
    explicit AacWriter(const QString &path)
    {
        quietenFFmpeg();
        const AVCodec *codec = avcodec_find_encoder_by_name("aac");
        const AVOutputFormat *format = av_guess_format("ipod", nullptr, nullptr);
        if (!codec || !format)
            throw ServiceError(0, QStringLiteral("No se pudo preparar el audio."));

        // "file:" keeps a colon in the path from being read as a protocol name.
        const QByteArray url = "file:" + QFile::encodeName(path);
        checkEncoding(avformat_alloc_output_context2(&m_format, format, nullptr, url.constData()));
        m_stream = avformat_new_stream(m_format, nullptr);
        m_codec = avcodec_alloc_context3(codec);
        m_packet = av_packet_alloc();
        m_frame = av_frame_alloc();
        if (!m_stream || !m_codec || !m_packet || !m_frame)
            checkEncoding(AVERROR(ENOMEM));

        m_codec->sample_fmt = AV_SAMPLE_FMT_FLTP;
        m_codec->sample_rate = kRate;
        av_channel_layout_default(&m_codec->ch_layout, 2);
        m_codec->bit_rate = kBitRate;
        m_codec->time_base = AVRational{1, kRate};
        if (m_format->oformat->flags & AVFMT_GLOBALHEADER)
            m_codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        checkEncoding(avcodec_open2(m_codec, codec, nullptr));
        checkEncoding(avcodec_parameters_from_context(m_stream->codecpar, m_codec));
        m_stream->time_base = m_codec->time_base;

        checkEncoding(avio_open(&m_format->pb, url.constData(), AVIO_FLAG_WRITE));
        // The index first, so that the file plays while it is still being downloaded.
        AVDictionary *options = nullptr;
        av_dict_set(&options, "movflags", "+faststart", 0);
        const int written = avformat_write_header(m_format, &options);
        av_dict_free(&options);
        checkEncoding(written);

        m_frame->format = AV_SAMPLE_FMT_FLTP;
        m_frame->sample_rate = kRate;
        checkEncoding(av_channel_layout_copy(&m_frame->ch_layout, &m_codec->ch_layout));
        m_frame->nb_samples = kFrame;
        checkEncoding(av_frame_get_buffer(m_frame, 0));
    }

    ~AacWriter()
    {
        av_frame_free(&m_frame);
        av_packet_free(&m_packet);
        avcodec_free_context(&m_codec);
        if (m_format)
            avio_closep(&m_format->pb);
        avformat_free_context(m_format);
    }

    AacWriter(const AacWriter &) = delete;
    AacWriter &operator=(const AacWriter &) = delete;

    // The next frame's two planes, silent, kFrame samples long.
    std::pair<float *, float *> silentFrame()
    {
        checkEncoding(av_frame_make_writable(m_frame));
        auto *left = reinterpret_cast<float *>(m_frame->data[0]);
        auto *right = reinterpret_cast<float *>(m_frame->data[1]);
        std::fill_n(left, kFrame, 0.0f);
        std::fill_n(right, kFrame, 0.0f);
        return {left, right};
    }

    // Encodes the first samples of the frame from silentFrame(); only the last may be short.
    void write(int samples)
    {
        m_frame->nb_samples = samples;
        m_frame->pts = m_samples;
        m_samples += samples;
        encode(m_frame);
    }

    qint64 samples() const { return m_samples; }

    void finish()
    {
        encode(nullptr);
        checkEncoding(av_write_trailer(m_format));
        checkEncoding(avio_closep(&m_format->pb));
    }

private:
    void encode(const AVFrame *frame)
    {
        checkEncoding(avcodec_send_frame(m_codec, frame));
        for (;;) {
            const int received = avcodec_receive_packet(m_codec, m_packet);
            if (received == AVERROR(EAGAIN) || received == AVERROR_EOF)
                return;
            checkEncoding(received);
            av_packet_rescale_ts(m_packet, m_codec->time_base, m_stream->time_base);
            m_packet->stream_index = m_stream->index;
            checkEncoding(av_interleaved_write_frame(m_format, m_packet));
        }
    }

    AVFormatContext *m_format = nullptr;
    AVStream *m_stream = nullptr;
    AVCodecContext *m_codec = nullptr;
    AVPacket *m_packet = nullptr;
    AVFrame *m_frame = nullptr;
    qint64 m_samples = 0;
};

void encodeMix(std::vector<std::unique_ptr<TrackReader>> &readers, const QString &path)
{
    AacWriter writer(path);
    std::vector<bool> ended(readers.size(), false);
    for (qint64 position = 0;; position += kFrame) {
        const auto [left, right] = writer.silentFrame();
        int length = 0;
        bool more = false;
        for (std::size_t i = 0; i < readers.size(); ++i) {
            if (ended[i])
                continue;
            TrackReader &reader = *readers[i];
            if (reader.offset() >= position + kFrame) {
                more = true; // begins in a later frame; silence until then
                continue;
            }
            const int at = static_cast<int>(std::max<qint64>(reader.offset() - position, 0));
            const int wanted = kFrame - at;
            const int added = reader.addTo(left + at, right + at, wanted);
            length = std::max(length, at + added);
            if (added < wanted)
                ended[i] = true;
            else
                more = true;
        }
        if (more)
            length = kFrame;
        if (length > 0)
            writer.write(length);
        if (!more)
            break;
    }
    // Headers that promised frames the files do not hold.
    if (writer.samples() == 0)
        throw ServiceError(0, noAudioMessage());
    writer.finish();
}

} // namespace

QString mixTracks(const QList<Track> &tracks, const QString &output)
{
    if (tracks.isEmpty())
        throw ServiceError(0, noAudioMessage());

    double earliest = 0;
    bool first = true;
    for (const Track &track : tracks) {
        if (std::isfinite(track.start) && (first || track.start < earliest)) {
            earliest = track.start;
            first = false;
        }
    }

    // Every track is opened before the output exists: a track that cannot be read leaves
    // nothing behind.
    std::vector<std::unique_ptr<TrackReader>> readers;
    for (const Track &track : tracks) {
        const double seconds = track.start - earliest;
        // Far beyond any meeting, and beyond what a frame count can hold.
        if (std::isfinite(seconds) && seconds > 1e12)
            throw MediaError(
                QStringLiteral("La pista de audio %1 empieza demasiado tarde.").arg(track.path));
        const qint64 offset =
            std::isfinite(seconds) && seconds > 0 ? std::llround(seconds * kRate) : 0;
        auto reader = std::make_unique<TrackReader>(track.path, offset);
        if (reader->hasAudio())
            readers.push_back(std::move(reader));
    }
    if (readers.empty())
        throw ServiceError(0, noAudioMessage());

    // Written beside the output and renamed over it once complete, so that a crash never
    // leaves a partial file under the name recovery takes as finished.
    const QFileInfo target(output);
    QTemporaryFile temporary(target.absolutePath() + QStringLiteral("/.") + target.fileName() +
                             QStringLiteral(".XXXXXX"));
    if (!temporary.open())
        throw FileError(QStringLiteral("No se pudo escribir %1: %2")
                            .arg(target.absolutePath(), temporary.errorString()));
    const QString partial = temporary.fileName();
    temporary.close();

    encodeMix(readers, partial);
    readers.clear();

    if (!QFile::setPermissions(partial, QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        throw FileError(QStringLiteral("No se pudieron ajustar los permisos de %1.").arg(output));
    durable::syncFile(partial);
    if (std::rename(QFile::encodeName(partial).constData(),
                    QFile::encodeName(output).constData()) != 0)
        throw durable::writeError(output, errno);
    temporary.setAutoRemove(false);
    durable::syncDirectory(target.absolutePath());
    return output;
}

QList<Track> recoveryTracks(const QString &directory)
{
    QList<Track> tracks;
    QList<bool> known;
    for (const QString &name : {QStringLiteral("system"), QStringLiteral("microphone")}) {
        const QString track = directory + u'/' + name + QStringLiteral(".caf");
        if (!QFileInfo::exists(track))
            continue;
        double start = 0;
        bool found = false;
        QFile record(directory + u'/' + name + QStringLiteral(".json"));
        // A start record is a few bytes; anything large is not one.
        if (record.open(QIODevice::ReadOnly) && record.size() <= 65536) {
            const QByteArray bytes = record.readAll();
            try {
                const JSON value =
                    JSON::decode(std::string_view(bytes.constData(), std::size_t(bytes.size())));
                if (value.isObject() && value["first"].isNumber()) {
                    start = value["first"].numberValue();
                    found = true;
                }
            } catch (const std::exception &) {
                // Unreadable: handled below like a missing record.
            }
        }
        tracks.append(Track{track, start});
        known.append(found);
    }
    // The capture clock counts from boot, so reading a lost start as 0 would put the other
    // source hours or days into the mix. A source whose start is lost starts with the
    // earliest known one instead.
    double earliest = 0;
    bool any = false;
    for (qsizetype i = 0; i < tracks.size(); ++i) {
        if (known[i] && (!any || tracks[i].start < earliest)) {
            earliest = tracks[i].start;
            any = true;
        }
    }
    for (qsizetype i = 0; i < tracks.size(); ++i) {
        if (!known[i])
            tracks[i].start = earliest;
    }
    return tracks;
}

QString recoverDirectory(const QString &directory)
{
    const QString output = directory + QStringLiteral("/meeting.m4a");
    if (QFileInfo::exists(output))
        return output;
    return mixTracks(recoveryTracks(directory), output);
}

QStringList recoverableDirectories(const QString &accountFolder)
{
    QStringList pending;
    const QDir folder(accountFolder);
    if (!folder.exists())
        return pending;
    const QFileInfoList entries = folder.entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QFileInfo &entry : entries) {
        const QString path = entry.absoluteFilePath();
        if (!QFileInfo::exists(path + QStringLiteral("/uploaded.json")))
            pending.append(path);
    }
    return pending;
}

} // namespace quorvale
