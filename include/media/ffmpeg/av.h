#pragma once
// The one place that includes FFmpeg's C headers, plus the owning handles for its objects.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <memory>

namespace media {
namespace ffmpeg {

struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct CodecContextDeleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct SwsContextDeleter {
    void operator()(SwsContext* context) const { sws_freeContext(context); }
};

// A packet or frame handle that frees its object when the last owner lets go.
// The handle is empty when FFmpeg could not allocate.
inline std::shared_ptr<AVPacket> make_packet() {
    AVPacket* packet = av_packet_alloc();
    if (packet == nullptr) return {};
    return std::shared_ptr<AVPacket>(packet, PacketDeleter{});
}

inline std::shared_ptr<AVFrame> make_frame() {
    AVFrame* frame = av_frame_alloc();
    if (frame == nullptr) return {};
    return std::shared_ptr<AVFrame>(frame, FrameDeleter{});
}

}  // namespace ffmpeg
}  // namespace media
