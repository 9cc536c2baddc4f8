#include "picture.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace media {
namespace test {

namespace {

int clamp_round(double value, int high) {
    return static_cast<int>(std::lround(std::min(std::max(value, 0.0), static_cast<double>(high))));
}

// Offsets and spans of luma and chroma for the bit depth: 16/219/224 scaled by 2^(bits-8).
struct Levels {
    double black;
    double luma_span;
    double chroma_mid;
    double chroma_span;
    int max;
};

Levels levels(bool full_range, int bits) {
    const double scale = std::ldexp(1.0, bits - 8);
    const int max = (1 << bits) - 1;
    if (full_range) {
        return {0.0, static_cast<double>(max), 128.0 * scale, static_cast<double>(max), max};
    }
    return {16.0 * scale, 219.0 * scale, 128.0 * scale, 224.0 * scale, max};
}

}  // namespace

Yuv encode(Rgb rgb, Matrix m, bool full_range, int bits) {
    const double r = rgb.r / 255.0;
    const double g = rgb.g / 255.0;
    const double b = rgb.b / 255.0;
    const double y = m.kr * r + (1.0 - m.kr - m.kb) * g + m.kb * b;
    const double pb = (b - y) / (2.0 * (1.0 - m.kb));
    const double pr = (r - y) / (2.0 * (1.0 - m.kr));
    const Levels l = levels(full_range, bits);
    return {clamp_round(l.black + l.luma_span * y, l.max), clamp_round(l.chroma_mid + l.chroma_span * pb, l.max),
            clamp_round(l.chroma_mid + l.chroma_span * pr, l.max)};
}

std::array<double, 3> exact_rgb(Yuv yuv, Matrix m, bool full_range, int bits) {
    const Levels l = levels(full_range, bits);
    const double y = (yuv.y - l.black) / l.luma_span;
    const double pb = (yuv.u - l.chroma_mid) / l.chroma_span;
    const double pr = (yuv.v - l.chroma_mid) / l.chroma_span;
    const double r = y + 2.0 * (1.0 - m.kr) * pr;
    const double b = y + 2.0 * (1.0 - m.kb) * pb;
    const double g = (y - m.kr * r - m.kb * b) / (1.0 - m.kr - m.kb);
    return {255.0 * r, 255.0 * g, 255.0 * b};
}

Rgb decode(Yuv yuv, Matrix m, bool full_range, int bits) {
    const std::array<double, 3> rgb = exact_rgb(yuv, m, full_range, bits);
    return {clamp_round(rgb[0], 255), clamp_round(rgb[1], 255), clamp_round(rgb[2], 255)};
}

std::array<double, 3> jpeg_ycbcr(const std::array<double, 3>& rgb) {
    const Matrix m = kBt601;
    const double y = m.kr * rgb[0] + (1.0 - m.kr - m.kb) * rgb[1] + m.kb * rgb[2];
    return {y, 128.0 + (rgb[2] - y) / (2.0 * (1.0 - m.kb)), 128.0 + (rgb[0] - y) / (2.0 * (1.0 - m.kr))};
}

std::string to_text(Rgb rgb) {
    return "rgb(" + std::to_string(rgb.r) + "," + std::to_string(rgb.g) + "," + std::to_string(rgb.b) + ")";
}

std::shared_ptr<AVFrame> make_picture(int width, int height, AVPixelFormat format) {
    std::shared_ptr<AVFrame> frame = ffmpeg::make_frame();
    frame->width = width;
    frame->height = height;
    frame->format = format;
    if (av_frame_get_buffer(frame.get(), 32) < 0) throw std::runtime_error("av_frame_get_buffer failed");
    for (int plane = 0; plane < AV_NUM_DATA_POINTERS && frame->buf[plane] != nullptr; ++plane) {
        std::memset(frame->buf[plane]->data, 0, frame->buf[plane]->size);
    }
    return frame;
}

std::shared_ptr<AVFrame> camera_picture(int width, int height, AVPixelFormat format, AVColorRange range,
                                        AVColorSpace space) {
    std::shared_ptr<AVFrame> frame = ffmpeg::make_frame();
    frame->width = width;
    frame->height = height;
    frame->format = format;
    frame->color_range = range;
    frame->colorspace = space;
    const bool interleaved = format == AV_PIX_FMT_NV12;
    const int plane_widths[] = {width, interleaved ? width : width / 2, interleaved ? 0 : width / 2};
    for (int plane = 0; plane < 3 && plane_widths[plane] > 0; ++plane) {
        frame->buf[plane] = av_buffer_alloc(plane_widths[plane] * (plane == 0 ? height : height / 2));
        if (frame->buf[plane] == nullptr) throw std::runtime_error("av_buffer_alloc failed");
        frame->data[plane] = frame->buf[plane]->data;
        frame->linesize[plane] = plane_widths[plane];
    }
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            frame->data[0][y * frame->linesize[0] + x] = static_cast<uint8_t>(40 + (x + 2 * y) % 160);
        }
    }
    for (int y = 0; y < height / 2; ++y) {
        for (int x = 0; x < width / 2; ++x) {
            const auto cb = static_cast<uint8_t>(128 - 24 + std::abs((x / 3 + y) % 96 - 48));
            const auto cr = static_cast<uint8_t>(128 + 24 - std::abs((x + y / 2) % 96 - 48));
            if (interleaved) {
                frame->data[1][y * frame->linesize[1] + 2 * x] = cb;
                frame->data[1][y * frame->linesize[1] + 2 * x + 1] = cr;
            } else {
                frame->data[1][y * frame->linesize[1] + x] = cb;
                frame->data[2][y * frame->linesize[2] + x] = cr;
            }
        }
    }
    return frame;
}

