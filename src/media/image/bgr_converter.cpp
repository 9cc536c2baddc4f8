#include "media/image/bgr_converter.h"

namespace media {
namespace image {

bool BgrConverter::changes_picture(const AVFrame& frame) const {
    return scaler_ && (frame.width != width_ || frame.height != height_ || frame.format != format_);
}

bool BgrConverter::convert(const std::shared_ptr<AVFrame>& frame, std::shared_ptr<cv::Mat>& bgr) {
    // A stream whose picture size or format changes would otherwise be rejected by the
    // scaler built for its first picture until a reconnection that never comes.
    if (!scaler_ || changes_picture(*frame)) {
        const auto format = static_cast<AVPixelFormat>(frame->format);
        scaler_ = ffmpeg::Scaler::createShare(frame->width, frame->height, format, frame->width, frame->height,
                                              AV_PIX_FMT_BGR24);
        width_ = frame->width;
        height_ = frame->height;
        format_ = frame->format;
    }
    return scaler_->scale(frame, bgr);
}

}  // namespace image
}  // namespace media
