#pragma once
// The steps between a source's packets and BGR images that every reader of a stream takes
// alike: the frame rate the stream is taken to have, and each packet of the video stream
// through the keyframe gate and the decoder.

#include <memory>

#include "media/ffmpeg/av.h"
#include "media/ffmpeg/decoder.h"
#include "media/pipeline/keyframe_gate.h"

namespace media {
namespace pipeline {

constexpr double kDefaultFrameRate = 25.0;

// The stream's average rate, else its base rate; kDefaultFrameRate, with `guessed` set,
// when neither is known (a rate that only restates the time base, 90000 for RTP, is a
// guess FFmpeg makes, not a rate).
double frame_rate_of(const AVStream& stream, bool& guessed);

// What the gate said while a packet went through.
struct GateNotes {
    bool waiting_for_keyframe = false;  // the connection began between keyframes
    bool picture_lost = false;          // the packet came with part of its picture missing
    bool picture_refused = false;       // the decoder rejected the packet
};

// One packet of the video stream through the keyframe gate and the decoder: the picture
// it gives, when that picture may become an image, else an empty handle.
std::shared_ptr<AVFrame> decode_gated(ffmpeg::Decoder& decoder, KeyframeGate& gate,
                                      const std::shared_ptr<AVPacket>& packet, GateNotes& notes);

// The decoder's next picture after decode_gated's: a packet can give several, and the
// empty packet that ends the input all those the decoder still holds. False when it has
// none ready; `admitted` is empty when the gate held the picture back. `after_end`: the
// empty packet was sent, and the decoder's end is no failure.
bool next_gated(ffmpeg::Decoder& decoder, KeyframeGate& gate, std::shared_ptr<AVFrame>& admitted,
                bool after_end = false);

}  // namespace pipeline
}  // namespace media