Yuv samples_at(const AVFrame& frame, int x, int y) {
    const uint8_t* chroma = frame.data[1] + static_cast<std::ptrdiff_t>(y / 2) * frame.linesize[1];
    const int luma = frame.data[0][static_cast<std::ptrdiff_t>(y) * frame.linesize[0] + x];
    if (frame.format == AV_PIX_FMT_NV12) return {luma, chroma[x / 2 * 2], chroma[x / 2 * 2 + 1]};
    return {luma, chroma[x / 2], frame.data[2][static_cast<std::ptrdiff_t>(y / 2) * frame.linesize[2] + x / 2]};
}

void fill_yuv_rect(AVFrame& frame, Yuv yuv, int col_begin, int col_end, int row_begin, int row_end) {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
    if (desc == nullptr || desc->nb_components < 3) throw std::runtime_error("not a YUV format");
    const int values[3] = {yuv.y, yuv.u, yuv.v};
    for (int c = 0; c < 3; ++c) {
        const AVComponentDescriptor& comp = desc->comp[c];
        const int sx = c == 0 ? 0 : desc->log2_chroma_w;
        const int sy = c == 0 ? 0 : desc->log2_chroma_h;
        const int x0 = col_begin >> sx;
        const int x1 = (col_end + (1 << sx) - 1) >> sx;  // a partly covered chroma sample counts
        const int y0 = row_begin >> sy;
        const int y1 = (row_end + (1 << sy) - 1) >> sy;
        for (int row = y0; row < y1; ++row) {
            uint8_t* line = frame.data[comp.plane] + static_cast<std::ptrdiff_t>(row) * frame.linesize[comp.plane];
            for (int col = x0; col < x1; ++col) {
                uint8_t* sample = line + col * comp.step + comp.offset;
                const int value = values[c] << comp.shift;
                if (comp.depth > 8) {
                    sample[0] = static_cast<uint8_t>(value & 0xFF);
                    sample[1] = static_cast<uint8_t>(value >> 8);
                } else {
                    sample[0] = static_cast<uint8_t>(value);
                }
            }
        }
    }
}

void fill_yuv(AVFrame& frame, Yuv yuv) { fill_yuv_rect(frame, yuv, 0, frame.width, 0, frame.height); }

std::shared_ptr<AVFrame> make_exact_bgr_frame(int width, int height, uint8_t fill) {
    const std::size_t picture = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3;
    std::shared_ptr<AVFrame> frame = ffmpeg::make_frame();
    #if LIBAVUTIL_VERSION_MAJOR < 57
    frame->buf[0] = av_buffer_alloc(static_cast<int>(picture + kGuardBytes));  // int sizes before FFmpeg 5
#else
    frame->buf[0] = av_buffer_alloc(picture + kGuardBytes);
#endif
    if (frame->buf[0] == nullptr) throw std::runtime_error("av_buffer_alloc failed");
    std::memset(frame->buf[0]->data, fill, picture);
    std::memset(frame->buf[0]->data + picture, kGuardValue, kGuardBytes);
    frame->data[0] = frame->buf[0]->data;
    frame->linesize[0] = width * 3;
    frame->width = width;
    frame->height = height;
    frame->format = AV_PIX_FMT_BGR24;
    return frame;
}

bool guard_intact(const uint8_t* picture_end) {
    return std::all_of(picture_end, picture_end + kGuardBytes, [](uint8_t b) { return b == kGuardValue; });
}

int max_bgr_error(const uint8_t* pixels, int width, int height, std::size_t stride, Rgb expected,
                  std::size_t* worst_index) {
    int worst = 0;
    for (int row = 0; row < height; ++row) {
        const uint8_t* line = pixels + static_cast<std::size_t>(row) * stride;
        for (int col = 0; col < width; ++col) {
            const uint8_t* px = line + col * 3;
            const int error = std::max({std::abs(px[0] - expected.b), std::abs(px[1] - expected.g),
                                        std::abs(px[2] - expected.r)});
            if (error > worst) {
                worst = error;
                if (worst_index != nullptr) *worst_index = static_cast<std::size_t>(row) * width + col;
            }
        }
    }
    return worst;
}

int max_bgr_error(const cv::Mat& image, Rgb expected) {
    if (image.type() != CV_8UC3) return 256;
    return max_bgr_error(image.data, image.cols, image.rows, image.step[0], expected);
}

}  // namespace test
}  // namespace media
