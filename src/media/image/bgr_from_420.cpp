#include "bgr_from_420.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include <opencv2/core/hal/intrin.hpp>

// libswscale's 4:2:0 to BGR paths without full chroma interpolation land up to 3.6
// levels off the equations on x86-64 and 5.3 on aarch64 (its code differs there);
// its accurate one (full chroma interpolation) costs ten to twenty times as much.
// OpenCV's conversion is accurate but knows only limited-range BT.601. This one covers
// both matrices and ranges with OpenCV's portable SIMD (SSE2 on x86-64, NEON on aarch64),
// so that the image is the same on either.

namespace media {
namespace image {

namespace {

// Coefficients carry 14 fraction bits; each term is the high half of a 16-bit product, the
// sample in the top byte times the coefficient (one instruction per eight samples), and
// comes out in 64ths of a level. A chroma sample's terms, the black level and the rounding
// are summed once per sample; a pixel adds its luma's term with saturation, so that sums
// past either end still clamp to 0 or 255.
constexpr int kFraction = 6;
// Each term rounds down by under a 64th; one 64th more than half a level centres the sum.
constexpr int kRound = (1 << (kFraction - 1)) + 1;

short fixed(double value) { return static_cast<short>(std::lround(value * (1 << 14))); }

struct Coefficients {
    unsigned short luma;  // full range: exactly 1, so the luma term is the sample in 64ths
    short red_of_v;
    short green_of_u, green_of_v;
    short blue_of_u;  // beyond 1, which a signed 16-bit coefficient cannot hold: u itself is added
    short offset;     // rounding less the black level, in 64ths
};

Coefficients coefficients(bool full_range, bool bt709) {
    const double kr = bt709 ? 0.2126 : 0.299;
    const double kb = bt709 ? 0.0722 : 0.114;
    const double kg = 1 - kr - kb;
    const double luma = full_range ? 1.0 : 255.0 / 219;
    const double chroma = full_range ? 1.0 : 255.0 / 224;
    const double black = full_range ? 0.0 : 16.0;
    return {static_cast<unsigned short>(std::lround(luma * (1 << 14))),
            fixed(chroma * 2 * (1 - kr)),
            fixed(-chroma * 2 * kb * (1 - kb) / kg),
            fixed(-chroma * 2 * kr * (1 - kr) / kg),
            fixed(chroma * 2 * (1 - kb) - 1),
            static_cast<short>(kRound - std::lround(black * luma * (1 << kFraction)))};
}

// Scalar forms of the vector steps, with the same results.
inline int term(int offset, int coefficient) { return (static_cast<short>(offset * 256) * coefficient) >> 16; }

inline int luma_term(int y, const Coefficients& k) { return static_cast<int>((static_cast<unsigned>(y) * 256u * k.luma) >> 16); }

inline uint8_t level(int sum) {
    const int clamped = std::min(std::max(sum, -32768), 32767);  // the vector sum saturates
    return static_cast<uint8_t>(std::min(std::max(clamped >> kFraction, 0), 255));
}

struct ChromaTerms {
    int r, g, b;
};

inline ChromaTerms chroma_terms(int cb, int cr, const Coefficients& k) {
    const int u = cb - 128;
    const int v = cr - 128;
    return {static_cast<short>(term(v, k.red_of_v) + k.offset),
            static_cast<short>(term(u, k.green_of_u) + term(v, k.green_of_v) + k.offset),
            static_cast<short>(u * 64 + term(u, k.blue_of_u) + k.offset)};
}

// Two rows of pixels that share one row of chroma (`cb` and `cr` one after the other in
// `cb` for NV12), from column `x` on.
void scalar_rows(const uint8_t* const luma[2], const uint8_t* cb, const uint8_t* cr, bool interleaved,
                 uint8_t* const out[2], int x, int width, const Coefficients& k) {
    for (; x < width; x += 2) {
        const int c = x / 2;
        const ChromaTerms t =
            interleaved ? chroma_terms(cb[2 * c], cb[2 * c + 1], k) : chroma_terms(cb[c], cr[c], k);
        for (int row = 0; row < 2; ++row) {
            for (int i = x; i < x + 2; ++i) {
                const int y = luma_term(luma[row][i], k);
                out[row][3 * i] = level(y + t.b);
                out[row][3 * i + 1] = level(y + t.g);
                out[row][3 * i + 2] = level(y + t.r);
            }
        }
    }
}

#if CV_SIMD128
using cv::v_int16x8;
using cv::v_uint16x8;
using cv::v_uint8x16;

// 16 pixels of a row from their luma and their chroma's terms, 8 pixels each.
inline __attribute__((always_inline)) void pixels(const uint8_t* luma, v_int16x8 red0, v_int16x8 red1,
                                                  v_int16x8 green0, v_int16x8 green1, v_int16x8 blue0,
                                                  v_int16x8 blue1, v_uint16x8 luma_k, uint8_t* out) {
    v_uint16x8 y0, y1;
    cv::v_expand(cv::v_load(luma), y0, y1);
    const v_int16x8 luma0 = cv::v_reinterpret_as_s16(cv::v_mul_hi(y0 << 8, luma_k));
    const v_int16x8 luma1 = cv::v_reinterpret_as_s16(cv::v_mul_hi(y1 << 8, luma_k));
    // + saturates for 16-bit lanes; v_pack_u clamps to 0..255.
    cv::v_store_interleave(out, cv::v_pack_u((luma0 + blue0) >> kFraction, (luma1 + blue1) >> kFraction),
                           cv::v_pack_u((luma0 + green0) >> kFraction, (luma1 + green1) >> kFraction),
                           cv::v_pack_u((luma0 + red0) >> kFraction, (luma1 + red1) >> kFraction));
}

// 32 pixels of two rows a step, 16 chroma samples.
int vector_rows(const uint8_t* const luma[2], const uint8_t* cb, const uint8_t* cr, bool interleaved,
                uint8_t* const out[2], int width, const Coefficients& k) {
    const v_uint16x8 luma_k = cv::v_setall_u16(k.luma);
    const v_int16x8 red_v = cv::v_setall_s16(k.red_of_v);
    const v_int16x8 green_u = cv::v_setall_s16(k.green_of_u);
    const v_int16x8 green_v = cv::v_setall_s16(k.green_of_v);
    const v_int16x8 blue_u = cv::v_setall_s16(k.blue_of_u);
    const v_int16x8 offset = cv::v_setall_s16(k.offset);
    const v_uint16x8 sign = cv::v_setall_u16(0x8000);
    int x = 0;
    for (; x + 32 <= width; x += 32) {
        v_uint8x16 u8, v8;
        if (interleaved) {
            cv::v_load_deinterleave(cb + x, u8, v8);
        } else {
            u8 = cv::v_load(cb + x / 2);
            v8 = cv::v_load(cr + x / 2);
        }
        v_uint16x8 u16[2], v16[2];
        cv::v_expand(u8, u16[0], u16[1]);
        cv::v_expand(v8, v16[0], v16[1]);
        // Per pixel, in order: each half's terms, every sample twice.
        v_int16x8 red[4], green[4], blue[4];
        for (int half = 0; half < 2; ++half) {
            // (sample - 128) * 256: the top byte with its top bit flipped.
            const v_int16x8 u = cv::v_reinterpret_as_s16((u16[half] << 8) ^ sign);
            const v_int16x8 v = cv::v_reinterpret_as_s16((v16[half] << 8) ^ sign);
            const v_int16x8 r = cv::v_add_wrap(cv::v_mul_hi(v, red_v), offset);
            const v_int16x8 g =
                cv::v_add_wrap(cv::v_add_wrap(cv::v_mul_hi(u, green_u), cv::v_mul_hi(v, green_v)), offset);
            const v_int16x8 b = cv::v_add_wrap(cv::v_add_wrap(u >> 2, cv::v_mul_hi(u, blue_u)), offset);
            cv::v_zip(r, r, red[2 * half], red[2 * half + 1]);
            cv::v_zip(g, g, green[2 * half], green[2 * half + 1]);
            cv::v_zip(b, b, blue[2 * half], blue[2 * half + 1]);
        }
        for (int row = 0; row < 2; ++row) {
            pixels(luma[row] + x, red[0], red[1], green[0], green[1], blue[0], blue[1], luma_k, out[row] + 3 * x);
            pixels(luma[row] + x + 16, red[2], red[3], green[2], green[3], blue[2], blue[3], luma_k,
                   out[row] + 3 * (x + 16));
        }
    }
    return x;
}
#endif

}  // namespace

bool bgr_from_420_takes(const AVFrame& frame) {
    const auto format = static_cast<AVPixelFormat>(frame.format);
    return (format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_NV12) &&
           frame.width % 2 == 0 && frame.height % 2 == 0;
}

void bgr_from_420(const AVFrame& frame, bool full_range, bool bt709, cv::Mat& bgr) {
    const Coefficients k = coefficients(full_range, bt709);
    const bool interleaved = frame.format == AV_PIX_FMT_NV12;
    for (int row = 0; row < frame.height; row += 2) {
        const uint8_t* const luma[2] = {frame.data[0] + static_cast<std::ptrdiff_t>(row) * frame.linesize[0],
                                        frame.data[0] + static_cast<std::ptrdiff_t>(row + 1) * frame.linesize[0]};
        const uint8_t* cb = frame.data[1] + static_cast<std::ptrdiff_t>(row / 2) * frame.linesize[1];
        const uint8_t* cr =
            interleaved ? nullptr : frame.data[2] + static_cast<std::ptrdiff_t>(row / 2) * frame.linesize[2];
        uint8_t* const out[2] = {bgr.ptr<uint8_t>(row), bgr.ptr<uint8_t>(row + 1)};
        int x = 0;
#if CV_SIMD128
        x = vector_rows(luma, cb, cr, interleaved, out, frame.width, k);
#endif
        scalar_rows(luma, cb, cr, interleaved, out, x, frame.width, k);
    }
}

}  // namespace image
}  // namespace media
