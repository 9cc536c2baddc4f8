#include "device_image.h"

#include "picture_allocator.h"


#include <algorithm>
#include <cstring>
#include <memory>
#include <tuple>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace media {
namespace platform {

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
        // At widths that are a multiple of 16 (and even heights) the fast path stays within 2
        // of the accurate one at a fifth of its cost; like OpenCV's conversion it repeats
        // each chroma sample rather than interpolating.
        // SWS_FULL_CHR_H_INP: from BGR at an odd width, libswscale's half-width chroma input
        // reads one pixel past each row (the next row's first, or past the image).
        const bool fast = geometry.to_bgr && geometry.yuv_format == AV_PIX_FMT_YUV420P &&
                          geometry.width % 16 == 0 && geometry.height % 2 == 0;
        const int flags = fast ? SWS_BILINEAR : SWS_BILINEAR | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INP;
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

// OpenCV's own conversion is two to three times cheaper than libswscale's accurate path
// (bench/convert_bench), but knows only BT.601 limited range and even sizes. libswscale's
// fast path (see ConverterCache) is cheaper still for planar 4:2:0 at widths that are a
// multiple of 16 (0.29 against 0.46 ns a pixel at 1080p), so OpenCV takes NV12, and planar
// pictures at other widths.
bool opencv_converts(const AVFrame& frame) {
    const auto format = static_cast<AVPixelFormat>(frame.format);
    const bool swscale_fast = format == AV_PIX_FMT_YUV420P && frame.width % 16 == 0;
    return (format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_NV12) && !swscale_fast &&
           frame.color_range != AVCOL_RANGE_JPEG &&
           sws_matrix(frame.colorspace) == SWS_CS_ITU601 && frame.width % 2 == 0 && frame.height % 2 == 0;
}

// Rows converted per cvtColor call. Below 320x240 pixels a call stays on the calling
// thread: OpenCV's worker threads cost a third more CPU time than they save in wall time,
// and a band's packed copy stays in cache. A multiple of 4, so the I420 chroma rows of a
// band pack without a half row.
int band_rows(int width) { return std::max(4, (320 * 240 - 1) / width / 4 * 4); }

void opencv_to_bgr(const AVFrame& frame, cv::Mat& bgr) {
    const int width = frame.width;
    const int height = frame.height;
    const int band = band_rows(width);
    if (frame.format == AV_PIX_FMT_NV12) {
        const cv::Mat y(height, width, CV_8UC1, frame.data[0], static_cast<size_t>(frame.linesize[0]));
        const cv::Mat uv(height / 2, width / 2, CV_8UC2, frame.data[1], static_cast<size_t>(frame.linesize[1]));
        for (int top = 0; top < height; top += band) {
            const int bottom = std::min(top + band, height);
            cv::Mat out = bgr.rowRange(top, bottom);
            cv::cvtColorTwoPlane(y.rowRange(top, bottom), uv.rowRange(top / 2, bottom / 2), out,
                                 cv::COLOR_YUV2BGR_NV12);
        }
        return;
    }
    // I420 must be one block of planes without row padding; decoders pad their rows.
    thread_local std::vector<uint8_t> packed;
    packed.resize(static_cast<size_t>(band) * 3 / 2 * static_cast<size_t>(width));
    const int chroma_width = width / 2;
    for (int top = 0; top < height; top += band) {
        const int rows = std::min(band, height - top);
        uint8_t* out = packed.data();
        for (int row = top; row < top + rows; ++row, out += width) {
            std::memcpy(out, frame.data[0] + static_cast<ptrdiff_t>(row) * frame.linesize[0], width);
        }
        for (int plane = 1; plane <= 2; ++plane) {
            for (int row = top / 2; row < (top + rows) / 2; ++row, out += chroma_width) {
                std::memcpy(out, frame.data[plane] + static_cast<ptrdiff_t>(row) * frame.linesize[plane],
                            chroma_width);
            }
        }
        const cv::Mat yuv(rows * 3 / 2, width, CV_8UC1, packed.data());
        cv::Mat dst = bgr.rowRange(top, top + rows);
        cv::cvtColor(yuv, dst, cv::COLOR_YUV2BGR_I420);
    }
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
    if (opencv_converts(*frame)) {
        opencv_to_bgr(*frame, bgr);
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

}  // namespace platform
}  // namespace media
