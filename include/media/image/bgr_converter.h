#pragma once

#include <memory>

#include <opencv2/core/mat.hpp>

#include "media/ffmpeg/av.h"
#include "media/ffmpeg/scaler.h"

namespace media {
namespace image {

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

}  // namespace image
}  // namespace media
