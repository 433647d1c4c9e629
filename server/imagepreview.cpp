#include "server/imagepreview.h"

#include "server/ffmpeg.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <semaphore>

namespace quorvale::server {

namespace {

using ffmpeg::Context;
using ffmpeg::Frame;
using ffmpeg::Packet;

struct FreeScaler
{
    void operator()(SwsContext *scaler) const { sws_freeContext(scaler); }
};
using Scaler = std::unique_ptr<SwsContext, FreeScaler>;

// A large picture takes hundreds of megabytes while it is decoded; a few at a time keep the
// server's memory bounded however many previews are asked for at once.
std::counting_semaphore<2> s_decoders(2);

bool startsWith(std::string_view bytes, std::string_view prefix)
{
    return bytes.substr(0, prefix.size()) == prefix;
}

AVCodecID codecOf(ImageFormat format)
{
    switch (format) {
    case ImageFormat::Png:
        return AV_CODEC_ID_PNG;
    case ImageFormat::Jpeg:
        return AV_CODEC_ID_MJPEG;
    case ImageFormat::Gif:
        return AV_CODEC_ID_GIF;
    case ImageFormat::Webp:
        return AV_CODEC_ID_WEBP;
    }
    return AV_CODEC_ID_NONE;
}

// The whole file is one packet: each of these decoders reads its container's header itself.
Frame decode(std::string_view bytes, ImageFormat format, long long maxPixels)
{
    const AVCodec *codec = avcodec_find_decoder(codecOf(format));
    if (!codec)
        return nullptr;
    Context context(avcodec_alloc_context3(codec));
    Packet packet(av_packet_alloc());
    Frame frame(av_frame_alloc());
    if (!context || !packet || !frame || bytes.size() > std::size_t{INT32_MAX} / 2)
        return nullptr;
    context->thread_count = 1;
    // Dimensions beyond this are refused before any picture memory is taken.
    context->max_pixels = maxPixels;
    // A damaged file fails instead of giving a picture with grey or smeared parts.
    context->err_recognition = AV_EF_EXPLODE;
    if (avcodec_open2(context.get(), codec, nullptr) < 0)
        return nullptr;
    if (av_new_packet(packet.get(), static_cast<int>(bytes.size())) < 0)
        return nullptr;
    std::memcpy(packet->data, bytes.data(), bytes.size());
    if (avcodec_send_packet(context.get(), packet.get()) < 0)
        return nullptr;
    avcodec_send_packet(context.get(), nullptr);
    if (avcodec_receive_frame(context.get(), frame.get()) < 0)
        return nullptr;
    if ((frame->flags & AV_FRAME_FLAG_CORRUPT) || frame->decode_error_flags != 0 ||
        frame->width <= 0 || frame->height <= 0)
        return nullptr;
    return frame;
}

Frame scale(const AVFrame &source, int width, int height, AVPixelFormat format)
{
    const auto sourceFormat = static_cast<AVPixelFormat>(source.format);
    if (!sws_isSupportedInput(sourceFormat))
        return nullptr;
    Scaler scaler(sws_getContext(source.width, source.height, sourceFormat, width, height, format,
                                 SWS_AREA | SWS_ACCURATE_RND, nullptr, nullptr, nullptr));
    Frame scaled(av_frame_alloc());
    if (!scaler || !scaled)
        return nullptr;
    scaled->format = format;
    scaled->width = width;
    scaled->height = height;
    if (av_frame_get_buffer(scaled.get(), 0) < 0)
        return nullptr;
    if (sws_scale(scaler.get(), source.data, source.linesize, 0, source.height, scaled->data,
                  scaled->linesize) != height)
        return nullptr;
    return scaled;
}

// 1 (as stored) to 8, as the decoder found it in the file's EXIF data; 1 when there is none.
int exifOrientation(const AVFrame &frame)
{
    const AVDictionaryEntry *entry = av_dict_get(frame.metadata, "Orientation", nullptr, 0);
    if (!entry || !entry->value)
        return 1;
    const std::string_view text(entry->value);
    const auto digit = text.find_first_not_of(' ');
    if (digit == std::string_view::npos || text.size() != digit + 1 || text[digit] < '1' ||
        text[digit] > '8')
        return 1;
    return text[digit] - '0';
}

// The RGBA picture turned and mirrored as EXIF orientation 2 to 8 asks; 5 to 8 swap its sides.
Frame oriented(const AVFrame &source, int orientation)
{
    const int w = source.width;
    const int h = source.height;
    const bool turned = orientation >= 5;
    Frame target(av_frame_alloc());
    if (!target)
        return nullptr;
    target->format = AV_PIX_FMT_RGBA;
    target->width = turned ? h : w;
    target->height = turned ? w : h;
    if (av_frame_get_buffer(target.get(), 0) < 0)
        return nullptr;
    for (int y = 0; y < target->height; ++y) {
        auto *row = reinterpret_cast<std::uint32_t *>(target->data[0] + y * target->linesize[0]);
        for (int x = 0; x < target->width; ++x) {
            int sx = x;
            int sy = y;
            switch (orientation) {
            case 2:
                sx = w - 1 - x;
                break;
            case 3:
                sx = w - 1 - x;
                sy = h - 1 - y;
                break;
            case 4:
                sy = h - 1 - y;
                break;
            case 5:
                sx = y;
                sy = x;
                break;
            case 6:
                sx = y;
                sy = h - 1 - x;
                break;
            case 7:
                sx = w - 1 - y;
                sy = h - 1 - x;
                break;
            case 8:
                sx = w - 1 - y;
                sy = x;
                break;
            default:
                break;
            }
            std::memcpy(&row[x], source.data[0] + sy * source.linesize[0] + sx * 4, 4);
        }
    }
    return target;
}

std::optional<std::string> encode(const AVFrame &picture, AVCodecID id)
{
    const AVCodec *codec = avcodec_find_encoder(id);
    if (!codec)
        return std::nullopt;
    Context context(avcodec_alloc_context3(codec));
    Packet packet(av_packet_alloc());
    if (!context || !packet)
        return std::nullopt;
    context->width = picture.width;
    context->height = picture.height;
    context->pix_fmt = static_cast<AVPixelFormat>(picture.format);
    context->time_base = AVRational{1, 1};
    context->thread_count = 1;
    Frame frame(av_frame_clone(&picture));
    if (!frame)
        return std::nullopt;
    if (id == AV_CODEC_ID_MJPEG) {
        // A fixed quantiser of 3 on the 2 (best) to 31 scale: clear photographs, small files.
        context->flags |= AV_CODEC_FLAG_QSCALE;
        context->global_quality = FF_QP2LAMBDA * 3;
        frame->quality = context->global_quality;
        context->color_range = AVCOL_RANGE_JPEG;
    }
    if (avcodec_open2(context.get(), codec, nullptr) < 0)
        return std::nullopt;
    if (avcodec_send_frame(context.get(), frame.get()) < 0)
        return std::nullopt;
    avcodec_send_frame(context.get(), nullptr);
    if (avcodec_receive_packet(context.get(), packet.get()) < 0 || packet->size <= 0)
        return std::nullopt;
    return std::string(reinterpret_cast<const char *>(packet->data),
                       static_cast<std::size_t>(packet->size));
}

} // namespace

std::optional<ImageFormat> sniffImage(std::string_view bytes)
{
    if (startsWith(bytes, "\x89PNG\r\n\x1a\n"))
        return ImageFormat::Png;
    if (startsWith(bytes, "\xff\xd8\xff"))
        return ImageFormat::Jpeg;
    if (startsWith(bytes, "GIF87a") || startsWith(bytes, "GIF89a"))
        return ImageFormat::Gif;
    if (startsWith(bytes, "RIFF") && bytes.size() >= 12 && bytes.substr(8, 4) == "WEBP")
        return ImageFormat::Webp;
    return std::nullopt;
}

std::optional<ImagePreview> makeImagePreview(std::string_view bytes, int maxSide,
                                             long long maxPixels)
{
    const auto format = sniffImage(bytes);
    if (!format || maxSide <= 0)
        return std::nullopt;
    // The libraries' complaints about damaged files are not the server's errors.
    static std::once_flag quiet;
    std::call_once(quiet, [] { av_log_set_level(AV_LOG_QUIET); });

    s_decoders.acquire();
    struct Release
    {
        ~Release() { s_decoders.release(); }
    } release;

    const Frame frame = decode(bytes, *format, maxPixels);
    if (!frame)
        return std::nullopt;
    // Photographs from cameras and phones are often stored sideways, with an EXIF orientation
    // that viewers apply; the preview is re-encoded without it, so it is applied here.
    const int orientation = exifOrientation(*frame);
    const bool turned = orientation >= 5;
    const int shownWidth = turned ? frame->height : frame->width;
    const int shownHeight = turned ? frame->width : frame->height;
    const double factor =
        std::min({1.0, double(maxSide) / shownWidth, double(maxSide) / shownHeight});
    const int width = std::clamp(static_cast<int>(std::lround(shownWidth * factor)), 1, maxSide);
    const int height = std::clamp(static_cast<int>(std::lround(shownHeight * factor)), 1, maxSide);

    Frame picture = turned ? scale(*frame, height, width, AV_PIX_FMT_RGBA)
                           : scale(*frame, width, height, AV_PIX_FMT_RGBA);
    if (picture && orientation > 1)
        picture = oriented(*picture, orientation);
    const bool jpeg = *format == ImageFormat::Jpeg;
    if (picture && jpeg)
        picture = scale(*picture, width, height, AV_PIX_FMT_YUVJ420P);
    if (!picture)
        return std::nullopt;
    auto encoded = encode(*picture, jpeg ? AV_CODEC_ID_MJPEG : AV_CODEC_ID_PNG);
    if (!encoded)
        return std::nullopt;
    return ImagePreview{std::move(*encoded), jpeg ? "image/jpeg" : "image/png", width, height};
}

} // namespace quorvale::server
