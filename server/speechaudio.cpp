#include "server/speechaudio.h"

#include "server/ffmpeg.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace quorvale::server {

namespace {

constexpr int speechRate = 16000;
constexpr std::size_t wavHeaderBytes = 44;

struct FreeResampler
{
    void operator()(SwrContext *resampler) const { swr_free(&resampler); }
};
struct CloseFile
{
    void operator()(std::FILE *file) const { std::fclose(file); }
};

std::string describe(int error)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return text;
}

void putLittleEndian(unsigned char *at, std::uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        at[i] = static_cast<unsigned char>(value >> (8 * i));
}

// The canonical 44-byte header of 16-bit mono PCM at 16 kHz.
std::vector<unsigned char> wavHeader(std::uint32_t dataBytes)
{
    std::vector<unsigned char> header(wavHeaderBytes);
    unsigned char *h = header.data();
    std::copy_n("RIFF", 4, h);
    putLittleEndian(h + 4, 36 + dataBytes, 4);
    std::copy_n("WAVEfmt ", 8, h + 8);
    putLittleEndian(h + 16, 16, 4);
    putLittleEndian(h + 20, 1, 2); // PCM
    putLittleEndian(h + 22, 1, 2); // mono
    putLittleEndian(h + 24, speechRate, 4);
    putLittleEndian(h + 28, speechRate * 2, 4);
    putLittleEndian(h + 32, 2, 2);
    putLittleEndian(h + 34, 16, 2);
    std::copy_n("data", 4, h + 36);
    putLittleEndian(h + 40, dataBytes, 4);
    return header;
}

class WavWriter final
{
public:
    explicit WavWriter(const std::filesystem::path &path)
        : m_file(std::fopen(path.c_str(), "wb"))
    {
        if (!m_file)
            throw AudioError("cannot create " + path.string());
        write(wavHeader(0).data(), wavHeaderBytes);
        m_dataBytes = 0;
    }

    void write(const void *data, std::size_t size)
    {
        // A WAV file counts its bytes in 32 bits.
        if (m_dataBytes + size > 0xFFFF0000u)
            throw AudioError("the recording is too long to transcribe");
        if (std::fwrite(data, 1, size, m_file.get()) != size)
            throw AudioError("cannot write the audio for transcription");
        m_dataBytes += size;
    }

    void finish()
    {
        const auto header = wavHeader(static_cast<std::uint32_t>(m_dataBytes));
        if (std::fseek(m_file.get(), 0, SEEK_SET) != 0 ||
            std::fwrite(header.data(), 1, header.size(), m_file.get()) != header.size() ||
            std::fflush(m_file.get()) != 0)
            throw AudioError("cannot write the audio for transcription");
    }

    std::uint64_t dataBytes() const { return m_dataBytes; }

private:
    std::unique_ptr<std::FILE, CloseFile> m_file;
    std::uint64_t m_dataBytes = 0;
};

} // namespace

double writeSpeechWav(const std::filesystem::path &input, const std::filesystem::path &wav)
{
    static std::once_flag quiet;
    std::call_once(quiet, [] { av_log_set_level(AV_LOG_QUIET); });

    AVFormatContext *opened = nullptr;
    if (const int error = avformat_open_input(&opened, input.c_str(), nullptr, nullptr); error < 0)
        throw AudioError("the recording cannot be read as audio: " + describe(error));
    const ffmpeg::Input format(opened);
    if (const int error = avformat_find_stream_info(format.get(), nullptr); error < 0)
        throw AudioError("the recording cannot be read as audio: " + describe(error));
    const AVCodec *codec = nullptr;
    const int stream = av_find_best_stream(format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (stream < 0 || !codec)
        throw AudioError("the recording holds no audio that can be decoded");

    const ffmpeg::Context decoder(avcodec_alloc_context3(codec));
    if (!decoder ||
        avcodec_parameters_to_context(decoder.get(), format->streams[stream]->codecpar) < 0 ||
        avcodec_open2(decoder.get(), codec, nullptr) < 0)
        throw AudioError("the recording's audio cannot be decoded");

    const ffmpeg::Packet packet(av_packet_alloc());
    const ffmpeg::Frame frame(av_frame_alloc());
    if (!packet || !frame)
        throw std::bad_alloc();
    std::unique_ptr<SwrContext, FreeResampler> resampler;
    WavWriter out(wav);
    std::vector<std::int16_t> samples;

    // Converts one decoded frame, or with no frame drains what the resampler holds.
    auto convert = [&](const AVFrame *decoded) {
        if (!resampler) {
            if (!decoded)
                return;
            AVChannelLayout layout;
            if (decoded->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
                av_channel_layout_default(&layout, decoded->ch_layout.nb_channels);
            else if (av_channel_layout_copy(&layout, &decoded->ch_layout) < 0)
                throw std::bad_alloc();
            AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
            SwrContext *made = nullptr;
            const int error = swr_alloc_set_opts2(
                &made, &mono, AV_SAMPLE_FMT_S16, speechRate, &layout,
                static_cast<AVSampleFormat>(decoded->format), decoded->sample_rate, 0, nullptr);
            av_channel_layout_uninit(&layout);
            resampler.reset(made);
            if (error < 0 || swr_init(resampler.get()) < 0)
                throw AudioError("the recording's audio cannot be converted");
        }
        const int room = swr_get_out_samples(resampler.get(), decoded ? decoded->nb_samples : 0);
        if (room <= 0)
            return;
        samples.resize(static_cast<std::size_t>(room));
        auto *target = reinterpret_cast<std::uint8_t *>(samples.data());
        const int made =
            decoded ? swr_convert(resampler.get(), &target, room,
                                  const_cast<const std::uint8_t **>(decoded->extended_data),
                                  decoded->nb_samples)
                    : swr_convert(resampler.get(), &target, room, nullptr, 0);
        if (made < 0)
            throw AudioError("the recording's audio cannot be converted");
        out.write(samples.data(), static_cast<std::size_t>(made) * sizeof(std::int16_t));
    };
    auto receive = [&] {
        while (true) {
            const int error = avcodec_receive_frame(decoder.get(), frame.get());
            if (error == AVERROR(EAGAIN) || error == AVERROR_EOF)
                return;
            if (error < 0)
                throw AudioError("the recording's audio cannot be decoded: " + describe(error));
            convert(frame.get());
            av_frame_unref(frame.get());
        }
    };

    while (true) {
        const int error = av_read_frame(format.get(), packet.get());
        if (error == AVERROR_EOF)
            break;
        if (error < 0)
            throw AudioError("the recording cannot be read to its end: " + describe(error));
        if (packet->stream_index == stream) {
            // A damaged packet is skipped, as players do; what decodes is still transcribed.
            if (avcodec_send_packet(decoder.get(), packet.get()) >= 0)
                receive();
        }
        av_packet_unref(packet.get());
    }
    avcodec_send_packet(decoder.get(), nullptr);
    receive();
    convert(nullptr);
    if (out.dataBytes() == 0)
        throw AudioError("the recording holds no audio that can be decoded");
    out.finish();
    return static_cast<double>(out.dataBytes()) / (2.0 * speechRate);
}

} // namespace quorvale::server
