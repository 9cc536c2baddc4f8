#pragma once
// The steps between a source's packets and BGR images that every reader of a stream takes
// alike: the frame rate the stream is taken to have, each packet of the video stream
// through the keyframe gate and the decoder, and the conversion of each picture to BGR
// with a converter that follows the picture's size and format.

#include <memory>

#include <opencv2/core/mat.hpp>

#include "media/ffmpeg/av.h"
#include "media/ffmpeg/decoder.h"
#include "media/ffmpeg/scaler.h"
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

// Decoded pictures to 8-bit BGR images, through a Scaler built for the first picture and
// built anew whenever a picture's size or format differs from the one before.
class BgrConverter {
public:
    // Whether `frame` needs a new scaler though one was built already: the stream's
    // picture changed.
    bool changes_picture(const AVFrame& frame) const;
    bool convert(const std::shared_ptr<AVFrame>& frame, std::shared_ptr<cv::Mat>& bgr);
    // A new connection: the next picture builds a new scaler.
    void reset() { scaler_.reset(); }

private:
    std::shared_ptr<ffmpeg::Scaler> scaler_;
    int width_ = 0;
    int height_ = 0;
    int format_ = -1;
};

}  // namespace pipeline
}  // namespace media
