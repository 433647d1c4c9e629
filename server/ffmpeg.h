#pragma once

// Owners of the FFmpeg objects that decoding pictures and sound both use.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
}

#include <memory>

namespace quorvale::server::ffmpeg {

struct CloseInput
{
    void operator()(AVFormatContext *format) const { avformat_close_input(&format); }
};
struct FreeContext
{
    void operator()(AVCodecContext *context) const { avcodec_free_context(&context); }
};
struct FreeFrame
{
    void operator()(AVFrame *frame) const { av_frame_free(&frame); }
};
struct FreePacket
{
    void operator()(AVPacket *packet) const { av_packet_free(&packet); }
};

using Input = std::unique_ptr<AVFormatContext, CloseInput>;
using Context = std::unique_ptr<AVCodecContext, FreeContext>;
using Frame = std::unique_ptr<AVFrame, FreeFrame>;
using Packet = std::unique_ptr<AVPacket, FreePacket>;

} // namespace quorvale::server::ffmpeg
