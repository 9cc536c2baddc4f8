#include "media/image/bgr_converter.h"

#include "frame_converter.h"
#include "media/common/clogger.h"
#include "picture_allocator.h"

namespace media {
namespace image {

BgrConverter::BgrConverter() : frames_(std::make_unique<FrameConverter>()) {}
BgrConverter::~BgrConverter() = default;

bool BgrConverter::changes_picture(const AVFrame& frame) const {
    return converted_ && (frame.width != width_ || frame.height != height_ || frame.format != format_);
}

bool BgrConverter::convert(const std::shared_ptr<AVFrame>& frame, std::shared_ptr<cv::Mat>& bgr) {
    converted_ = true;
    width_ = frame->width;
    height_ = frame->height;
    format_ = frame->format;
    if (!FrameConverter::takes(frame.get())) {
        LOG_ERROR("yuv mat is empty");
        return false;
    }
    auto image = std::make_shared<cv::Mat>(new_bgr_image(frame->height, frame->width));
    if (!frames_->to_bgr(*frame, *image)) {
        LOG_ERROR("yuv to bgr conversion failed");
        return false;
    }
    bgr = std::move(image);
    return true;
}

}  // namespace image
}  // namespace media
