#include "device_image.h"

#include "bgr_from_420.h"
#include "picture_allocator.h"

#include <memory>
#include <tuple>

namespace media {
namespace image {

namespace {

bool is_full_range_format(AVPixelFormat format) {
    return format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ422P || format == AV_PIX_FMT_YUVJ444P ||
           format == AV_PIX_FMT_YUVJ440P || format == AV_PIX_FMT_YUVJ411P;
}

// libswscale treats the yuvj formats as deprecated aliases: name the plain layout and
// pass the range explicitly instead.
AVPixelFormat plain_layout(AVPixelFormat format) {
    switch (format) {
        case AV_PIX_FMT_YUVJ420P: return AV_PIX_FMT_YUV420P;
        case AV_PIX_FMT_YUVJ422P: return AV_PIX_FMT_YUV422P;
        case AV_PIX_FMT_YUVJ444P: return AV_PIX_FMT_YUV444P;
        case AV_PIX_FMT_YUVJ440P: return AV_PIX_FMT_YUV440P;
        case AV_PIX_FMT_YUVJ411P: return AV_PIX_FMT_YUV411P;
        default: return format;
    }
}

int sws_matrix(AVColorSpace space) {
    switch (space) {
        case AVCOL_SPC_BT709: return SWS_CS_ITU709;
        case AVCOL_SPC_FCC: return SWS_CS_FCC;
        case AVCOL_SPC_SMPTE240M: return SWS_CS_SMPTE240M;
        case AVCOL_SPC_BT2020_NCL:
        case AVCOL_SPC_BT2020_CL: return SWS_CS_BT2020;
        default: return SWS_CS_ITU601;  // what an unlabelled picture most likely is
    }
}

// The colour description a conversion depends on, besides the geometry.
struct Geometry {
    int width;
    int height;
    AVPixelFormat yuv_format;
    bool to_bgr;
    int full_range;
    int matrix;
    bool operator==(const Geometry& o) const {
        return std::tie(width, height, yuv_format, to_bgr, full_range, matrix) ==
               std::tie(o.width, o.height, o.yuv_format, o.to_bgr, o.full_range, o.matrix);
    }
};

// One libswscale context per thread, rebuilt only when the geometry or colour changes:
// a stream's pictures all share one, so it is built once per connection in practice.
class ConverterCache {
public:
    SwsContext* get(const Geometry& geometry) {
        if (context_ && geometry == geometry_) {
            return context_.get();
        }
        context_.reset();
        const AVPixelFormat src = geometry.to_bgr ? geometry.yuv_format : AV_PIX_FMT_BGR24;
        const AVPixelFormat dst = geometry.to_bgr ? AV_PIX_FMT_BGR24 : geometry.yuv_format;
        // SWS_ACCURATE_RND keeps libswscale off its fast YUV->BGR path, which writes past
        // the end of tightly packed rows at widths that are not a multiple of 16.
        // SWS_FULL_CHR_H_INP: from BGR at an odd width, libswscale's half-width chroma input
        // reads one pixel past each row (the next row's first, or past the image).
        const int flags = SWS_BILINEAR | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INP;
        SwsContext* context = sws_getContext(geometry.width, geometry.height, src, geometry.width,
                                             geometry.height, dst, flags, nullptr, nullptr, nullptr);
        if (context == nullptr) {
            return nullptr;
        }
        context_.reset(context);
        const int* coefficients = sws_getCoefficients(geometry.matrix);
        const int* bgr_coefficients = sws_getCoefficients(SWS_CS_DEFAULT);
        if (geometry.to_bgr) {
            sws_setColorspaceDetails(context, coefficients, geometry.full_range, bgr_coefficients, 1, 0,
                                     1 << 16, 1 << 16);
        } else {
            sws_setColorspaceDetails(context, bgr_coefficients, 1, coefficients, geometry.full_range, 0,
                                     1 << 16, 1 << 16);
        }
        geometry_ = geometry;
        return context;
    }

private:
    std::unique_ptr<SwsContext, ffmpeg::SwsContextDeleter> context_;
    Geometry geometry_{};
};

SwsContext* converter_for(const AVFrame& frame, bool to_bgr) {
    thread_local ConverterCache cache;
    const auto format = static_cast<AVPixelFormat>(frame.format);
    const int full_range = (frame.color_range == AVCOL_RANGE_JPEG || is_full_range_format(format)) ? 1 : 0;
    return cache.get(Geometry{frame.width, frame.height, plain_layout(format), to_bgr, full_range,
                              sws_matrix(frame.colorspace)});
}

bool representable(const AVFrame* frame) {
    if (frame == nullptr || frame->data[0] == nullptr || frame->width <= 0 || frame->height <= 0) {
        return false;
    }
    const auto format = static_cast<AVPixelFormat>(frame->format);
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
    if (descriptor == nullptr || (descriptor->flags & AV_PIX_FMT_FLAG_HWACCEL) != 0) {
        return false;
    }
    return sws_isSupportedInput(plain_layout(format)) > 0;
}

bool is_bgr_image(const cv::Mat& image, int rows, int cols) {
    return image.type() == CV_8UC3 && image.rows == rows && image.cols == cols;
}

}  // namespace

FrameImage::FrameImage(AVFrame* frame, int /*kind*/) {
    if (representable(frame)) {
        frame_ = frame;
    }
}

cv::Mat new_bgr_image(int rows, int cols) {
    cv::Mat image;
    image.allocator = &picture_allocator();
    image.create(rows, cols, CV_8UC3);
    // OpenCV falls back to its own allocator when ours fails, and that memory is not cleared.
    if (image.u != nullptr && image.u->currAllocator != image.allocator) {
        image.setTo(cv::Scalar::all(0));
    }
    return image;
}

bool to_bgr(const FrameImage& source, cv::Mat& bgr) {
    const AVFrame* frame = source.frame();
    if (frame == nullptr || !is_bgr_image(bgr, frame->height, frame->width)) {
        return false;
    }
    // 8-bit 4:2:0 at even sizes, what decoders give nearly always, in BT.601 or BT.709.
    const int matrix = sws_matrix(frame->colorspace);
    if (bgr_from_420_takes(*frame) && (matrix == SWS_CS_ITU601 || matrix == SWS_CS_ITU709)) {
        const bool full_range = frame->color_range == AVCOL_RANGE_JPEG ||
                                is_full_range_format(static_cast<AVPixelFormat>(frame->format));
        bgr_from_420(*frame, full_range, matrix == SWS_CS_ITU709, bgr);
        return true;
    }
    SwsContext* context = converter_for(*frame, true);
    if (context == nullptr) {
        return false;
    }
    uint8_t* dst_data[4] = {bgr.data, nullptr, nullptr, nullptr};
    int dst_linesize[4] = {static_cast<int>(bgr.step[0]), 0, 0, 0};
    return sws_scale(context, frame->data, frame->linesize, 0, frame->height, dst_data, dst_linesize) ==
           frame->height;
}

void upload(cv::Mat& /*bgr*/) {}

AVFrame* create_frame(int rows, int cols, int /*kind*/) {
    AVFrame* frame = av_frame_alloc();
    if (frame == nullptr) {
        return nullptr;
    }
    frame->width = cols;
    frame->height = rows;
    frame->format = AV_PIX_FMT_YUV420P;
    frame->color_range = AVCOL_RANGE_MPEG;
    frame->colorspace = AVCOL_SPC_SMPTE170M;
    if (av_frame_get_buffer(frame, 32) < 0) {
        av_frame_free(&frame);
        return nullptr;
    }
    return frame;
}

bool from_bgr(const cv::Mat& bgr, FrameImage& target) {
    AVFrame* frame = target.frame();
    if (frame == nullptr || !is_bgr_image(bgr, frame->height, frame->width)) {
        return false;
    }
    SwsContext* context = converter_for(*frame, false);
    if (context == nullptr) {
        return false;
    }
    const uint8_t* src_data[4] = {bgr.data, nullptr, nullptr, nullptr};
    const int src_linesize[4] = {static_cast<int>(bgr.step[0]), 0, 0, 0};
    return sws_scale(context, src_data, src_linesize, 0, frame->height, frame->data, frame->linesize) ==
           frame->height;
}

}  // namespace image
}  // namespace media
