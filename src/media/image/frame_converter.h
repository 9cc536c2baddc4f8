#pragma once

#include <memory>
#include <tuple>

#include <opencv2/core/mat.hpp>

#include "media/ffmpeg/av.h"

namespace media {
namespace image {

// Pictures to 8-bit BGR images of their own size and back, honouring the colour range and
// matrix each frame declares. The libswscale context is made only when a picture needs
// one, and kept while size, layout, range and matrix stay: a stream's pictures share it.
// One converter serves one thread at a time.
class FrameConverter {
public:
    // Whether the frame holds a picture in memory, in a layout that can be converted: not
    // a hardware frame, not a frame without buffers.
    static bool takes(const AVFrame* frame);

    // `bgr` is CV_8UC3 at the frame's size. False when the picture could not be converted.
    bool to_bgr(const AVFrame& frame, cv::Mat& bgr);
    // Writes `bgr`, CV_8UC3 at the frame's size, into the frame's buffers in its layout.
    bool from_bgr(const cv::Mat& bgr, AVFrame& frame);

private:
    SwsContext* context(const AVFrame& frame, bool to_bgr);

    std::unique_ptr<SwsContext, ffmpeg::SwsContextDeleter> context_;
    // Width, height, layout, direction, full range, matrix of the context's pictures.
    std::tuple<int, int, int, bool, int, int> made_for_{};
};

}  // namespace image
}  // namespace media
