#include "media/ffmpeg/scaler.h"

#include <opencv2/imgproc.hpp>

#include "media/common/clogger.h"
#include "../image/frame_converter.h"
#include "../image/picture_allocator.h"

namespace media {
namespace ffmpeg {

namespace {

bool matches(const AVFrame* frame, int width, int height, AVPixelFormat format) {
    return frame != nullptr && frame->format == format && frame->width == width && frame->height == height;
}

}  // namespace

Scaler::Scaler(int src_width, int src_height, AVPixelFormat src_format, int dst_width, int dst_height,
               AVPixelFormat dst_format)
    : dst_width_(dst_width),
      dst_height_(dst_height),
      dst_format_(dst_format),
      src_width_(src_width),
      src_height_(src_height),
      src_format_(src_format),
      images_(std::make_shared<image::FrameConverter>()) {}

SwsContext* Scaler::context() {
    // libswscale aborts the process on a format it has no descriptor for (AV_PIX_FMT_NONE);
    // an unsupported pair leaves the scaler without a context, which every conversion refuses.
    if (sws_ctx_ || sws_isSupportedInput(src_format_) <= 0 || sws_isSupportedOutput(dst_format_) <= 0) {
        return sws_ctx_.get();
    }
    // SWS_ACCURATE_RND: with the fast-bilinear flag alone, libswscale's fast YUV->BGR path
    // writes past tightly packed rows, or leaves pixels unconverted, at some widths.
    // SWS_FULL_CHR_H_INP: from packed RGB at an odd width, libswscale's half-width chroma
    // input reads one pixel past each row (the next row's first, or past the buffer).
    sws_ctx_.reset(sws_getContext(src_width_, src_height_, src_format_, dst_width_, dst_height_, dst_format_,
                                  SWS_FAST_BILINEAR | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INP, nullptr, nullptr,
                                  nullptr),
                   SwsContextDeleter{});
    return sws_ctx_.get();
}

bool Scaler::scale_avframe_to_avframe(std::shared_ptr<AVFrame> src, std::shared_ptr<AVFrame>& dst) {
    if (!matches(src.get(), src_width_, src_height_, src_format_)) {
        LOG_ERROR("src format error");
        return false;
    }
    if (!matches(dst.get(), dst_width_, dst_height_, dst_format_)) {
        LOG_ERROR("dst format error");
        return false;
    }
    SwsContext* sws = context();
    if (sws == nullptr) {
        LOG_ERROR("sws_getContext failed: no conversion from {} to {}",
                  std::string(av_get_pix_fmt_name(src_format_) ? av_get_pix_fmt_name(src_format_) : "?"),
                  std::string(av_get_pix_fmt_name(dst_format_) ? av_get_pix_fmt_name(dst_format_) : "?"));
        return false;
    }
    if (dst->format == AV_PIX_FMT_BGR24) {
        dst->linesize[0] = dst_width_ * 3;
    }
    const int ret = sws_scale(sws, src->data, src->linesize, 0, src->height, dst->data, dst->linesize);
    if (ret < 0) {
        LOG_ERROR("sws_scale failed");
        return false;
    }
    dst->pts = src->pts;
    dst->pkt_dts = src->pkt_dts;
    return true;
}

std::shared_ptr<AVFrame> Scaler::frame_over_buffer(uint8_t* buffer) const {
    std::shared_ptr<AVFrame> frame = make_frame();
    if (!frame) {
        LOG_ERROR("av_frame_alloc failed");
        return {};
    }
    frame->width = src_width_;
    frame->height = src_height_;
    frame->format = src_format_;
    if (av_image_fill_arrays(frame->data, frame->linesize, buffer, src_format_, src_width_, src_height_, 1) < 0) {
        LOG_ERROR("av_image_fill_arrays failed");
        return {};
    }
    return frame;
}

std::shared_ptr<AVFrame> Scaler::new_destination_frame() const {
    std::shared_ptr<AVFrame> frame = make_frame();
    if (!frame) {
        LOG_ERROR("av_frame_alloc failed");
        return {};
    }
    frame->width = dst_width_;
    frame->height = dst_height_;
    frame->format = dst_format_;
    if (av_frame_get_buffer(frame.get(), 32) < 0) {
        LOG_ERROR("av_frame_get_buffer failed");
        return {};
    }
    return frame;
}

// A raw destination holds dst_width * dst_height * 3 bytes; a format whose packed
// picture is larger cannot be delivered, and saying so beats reporting success unwritten.
bool Scaler::copy_to_buffer(const AVFrame& frame, uint8_t* dst) const {
    const int capacity = dst_width_ * dst_height_ * 3;
    const int written = av_image_copy_to_buffer(dst, capacity, frame.data, frame.linesize, dst_format_,
                                                dst_width_, dst_height_, 1);
    if (written < 0) {
        LOG_ERROR("av_image_copy_to_buffer failed");
        return false;
    }
    return true;
}

bool Scaler::scale_avframe_to_uint8(std::shared_ptr<AVFrame> src, uint8_t* dst) {
    if (!matches(src.get(), src_width_, src_height_, src_format_)) {
        return false;
    }
    if (av_image_get_buffer_size(dst_format_, dst_width_, dst_height_, 1) > dst_width_ * dst_height_ * 3) {
        LOG_ERROR("dst format error: picture larger than width * height * 3 bytes");
        return false;
    }
    std::shared_ptr<AVFrame> t_frame = new_destination_frame();
    if (!t_frame || !scale_avframe_to_avframe(src, t_frame)) {
        return false;
    }
    return copy_to_buffer(*t_frame, dst);
}

bool Scaler::scale_uint8_to_avframe(uint8_t* src, std::shared_ptr<AVFrame>& dst) {
    if (!matches(dst.get(), dst_width_, dst_height_, dst_format_)) {
        LOG_ERROR("dst format error");
        return false;
    }
    std::shared_ptr<AVFrame> t_frame = frame_over_buffer(src);
    if (!t_frame) {
        return false;
    }
    return scale_avframe_to_avframe(t_frame, dst);
}

bool Scaler::scale_uint8_to_uint8(uint8_t* src, uint8_t* dst) {
    if (av_image_get_buffer_size(dst_format_, dst_width_, dst_height_, 1) > dst_width_ * dst_height_ * 3) {
        LOG_ERROR("dst format error: picture larger than width * height * 3 bytes");
        return false;
    }
    std::shared_ptr<AVFrame> in_frame = frame_over_buffer(src);
    std::shared_ptr<AVFrame> out_frame = in_frame ? new_destination_frame() : nullptr;
    if (!out_frame || !scale_avframe_to_avframe(in_frame, out_frame)) {
        return false;
    }
    return copy_to_buffer(*out_frame, dst);
}

bool Scaler::scale_avframe_to_cvmat(std::shared_ptr<AVFrame> src, std::shared_ptr<cv::Mat>& dst) {
    if (!matches(src.get(), src_width_, src_height_, src_format_)) {
        LOG_ERROR("src format error");
        return false;
    }
    if (!image::FrameConverter::takes(src.get())) {
        LOG_ERROR("yuv mat is empty");
        return false;
    }
    dst = std::make_shared<cv::Mat>(image::new_bgr_image(src_height_, src_width_));
    if (dst->cols != dst_width_ || dst->rows != dst_height_) {
        LOG_ERROR("dst format error");
        return false;
    }
    if (!images_->to_bgr(*src, *dst)) {
        LOG_ERROR("yuv to bgr conversion failed");
        return false;
    }
    return true;
}

bool Scaler::scale_cvmat_to_avframe(std::shared_ptr<cv::Mat> src, std::shared_ptr<AVFrame>& dst) {
    // cv::resize throws on an empty image; a library call must not throw at its caller.
    if (!src || src->empty() || src->type() != CV_8UC3) {
        LOG_ERROR("src mat is empty or not 8-bit BGR");
        return false;
    }
    cv::resize(*src, *src, cv::Size(dst_width_, dst_height_), 0, 0, cv::INTER_LINEAR);
    std::shared_ptr<AVFrame> frame = make_frame();
    if (!frame) {
        LOG_ERROR("av_frame_alloc failed");
        return false;
    }
    frame->width = src->cols;
    frame->height = src->rows;
    frame->format = AV_PIX_FMT_YUV420P;
    frame->color_range = AVCOL_RANGE_MPEG;
    frame->colorspace = AVCOL_SPC_SMPTE170M;
    if (av_frame_get_buffer(frame.get(), 32) < 0) {
        LOG_ERROR("av_frame_get_buffer failed");
        return false;
    }
    dst = std::move(frame);
    if (!images_->from_bgr(*src, *dst)) {
        LOG_ERROR("bgr to frame conversion failed");
        return false;
    }
    return true;
}

}  // namespace ffmpeg
}  // namespace media
