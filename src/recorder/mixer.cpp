#include "recorder/mixer.h"

#include "files/durablefile.h"
#include "json/json.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QtEndian>

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
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace quorvale {

namespace {

constexpr int kRate = 48000;
constexpr int kBitRate = 128000;
// Frames read from a track at once: large enough to amortise the calls, small enough that
// memory does not grow with the length of the meeting.
constexpr int kChunk = 4096;
// The AAC frame: the mix is summed one encoder frame at a time, straight into its buffers.
constexpr int kFrame = 1024;

// Start records further apart than any meeting lasts: one of them is damaged.
constexpr double kLongestApart = 6 * 3600;

bool isEnglish(const QString &language)
{
    return language == QLatin1String("en");
}

QString noAudioMessage(const QString &language)
{
    return isEnglish(language)
               ? QStringLiteral(
                     "No audio was received. The recovery files remain on this computer.")
               : QStringLiteral("No se recibió audio. Los archivos de recuperación permanecen en "
                                "este equipo.");
}

QString leftOutMessage(const QStringList &sources, const QString &language)
{
    if (sources.isEmpty())
        return {};
    const bool english = isEnglish(language);
    QStringList names;
    for (const QString &source : sources)
        names.append(source == u"system" ? (english ? QStringLiteral("the system audio")
                                                    : QStringLiteral("el audio del sistema"))
                                         : (english ? QStringLiteral("the microphone")
                                                    : QStringLiteral("el micrófono")));
    return english ? QStringLiteral("The recording was recovered without %1: its track could not "
                                    "be read.")
                         .arg(names.join(QStringLiteral(" and ")))
                   : QStringLiteral("La grabación se recuperó sin %1: su pista no se pudo leer.")
                         .arg(names.join(QStringLiteral(" y ")));
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

// Where the audio of a CAF file lies and how it is stored, read from its chunks alone.
struct RawAudio
{
    int format = 0; // libsndfile's raw format with subtype and byte order
    int sampleRate = 0;
    int channels = 0;
    sf_count_t offset = 0;
    sf_count_t frames = 0;
};

// Linear PCM in a CAF file whose data chunk libsndfile refuses (a size that is unknown or
// beyond the file) or reads as empty (a size never written): the audio is taken to run from
// the data chunk to the end of the file, as the recorder writes it.
std::optional<RawAudio> rawCafAudio(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || !file.read(8).startsWith("caff"))
        return {};
    const qint64 size = file.size();
    std::optional<RawAudio> audio;
    int bytesPerFrame = 0;
    for (qint64 at = 8; at + 12 <= size;) {
        file.seek(at);
        const QByteArray header = file.read(12);
        const qint64 length = qFromBigEndian<qint64>(header.constData() + 4);
        const qint64 body = at + 12;
        if (header.startsWith("desc") && length >= 32) {
            const QByteArray d = file.read(32);
            if (d.size() != 32)
                return {};
            const auto word = [&](int i) { return qFromBigEndian<quint32>(d.constData() + i); };
            const double rate = std::bit_cast<double>(qFromBigEndian<quint64>(d.constData()));
            const quint32 flags = word(12), framesPerPacket = word(20), channels = word(24),
                          bits = word(28);
            const bool isFloat = flags & 1;
            int subtype = 0;
            if (isFloat)
                subtype = bits == 32 ? SF_FORMAT_FLOAT : bits == 64 ? SF_FORMAT_DOUBLE : 0;
            else
                subtype = bits == 8    ? SF_FORMAT_PCM_S8
                          : bits == 16 ? SF_FORMAT_PCM_16
                          : bits == 24 ? SF_FORMAT_PCM_24
                          : bits == 32 ? SF_FORMAT_PCM_32
                                       : 0;
            if (d.mid(8, 4) != "lpcm" || subtype == 0 || framesPerPacket != 1 || channels < 1 ||
                channels > 64 || !(rate >= 1 && rate <= 768000))
                return {};
            audio =
                RawAudio{SF_FORMAT_RAW | subtype | ((flags & 2) ? SF_ENDIAN_LITTLE : SF_ENDIAN_BIG),
                         int(std::lround(rate)), int(channels), 0, 0};
            bytesPerFrame = int(channels * bits / 8);
        } else if (header.startsWith("data")) {
            if (!audio)
                return {};
            // After the chunk header comes a 4-byte edit count, then the samples.
            audio->offset = body + 4;
            audio->frames = std::max<qint64>(size - audio->offset, 0) / bytesPerFrame;
            return audio;
        }
        if (length < 0 || length > size - body)
            return {};
        at = body + length;
    }
    return {};
}

// One track file, read in chunks and converted to the mix's format (48 kHz, two float planes).
// A salvaging reader also reads a file whose header is damaged and stops quietly where the
// audio on disk ends.
class TrackReader final
{
public:
    TrackReader(const QString &path, qint64 offset, bool salvage = false)
        : m_path(path)
        , m_offset(offset)
        , m_salvage(salvage)
    {
        SF_INFO info = {};
        m_file.reset(sf_open(QFile::encodeName(path).constData(), SFM_READ, &info));
        if (salvage && (!m_file || info.frames <= 0)) {
            if (const std::optional<RawAudio> raw = rawCafAudio(path)) {
                info = SF_INFO{};
                info.format = raw->format;
                info.samplerate = raw->sampleRate;
                info.channels = raw->channels;
                m_file.reset(sf_open(QFile::encodeName(path).constData(), SFM_READ, &info));
                sf_count_t start = raw->offset;
                // The offset takes effect at the next seek.
                if (m_file && (sf_command(m_file.get(), SFC_SET_RAW_START_OFFSET, &start,
                                          sizeof start) != 0 ||
                               sf_seek(m_file.get(), 0, SEEK_SET) != 0))
                    m_file.reset();
                info.frames = raw->frames;
            }
        }
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
            if (read < kChunk && sf_error(m_file.get()) != SF_ERR_NO_ERROR && !m_salvage)
                throw MediaError(QStringLiteral("No se pudo leer la pista de audio %1: %2")
                                     .arg(m_path, QString::fromUtf8(sf_strerror(m_file.get()))));
            const int frames = static_cast<int>(std::max<sf_count_t>(read, 0));
            // Damaged audio may hold values the encoder refuses; they become silence.
            if (m_salvage)
                std::replace_if(
                    m_input.begin(), m_input.begin() + std::ptrdiff_t(frames) * m_channels,
                    [](float sample) { return !std::isfinite(sample); }, 0.0f);
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
    bool m_salvage;
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
            throw RecordingError(QStringLiteral("No se pudo preparar el audio."));

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

void encodeMix(std::vector<std::unique_ptr<TrackReader>> &readers, const QString &path,
               const QString &language)
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
        throw RecordingError(noAudioMessage(language));
    writer.finish();
}

// The readers of the tracks with audio, at their offsets. A track that cannot be read throws,
// unless unreadable is given: then the track is left out and its source name added there.
std::vector<std::unique_ptr<TrackReader>> openTracks(const QList<Track> &tracks,
                                                     QStringList *unreadable)
{
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
        std::unique_ptr<TrackReader> reader;
        try {
            reader = std::make_unique<TrackReader>(track.path, offset, unreadable != nullptr);
        } catch (const MediaError &) {
            if (!unreadable)
                throw;
            unreadable->append(QFileInfo(track.path).completeBaseName());
            continue;
        }
        if (reader->hasAudio())
            readers.push_back(std::move(reader));
    }
    return readers;
}

// Encodes the readers' mix to output, which appears only once complete.
void writeMix(std::vector<std::unique_ptr<TrackReader>> &readers, const QString &output,
              const QString &language)
{
    if (readers.empty())
        throw RecordingError(noAudioMessage(language));

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

    encodeMix(readers, partial, language);
    readers.clear();

    if (!QFile::setPermissions(partial, QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        throw FileError(QStringLiteral("No se pudieron ajustar los permisos de %1.").arg(output));
    durable::syncFile(partial);
    if (std::rename(QFile::encodeName(partial).constData(),
                    QFile::encodeName(output).constData()) != 0)
        throw durable::writeError(output, errno);
    temporary.setAutoRemove(false);
    durable::syncDirectory(target.absolutePath());
}

} // namespace

QString mixTracks(const QList<Track> &tracks, const QString &output, const QString &language)
{
    if (tracks.isEmpty())
        throw RecordingError(noAudioMessage(language));
    std::vector<std::unique_ptr<TrackReader>> readers = openTracks(tracks, nullptr);
    writeMix(readers, output, language);
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
        if (!known[i] || tracks[i].start - earliest > kLongestApart)
            tracks[i].start = earliest;
    }
    return tracks;
}

Recovery recoverRecording(const QString &directory, const QString &language)
{
    const QString output = directory + QStringLiteral("/meeting.m4a");
    if (QFileInfo::exists(output))
        return {output, {}};
    QStringList unreadable;
    std::vector<std::unique_ptr<TrackReader>> readers =
        openTracks(recoveryTracks(directory), &unreadable);
    writeMix(readers, output, language);
    return {output, leftOutMessage(unreadable, language)};
}

QString recoverDirectory(const QString &directory, const QString &language)
{
    return recoverRecording(directory, language).path;
}

bool holdsRecoverableAudio(const QString &directory)
{
    if (QFileInfo::exists(directory + QStringLiteral("/meeting.m4a")))
        return true;
    try {
        QStringList unreadable;
        return !openTracks(recoveryTracks(directory), &unreadable).empty();
    } catch (const std::exception &) {
        // A track that starts absurdly late: recovery names the fault, so it is offered.
        return true;
    }
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
