#pragma once
// One connection's chain from a source to pictures that may become images: the demuxer,
// the video decoder, and the keyframe gate between them. Every reconnection builds a new
// one; the demo and the camera reader open and drive it alike.

#include <atomic>
#include <memory>
#include <string>

#include "media/ffmpeg/av.h"
#include "media/ffmpeg/decoder.h"
#include "media/ffmpeg/demuxer.h"
#include "media/pipeline/keyframe_gate.h"

namespace media {
namespace pipeline {

constexpr double kDefaultFrameRate = 25.0;

// What the gate said while a packet went into the decoder.
struct GateNotes {
    bool waiting_for_keyframe = false;  // the connection began between keyframes
    bool picture_lost = false;          // the packet came with part of its picture missing
    bool picture_refused = false;       // the decoder rejected the packet
};

class Chain {
public:
    // While `running` is false every wait on the source is abandoned; it outlives the
    // chain. `paced`: a file's packets come out no faster than a camera's.
    Chain(const std::atomic<bool>& running, bool paced);
    Chain(const Chain&) = delete;
    Chain& operator=(const Chain&) = delete;

    // Opens the source and a decoder for its first video stream: 0, or FFmpeg's status
    // for why not, AVERROR_DECODER_NOT_FOUND when the source opened and no decoder would.
    int open(const std::string& address);

    // The stream's average rate, else its base rate; kDefaultFrameRate, with
    // frame_rate_guessed(), when neither is known (a rate that only restates the time
    // base, 90000 for RTP, is a guess FFmpeg makes, not a rate).
    double frame_rate() const { return frame_rate_; }
    bool frame_rate_guessed() const { return frame_rate_guessed_; }
    AVRational time_base() const { return time_base_; }

    // The next packet, of any stream: the demuxer's status.
    int read(std::shared_ptr<AVPacket>& packet) { return demuxer_->read_packet(packet); }
    bool is_video(const AVPacket& packet) const { return packet.stream_index == video_index_; }
    // A packet of the video stream through the gate into the decoder.
    GateNotes send(const std::shared_ptr<AVPacket>& packet);
    // The end of the input: the decoder is to give out every picture it still holds.
    void flush() { decoder_->send(nullptr); }
    // The decoder's next picture: false when it has none ready (it wants another packet,
    // it has given out its last after flush(), or it failed). `admitted` is empty when
    // the gate held the picture back.
    bool receive(std::shared_ptr<AVFrame>& admitted);

    // From any thread, once `running` is cleared: the wait on the server ends at once.
    void wake() { demuxer_->wake(); }
    ffmpeg::Demuxer& demuxer() { return *demuxer_; }

private:
    std::shared_ptr<ffmpeg::Demuxer> demuxer_;
    std::shared_ptr<ffmpeg::Decoder> decoder_;
    KeyframeGate gate_;
    int video_index_ = -1;
    double frame_rate_ = kDefaultFrameRate;
    bool frame_rate_guessed_ = false;
    AVRational time_base_{1, 90000};
};

}  // namespace pipeline
}  // namespace media
