#pragma once
// Decodes the video stream of an opened Demuxer: hardware decoders by name for H.264,
// HEVC and Motion JPEG, FFmpeg's own decoder otherwise, set up for low latency.

#include <memory>

#include "media/ffmpeg/av.h"
#include "media/ffmpeg/demuxer.h"

namespace media {
namespace ffmpeg {

class Decoder {
public:
    explicit Decoder(std::shared_ptr<Demuxer> demux);
    ~Decoder();
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    static std::shared_ptr<Decoder> createShare(std::shared_ptr<Demuxer> demux) {
        return std::make_shared<Decoder>(std::move(demux));
    }

    bool open();
    // True when the decoder took the packet; an empty handle starts draining.
    bool send(std::shared_ptr<AVPacket> packet);
    // Whether the latest send failed on the packet itself (invalid data and the like), not
    // because the decoder wanted its pictures taken first.
    bool refused_last_packet() const { return refused_; }
    // True when one decoded picture was written into the caller's frame.
    bool receive(std::shared_ptr<AVFrame>& frame);
    // The decoder's next picture, in the caller's frame: 0, or FFmpeg's status:
    // AVERROR(EAGAIN) when it wants another packet first, AVERROR_EOF once send(nullptr)
    // has had every picture out of it. Only other failures are logged.
    int next_picture(std::shared_ptr<AVFrame>& frame);
    // Closes the demuxer too, then frees the codec context.
    void close();

private:
    friend class DecoderInspector;  // lets tests read the opened context's settings

    const AVCodec* find_decoder(AVCodecID dec_id);

    std::shared_ptr<AVCodecContext> m_codec_ctx;
    AVCodecContext* codec_ctx_ = nullptr;
    std::shared_ptr<Demuxer> m_demux;
    bool refused_ = false;
};

}  // namespace ffmpeg
}  // namespace media
