#pragma once

#include <memory>

#include <opencv2/core/mat.hpp>

#include "media/ffmpeg/av.h"

namespace media {
namespace image {

class FrameConverter;

// Decoded pictures to new 8-bit BGR images of their own size, whatever size and format
// each picture has.
class BgrConverter {
public:
    BgrConverter();
    ~BgrConverter();
    // Whether `frame` differs in size or format from the picture converted before it: the
    // stream's picture changed.
    bool changes_picture(const AVFrame& frame) const;
    bool convert(const std::shared_ptr<AVFrame>& frame, std::shared_ptr<cv::Mat>& bgr);
    // A new connection: its first picture is no change.
    void reset() { converted_ = false; }

private:
    std::unique_ptr<FrameConverter> frames_;
    bool converted_ = false;
    int width_ = 0;
    int height_ = 0;
    int format_ = -1;
};

}  // namespace image
}  // namespace media
