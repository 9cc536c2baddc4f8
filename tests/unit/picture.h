#pragma once
// Synthetic pictures and the colour equations the tests compute expectations from.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <opencv2/core/mat.hpp>

#include "media/ffmpeg/av.h"

namespace media {
namespace test {

// Largest difference, per BGR channel, allowed between a conversion and the reference.
// libswscale's aarch64 conversion code rounds differently: up to 4 levels off (5 from
// 10-bit input) where x86-64 stays within 3.
#if defined(__aarch64__)
inline constexpr int kTolerance = 5;
#else
inline constexpr int kTolerance = 3;
#endif

// Bytes placed after a destination picture; a write past the picture changes them.
constexpr std::size_t kGuardBytes = 64;
constexpr uint8_t kGuardValue = 0xA5;

struct Rgb {
    int r;
    int g;
    int b;
};

struct Yuv {
    int y;
    int u;
    int v;
};

// Luma weights of the two matrices in use.
struct Matrix {
    double kr;
    double kb;
};
constexpr Matrix kBt601{0.299, 0.114};
constexpr Matrix kBt709{0.2126, 0.0722};

// R'G'B' -> Y'CbCr samples of the given bit depth, limited (16-235/240) or full range, rounded.
Yuv encode(Rgb rgb, Matrix matrix, bool full_range, int bits);
// Samples -> R'G'B' in 0..255, straight from the defining equations, clamped and rounded.
Rgb decode(Yuv yuv, Matrix matrix, bool full_range, int bits);
// The same in double precision, neither clamped nor rounded: {R', G', B'} on 0..255.
std::array<double, 3> exact_rgb(Yuv yuv, Matrix matrix, bool full_range, int bits);
// {R', G', B'} on 0..255 -> JPEG's {Y, Cb, Cr} (BT.601, full range), neither clamped nor rounded.
std::array<double, 3> jpeg_ycbcr(const std::array<double, 3>& rgb);

std::string to_text(Rgb rgb);

// A frame with its own buffers (aligned linesizes), every byte zero.
std::shared_ptr<AVFrame> make_picture(int width, int height, AVPixelFormat format);

// An 8-bit 4:2:0 picture (yuv420p, yuvj420p or nv12) as a camera gives one: luma with sharp
// edges and smooth chroma that stays within the colours BGR can hold, so that no
// conversion clips. Its planes are exactly the picture's size, where a sanitiser sees any
// read past them.
std::shared_ptr<AVFrame> camera_picture(int width, int height, AVPixelFormat format, AVColorRange range,
                                        AVColorSpace space = AVCOL_SPC_UNSPECIFIED);
// The samples of pixel (x, y) of an 8-bit 4:2:0 picture: its luma, its 2x2 block's chroma.
Yuv samples_at(const AVFrame& frame, int x, int y);

// Sets every sample of a planar YUV, NV12 or 16-bit-per-sample frame.
void fill_yuv(AVFrame& frame, Yuv yuv);
// Same, only for rows [row_begin, row_end) and columns [col_begin, col_end) of luma.
void fill_yuv_rect(AVFrame& frame, Yuv yuv, int col_begin, int col_end, int row_begin, int row_end);

// A BGR24 frame over one buffer of exactly width*height*3 bytes plus kGuardBytes, packed
// rows, picture bytes set to fill and guard bytes to kGuardValue.
std::shared_ptr<AVFrame> make_exact_bgr_frame(int width, int height, uint8_t fill);
// True when the kGuardBytes after the first width*height*3 bytes of data[0] are intact.
bool guard_intact(const uint8_t* picture_end);

// Largest per-channel difference between each pixel of a packed BGR picture and bgr;
// the first pixel with the largest difference is reported through worst_index.
int max_bgr_error(const uint8_t* pixels, int width, int height, std::size_t stride, Rgb expected,
                  std::size_t* worst_index = nullptr);
int max_bgr_error(const cv::Mat& image, Rgb expected);

}  // namespace test
}  // namespace media
