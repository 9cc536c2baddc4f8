#include "frame_converter.h"

#include "bgr_from_420.h"

namespace media {
namespace image {

namespace {

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

bool full_range(const AVFrame& frame) {
    const auto format = static_cast<AVPixelFormat>(frame.format);
    return frame.color_range == AVCOL_RANGE_JPEG || plain_layout(format) != format;
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

bool fits(const cv::Mat& bgr, const AVFrame& frame) {
    return FrameConverter::takes(&frame) && bgr.type() == CV_8UC3 && bgr.rows == frame.height &&
           bgr.cols == frame.width;
}

}  // namespace

bool FrameConverter::takes(const AVFrame* frame) {
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

SwsContext* FrameConverter::context(const AVFrame& frame, bool to_bgr) {
    const AVPixelFormat layout = plain_layout(static_cast<AVPixelFormat>(frame.format));
    const int range = full_range(frame) ? 1 : 0;
    const int matrix = sws_matrix(frame.colorspace);
    const auto wanted = std::make_tuple(frame.width, frame.height, static_cast<int>(layout), to_bgr, range, matrix);
    if (context_ && wanted == made_for_) {
        return context_.get();
    }
    // SWS_ACCURATE_RND keeps libswscale off its fast YUV->BGR path, which writes past
    // the end of tightly packed rows at widths that are not a multiple of 16.
    // SWS_FULL_CHR_H_INP: from BGR at an odd width, libswscale's half-width chroma input
    // reads one pixel past each row (the next row's first, or past the image).
    const int flags = SWS_BILINEAR | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INP;
    context_.reset(sws_getContext(frame.width, frame.height, to_bgr ? layout : AV_PIX_FMT_BGR24, frame.width,
                                  frame.height, to_bgr ? AV_PIX_FMT_BGR24 : layout, flags, nullptr, nullptr,
                                  nullptr));
    if (!context_) {
        return nullptr;
    }
    const int* yuv = sws_getCoefficients(matrix);
    const int* bgr = sws_getCoefficients(SWS_CS_DEFAULT);
    sws_setColorspaceDetails(context_.get(), to_bgr ? yuv : bgr, to_bgr ? range : 1, to_bgr ? bgr : yuv,
                             to_bgr ? 1 : range, 0, 1 << 16, 1 << 16);
    made_for_ = wanted;
    return context_.get();
}

bool FrameConverter::to_bgr(const AVFrame& frame, cv::Mat& bgr) {
    if (!fits(bgr, frame)) {
        return false;
    }
    // 8-bit 4:2:0 at even sizes, what decoders give nearly always, in BT.601 or BT.709.
    const int matrix = sws_matrix(frame.colorspace);
    if (bgr_from_420_takes(frame) && (matrix == SWS_CS_ITU601 || matrix == SWS_CS_ITU709)) {
        bgr_from_420(frame, full_range(frame), matrix == SWS_CS_ITU709, bgr);
        return true;
    }
    SwsContext* sws = context(frame, true);
    uint8_t* dst_data[4] = {bgr.data, nullptr, nullptr, nullptr};
    const int dst_linesize[4] = {static_cast<int>(bgr.step[0]), 0, 0, 0};
    return sws != nullptr &&
           sws_scale(sws, frame.data, frame.linesize, 0, frame.height, dst_data, dst_linesize) == frame.height;
}

bool FrameConverter::from_bgr(const cv::Mat& bgr, AVFrame& frame) {
    if (!fits(bgr, frame)) {
        return false;
    }
    SwsContext* sws = context(frame, false);
    const uint8_t* src_data[4] = {bgr.data, nullptr, nullptr, nullptr};
    const int src_linesize[4] = {static_cast<int>(bgr.step[0]), 0, 0, 0};
    return sws != nullptr &&
           sws_scale(sws, src_data, src_linesize, 0, frame.height, frame.data, frame.linesize) == frame.height;
}

}  // namespace image
}  // namespace media
