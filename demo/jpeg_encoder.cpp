#include "jpeg_encoder.h"

#include <algorithm>
#include <csetjmp>
#include <cstddef>
#include <cstdio>  // jpeglib.h needs FILE declared first
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>
#include <jerror.h>

#include "media/ffmpeg/av.h"

// libjpeg-turbo's extension, in every libjpeg-turbo since 1.1: it reads BGR rows as they are.
#ifndef JCS_EXTENSIONS
#error "libjpeg without JCS_EXT_BGR; libjpeg-turbo is needed"
#endif

namespace {

constexpr int kQuality = 95;
constexpr int kRowsPerCall = 16;  // one MCU row of 4:2:0
constexpr int kChromaRowsPerCall = kRowsPerCall / 2;

// GCC at -O2 vectorises a loop only when its length is a known multiple of its vector
// width: rows are taken in blocks of this many samples, and what is left one by one.
constexpr int kBlock = 16;

// Limited-range luma to full range: (Y - 16) * 255 / 219, rounded. 219 is odd, so no
// result falls exactly halfway.
inline unsigned char full_range_luma(unsigned char sample) {
    const unsigned y = std::min(std::max(unsigned{sample}, 16u), 235u) - 16u;
    return static_cast<unsigned char>((y * 255u + 109u) / 219u);
}

// Limited-range chroma to full range: (C - 128) * 255 / 224 + 128, rounded. The only exact
// halves, at 16 and 240, round down, so the ends of the range land on 0 and 255.
inline unsigned char full_range_chroma(unsigned char sample) {
    const unsigned c = std::min(std::max(unsigned{sample}, 16u), 240u) - 16u;
    return static_cast<unsigned char>((c * 255u + 223u) / 224u);
}

inline unsigned char as_is(unsigned char sample) { return sample; }

template <unsigned char (*Map)(unsigned char)>
void map_row(const unsigned char* __restrict in, unsigned char* __restrict out, int count) {
    for (; count >= kBlock; count -= kBlock, in += kBlock, out += kBlock) {
        for (int i = 0; i < kBlock; ++i) out[i] = Map(in[i]);
    }
    for (int i = 0; i < count; ++i) out[i] = Map(in[i]);
}

// NV12's interleaved chroma pairs into the separate Cb and Cr rows libjpeg reads, in one
// pass: GCC finds taking every other sample, one plane at a time, not worth vectorising.
template <unsigned char (*Map)(unsigned char)>
void split_row(const unsigned char* __restrict in, unsigned char* __restrict cb, unsigned char* __restrict cr,
               int count) {
    for (; count >= kBlock; count -= kBlock, in += 2 * kBlock, cb += kBlock, cr += kBlock) {
        for (int i = 0; i < kBlock; ++i) {
            cb[i] = Map(in[2 * i]);
            cr[i] = Map(in[2 * i + 1]);
        }
    }
    for (int i = 0; i < count; ++i) {
        cb[i] = Map(in[2 * i]);
        cr[i] = Map(in[2 * i + 1]);
    }
}

// BT.709 pictures are re-expressed in JPEG's YCbCr, BT.601 full range, as the BGR path
// shows them: it turns them into RGB with BT.709's matrix, and libjpeg turns that into
// YCbCr with BT.601's. Both matrices give grey the same luma and no chroma, so the new
// chroma depends on the old chroma alone, and the new luma is the old one plus a little
// of the chroma. Each chroma sample serves its 2x2 block of luma, as it does in the BGR
// image, whose conversion repeats chroma samples.
namespace recode {

// BT.709 Y'PbPr (Pb, Pr in -0.5..0.5) to R'G'B': red takes Pr, blue Pb, green both.
constexpr double kRed709 = 0.2126, kBlue709 = 0.0722, kGreen709 = 1 - kRed709 - kBlue709;
constexpr double kRedOfPr = 2 * (1 - kRed709);
constexpr double kBlueOfPb = 2 * (1 - kBlue709);
constexpr double kGreenOfPr = -2 * kRed709 * (1 - kRed709) / kGreen709;
constexpr double kGreenOfPb = -2 * kBlue709 * (1 - kBlue709) / kGreen709;

// ...and R'G'B' to BT.601 Y'PbPr: luma takes what Pr and Pb added to each primary.
constexpr double kRed601 = 0.299, kBlue601 = 0.114, kGreen601 = 1 - kRed601 - kBlue601;
constexpr double kLumaOfPr = kRed601 * kRedOfPr + kGreen601 * kGreenOfPr;
constexpr double kLumaOfPb = kBlue601 * kBlueOfPb + kGreen601 * kGreenOfPb;
constexpr double kPbOfPb = (kBlueOfPb - kLumaOfPb) / (2 * (1 - kBlue601));
constexpr double kPbOfPr = -kLumaOfPr / (2 * (1 - kBlue601));
constexpr double kPrOfPr = (kRedOfPr - kLumaOfPr) / (2 * (1 - kRed601));
constexpr double kPrOfPb = -kLumaOfPb / (2 * (1 - kRed601));

// Coefficients carry 14 fraction bits. Each term is the high half of a 16-bit product, the
// sample's offset in the top byte times the coefficient, which GCC turns into one
// instruction per eight samples (with 32-bit sums the recoding took three times as long):
// the terms come out in 64ths of a step, and every sum stays within 16 bits. Each term
// rounds down by under a 64th; adding one back centres the sum, and every result is within
// 0.53 of a step of the exact value, where exact rounding would give 0.5.
constexpr int kFraction = 6;
constexpr int kRound = (1 << (kFraction - 1)) + 1;

constexpr int fixed(double value) { return static_cast<int>(value * (1 << 14) + (value < 0 ? -0.5 : 0.5)); }

// Full range spans 255 steps for luma and chroma alike; limited range 219 for luma above
// 16 and 224 for chroma, both stretched to JPEG's 255.
struct Coefficients {
    int luma;
    int black;  // the luma's black level, in 64ths of a step of JPEG's
    int luma_of_cr, luma_of_cb;
    int cb_of_cb, cb_of_cr;
    int cr_of_cr, cr_of_cb;
};

constexpr Coefficients coefficients(double luma_scale, double chroma_scale, int black) {
    return {fixed(luma_scale),
            static_cast<int>(black * luma_scale * (1 << kFraction) + 0.5),
            fixed(kLumaOfPr * chroma_scale),
            fixed(kLumaOfPb * chroma_scale),
            fixed(kPbOfPb * chroma_scale),
            fixed(kPbOfPr * chroma_scale),
            fixed(kPrOfPr * chroma_scale),
            fixed(kPrOfPb * chroma_scale)};
}

constexpr Coefficients kLimited = coefficients(255.0 / 219, 255.0 / 224, 16);
constexpr Coefficients kFull = coefficients(1, 1, 0);

// A chroma sample's offset from 128 times a coefficient, in 64ths of a step.
inline short term(int offset, int coefficient) {
    return static_cast<short>((static_cast<short>(offset * 256) * coefficient) >> 16);
}

inline unsigned char clamp_byte(short value) {
    return static_cast<unsigned char>(std::min<short>(std::max<short>(value, 0), 255));
}

inline unsigned char in_steps(int sum) { return clamp_byte(static_cast<short>(static_cast<short>(sum) >> kFraction)); }

template <bool Full>
inline unsigned char recoded_cb(int u, int v) {
    constexpr const Coefficients& k = Full ? kFull : kLimited;
    return in_steps(term(u, k.cb_of_cb) + term(v, k.cb_of_cr) + (128 << kFraction) + kRound);
}

template <bool Full>
inline unsigned char recoded_cr(int u, int v) {
    constexpr const Coefficients& k = Full ? kFull : kLimited;
    return in_steps(term(v, k.cr_of_cr) + term(u, k.cr_of_cb) + (128 << kFraction) + kRound);
}

// What a chroma sample adds to its pixels' luma: at limited range in 64ths of a step, with
// the black level and the rounding in; at full range, where the luma needs no
// multiplication, in whole steps.
template <bool Full>
inline short luma_share_of(int u, int v) {
    constexpr const Coefficients& k = Full ? kFull : kLimited;
    const auto share = static_cast<short>(term(v, k.luma_of_cr) + term(u, k.luma_of_cb) + kRound);
    return static_cast<short>(Full ? share >> kFraction : share - k.black);
}

// A row of chroma samples, separate Cb and Cr rows or NV12's pairs in `cb_in` alone (read
// through the one pointer, as GCC vectorises pairs in split_row), into JPEG's Cb and Cr and
// each sample's share of its pixels' luma, stored once per pixel, so that the luma rows are
// read straight through.
template <bool Full, bool Interleaved>
void chroma_row(const unsigned char* __restrict cb_in, const unsigned char* __restrict cr_in,
                unsigned char* __restrict cb, unsigned char* __restrict cr, short* __restrict luma_share, int count) {
    constexpr int step = Interleaved ? 2 : 1;
    for (; count >= kBlock; count -= kBlock) {
        for (int i = 0; i < kBlock; ++i) {
            const int u = cb_in[step * i] - 128;
            const int v = (Interleaved ? cb_in[2 * i + 1] : cr_in[i]) - 128;
            cb[i] = recoded_cb<Full>(u, v);
            cr[i] = recoded_cr<Full>(u, v);
            luma_share[2 * i] = luma_share[2 * i + 1] = luma_share_of<Full>(u, v);
        }
        cb_in += step * kBlock, cr_in += Interleaved ? 0 : kBlock, cb += kBlock, cr += kBlock,
            luma_share += 2 * kBlock;
    }
    for (int i = 0; i < count; ++i) {
        const int u = cb_in[step * i] - 128;
        const int v = (Interleaved ? cb_in[2 * i + 1] : cr_in[i]) - 128;
        cb[i] = recoded_cb<Full>(u, v);
        cr[i] = recoded_cr<Full>(u, v);
        luma_share[2 * i] = luma_share[2 * i + 1] = luma_share_of<Full>(u, v);
    }
}

// At limited range the luma is stretched like a chroma term, in 64ths of a step, but as an
// unsigned product: a luma of 128 or more in the top byte does not fit a signed 16 bits.
template <bool Full>
inline unsigned char recoded_luma(int y, short luma_share) {
    if (Full) {
        return clamp_byte(static_cast<short>(y + luma_share));
    }
    const auto stretched = static_cast<short>((static_cast<unsigned short>(y * 256) * unsigned{kLimited.luma}) >> 16);
    return in_steps(stretched + luma_share);
}

template <bool Full>
void luma_row(const unsigned char* __restrict in, const short* __restrict luma_share, unsigned char* __restrict out,
              int count) {
    for (; count >= kBlock; count -= kBlock, in += kBlock, out += kBlock, luma_share += kBlock) {
        for (int i = 0; i < kBlock; ++i) out[i] = recoded_luma<Full>(in[i], luma_share[i]);
    }
    for (int i = 0; i < count; ++i) out[i] = recoded_luma<Full>(in[i], luma_share[i]);
}

}  // namespace recode

bool is_full_range(const AVFrame& frame) {
    return frame.format == AV_PIX_FMT_YUVJ420P || frame.color_range == AVCOL_RANGE_JPEG;
}

const unsigned char* row_of(const AVFrame& frame, int plane, int row) {
    return frame.data[plane] + static_cast<std::ptrdiff_t>(row) * frame.linesize[plane];
}

}  // namespace

struct JpegEncoder::State {
    jpeg_compress_struct compress{};
    jpeg_error_mgr errors{};
    jpeg_destination_mgr destination{};
    std::jmp_buf failure{};
    char message[JMSG_LENGTH_MAX] = {};

    // Plain malloc'd memory: libjpeg may call back into us from its own frames, where a
    // throwing allocation could not unwind.
    unsigned char* buffer = nullptr;
    std::size_t capacity = 0;
    std::size_t size = 0;

    // One iMCU row of the picture being encoded from its planes, as JPEG holds it: 16 luma
    // rows, then 8 Cb and 8 Cr rows, each `width` or `width / 2` bytes; then, for a BT.709
    // picture, one row of `width` shorts, what chroma adds to each pixel's luma.
    unsigned char* band = nullptr;
    std::size_t band_capacity = 0;

    bool created = false;

    State() {
        compress.err = jpeg_std_error(&errors);
        errors.error_exit = &State::on_error;
        errors.output_message = [](j_common_ptr) {};  // warnings would go to stderr
        compress.client_data = this;
        created = create();
        destination.init_destination = &State::on_start;
        destination.empty_output_buffer = &State::on_full;
        destination.term_destination = &State::on_finish;
        compress.dest = &destination;
    }

    ~State() {
        if (created) {
            jpeg_destroy_compress(&compress);
        }
        std::free(buffer);
        std::free(band);
    }

    static State& of(j_common_ptr info) { return *static_cast<State*>(info->client_data); }
    static State& of(j_compress_ptr info) { return *static_cast<State*>(info->client_data); }

    [[noreturn]] static void on_error(j_common_ptr info) {
        State& state = of(info);
        (*info->err->format_message)(info, state.message);
        std::longjmp(state.failure, 1);
    }

    // libjpeg reports even a failed start through error_exit.
    bool create() {
        if (setjmp(failure) != 0) {
            return false;
        }
        jpeg_create_compress(&compress);
        return true;
    }

    // Plain realloc for the same reason as above; `memory` and `size` stay as they were on failure.
    static bool reallocate(unsigned char*& memory, std::size_t& size, std::size_t wanted) {
        auto* bigger = static_cast<unsigned char*>(std::realloc(memory, wanted));
        if (bigger == nullptr) {
            return false;
        }
        memory = bigger;
        size = wanted;
        return true;
    }

    bool grow(std::size_t wanted) { return reallocate(buffer, capacity, wanted); }

    static void on_start(j_compress_ptr info) {
        State& state = of(info);
        // A picture at quality 95 rarely needs more than a byte per pixel.
        const std::size_t guess = std::size_t{info->image_width} * info->image_height + 4096;
        if (state.capacity < guess && !state.grow(guess)) {
            ERREXIT1(info, JERR_OUT_OF_MEMORY, 0);
        }
        state.destination.next_output_byte = state.buffer;
        state.destination.free_in_buffer = state.capacity;
    }

    static boolean on_full(j_compress_ptr info) {
        State& state = of(info);
        // libjpeg calls this with the whole buffer used, whatever free_in_buffer says.
        const std::size_t used = state.capacity;
        if (!state.grow(state.capacity * 2)) {
            ERREXIT1(info, JERR_OUT_OF_MEMORY, 1);
        }
        state.destination.next_output_byte = state.buffer + used;
        state.destination.free_in_buffer = state.capacity - used;
        return TRUE;
    }

    static void on_finish(j_compress_ptr info) {
        State& state = of(info);
        state.size = state.capacity - state.destination.free_in_buffer;
    }

    // Runs libjpeg over the image; no object with a destructor may live in this frame,
    // because an error leaves it through longjmp.
    bool compress_rows(const cv::Mat& image) {
        if (setjmp(failure) != 0) {
            jpeg_abort_compress(&compress);
            return false;
        }
        const bool colour = image.channels() == 3;
        compress.image_width = static_cast<JDIMENSION>(image.cols);
        compress.image_height = static_cast<JDIMENSION>(image.rows);
        compress.input_components = colour ? 3 : 1;
        compress.in_color_space = colour ? JCS_EXT_BGR : JCS_GRAYSCALE;
        jpeg_set_defaults(&compress);
        jpeg_set_quality(&compress, kQuality, TRUE);
        jpeg_start_compress(&compress, TRUE);

        JSAMPROW rows[kRowsPerCall];
        while (compress.next_scanline < compress.image_height) {
            const JDIMENSION first = compress.next_scanline;
            int count = 0;
            for (; count < kRowsPerCall && first + static_cast<JDIMENSION>(count) < compress.image_height; ++count) {
                rows[count] = const_cast<JSAMPROW>(image.ptr<unsigned char>(static_cast<int>(first) + count));
            }
            jpeg_write_scanlines(&compress, rows, static_cast<JDIMENSION>(count));
        }
        jpeg_finish_compress(&compress);
        return true;
    }

    bool grow_band(std::size_t wanted) { return band_capacity >= wanted || reallocate(band, band_capacity, wanted); }

    // Where the band's Cb and Cr rows start, after its 16 luma rows.
    unsigned char* cb_band(int width) const { return band + static_cast<std::size_t>(kRowsPerCall) * width; }
    unsigned char* cr_band(int width) const {
        return cb_band(width) + static_cast<std::size_t>(kChromaRowsPerCall) * (width / 2);
    }

    // Fills the band with the iMCU row that starts at picture row `top` and points libjpeg's
    // rows at it. Even planes that need no change are copied: libjpeg reads 16 rows at a
    // time a block wide, which costs more from a frame the cache no longer holds than
    // reading each row once whole. Rows below the picture repeat its last row, as libjpeg
    // pads a picture itself; it reads them only up to the end of their 8x8 block.
    void fill_band(const AVFrame& frame, int top, bool full_range, JSAMPROW* luma, JSAMPROW* cb, JSAMPROW* cr) {
        const int width = frame.width;
        const int luma_rows = std::min(kRowsPerCall, frame.height - top);
        for (int i = 0; i < luma_rows; ++i) {
            luma[i] = band + static_cast<std::size_t>(i) * width;
            const unsigned char* in = row_of(frame, 0, top + i);
            if (full_range) {
                std::memcpy(luma[i], in, static_cast<std::size_t>(width));
            } else {
                map_row<full_range_luma>(in, luma[i], width);
            }
        }
        std::fill(luma + luma_rows, luma + kRowsPerCall, luma[luma_rows - 1]);

        const int chroma_width = width / 2;
        const int chroma_top = top / 2;
        const int chroma_rows = std::min(kChromaRowsPerCall, frame.height / 2 - chroma_top);
        for (int i = 0; i < chroma_rows; ++i) {
            cb[i] = cb_band(width) + static_cast<std::size_t>(i) * chroma_width;
            cr[i] = cr_band(width) + static_cast<std::size_t>(i) * chroma_width;
            const int row = chroma_top + i;
            if (frame.format == AV_PIX_FMT_NV12) {
                if (full_range) {
                    split_row<as_is>(row_of(frame, 1, row), cb[i], cr[i], chroma_width);
                } else {
                    split_row<full_range_chroma>(row_of(frame, 1, row), cb[i], cr[i], chroma_width);
                }
            } else if (full_range) {
                std::memcpy(cb[i], row_of(frame, 1, row), static_cast<std::size_t>(chroma_width));
                std::memcpy(cr[i], row_of(frame, 2, row), static_cast<std::size_t>(chroma_width));
            } else {
                map_row<full_range_chroma>(row_of(frame, 1, row), cb[i], chroma_width);
                map_row<full_range_chroma>(row_of(frame, 2, row), cr[i], chroma_width);
            }
        }
        std::fill(cb + chroma_rows, cb + kChromaRowsPerCall, cb[chroma_rows - 1]);
        std::fill(cr + chroma_rows, cr + kChromaRowsPerCall, cr[chroma_rows - 1]);
    }

    // fill_band for a BT.709 picture, re-expressed in JPEG's colours: a row of chroma, then
    // the two rows of luma it serves while its share of their luma is still in cache.
    template <bool Full, bool Interleaved>
    void fill_band_bt709(const AVFrame& frame, int top, JSAMPROW* luma, JSAMPROW* cb, JSAMPROW* cr) {
        const int width = frame.width;
        const int chroma_width = width / 2;
        auto* const luma_share =
            reinterpret_cast<short*>(cr_band(width) + static_cast<std::size_t>(kChromaRowsPerCall) * chroma_width);
        const int chroma_top = top / 2;
        const int chroma_rows = std::min(kChromaRowsPerCall, frame.height / 2 - chroma_top);
        for (int i = 0; i < chroma_rows; ++i) {
            cb[i] = cb_band(width) + static_cast<std::size_t>(i) * chroma_width;
            cr[i] = cr_band(width) + static_cast<std::size_t>(i) * chroma_width;
            const int row = chroma_top + i;
            const unsigned char* cr_in = Interleaved ? nullptr : row_of(frame, 2, row);
            recode::chroma_row<Full, Interleaved>(row_of(frame, 1, row), cr_in, cb[i], cr[i], luma_share,
                                                  chroma_width);
            for (int j = 2 * i; j < 2 * i + 2; ++j) {
                luma[j] = band + static_cast<std::size_t>(j) * width;
                recode::luma_row<Full>(row_of(frame, 0, top + j), luma_share, luma[j], width);
            }
        }
        std::fill(luma + 2 * chroma_rows, luma + kRowsPerCall, luma[2 * chroma_rows - 1]);
        std::fill(cb + chroma_rows, cb + kChromaRowsPerCall, cb[chroma_rows - 1]);
        std::fill(cr + chroma_rows, cr + kChromaRowsPerCall, cr[chroma_rows - 1]);
    }

    void fill_band_bt709(const AVFrame& frame, int top, bool full_range, JSAMPROW* luma, JSAMPROW* cb,
                         JSAMPROW* cr) {
        const bool interleaved = frame.format == AV_PIX_FMT_NV12;
        if (full_range) {
            interleaved ? fill_band_bt709<true, true>(frame, top, luma, cb, cr)
                        : fill_band_bt709<true, false>(frame, top, luma, cb, cr);
        } else {
            interleaved ? fill_band_bt709<false, true>(frame, top, luma, cb, cr)
                        : fill_band_bt709<false, false>(frame, top, luma, cb, cr);
        }
    }

    // The band for the iMCU row at picture row `top`, in JPEG's colours.
    void fill_band_any(const AVFrame& frame, int top, JSAMPROW* luma, JSAMPROW* cb, JSAMPROW* cr) {
        if (frame.colorspace == AVCOL_SPC_BT709) {
            fill_band_bt709(frame, top, is_full_range(frame), luma, cb, cr);
        } else {
            fill_band(frame, top, is_full_range(frame), luma, cb, cr);
        }
    }

    // Room for the band of a picture `takes_planes_of` accepts.
    bool grow_band_for(const AVFrame& frame) {
        return grow_band(static_cast<std::size_t>(kRowsPerCall + kChromaRowsPerCall) * frame.width +
                         static_cast<std::size_t>(frame.width) * sizeof(short));
    }

    // Runs libjpeg over the frame's planes; as for compress_rows, no object with a
    // destructor may live in this frame.
    bool compress_planes(const AVFrame& frame) {
        if (setjmp(failure) != 0) {
            jpeg_abort_compress(&compress);
            return false;
        }
        compress.image_width = static_cast<JDIMENSION>(frame.width);
        compress.image_height = static_cast<JDIMENSION>(frame.height);
        compress.input_components = 3;
        compress.in_color_space = JCS_YCbCr;
        jpeg_set_defaults(&compress);
        jpeg_set_quality(&compress, kQuality, TRUE);
        // The defaults are 4:2:0 already; the rows handed over are laid out for exactly that.
        compress.comp_info[0].h_samp_factor = 2;
        compress.comp_info[0].v_samp_factor = 2;
        for (int chroma = 1; chroma <= 2; ++chroma) {
            compress.comp_info[chroma].h_samp_factor = 1;
            compress.comp_info[chroma].v_samp_factor = 1;
        }
        compress.raw_data_in = TRUE;
        jpeg_start_compress(&compress, TRUE);

        JSAMPROW luma[kRowsPerCall];
        JSAMPROW cb[kChromaRowsPerCall];
        JSAMPROW cr[kChromaRowsPerCall];
        JSAMPARRAY planes[3] = {luma, cb, cr};
        while (compress.next_scanline < compress.image_height) {
            fill_band_any(frame, static_cast<int>(compress.next_scanline), luma, cb, cr);
            jpeg_write_raw_data(&compress, planes, kRowsPerCall);
        }
        jpeg_finish_compress(&compress);
        return true;
    }
};

JpegEncoder::JpegEncoder() : state_(std::make_unique<State>()) {}

JpegEncoder::~JpegEncoder() = default;

bool JpegEncoder::encode(const cv::Mat& image, std::string& error) {
    if (image.empty() || image.dims != 2 || (image.type() != CV_8UC3 && image.type() != CV_8UC1)) {
        state_->size = 0;
        error = "not an 8-bit BGR or grey image";
        return false;
    }
    return compress([&] { return state_->compress_rows(image); }, error);
}

template <typename Compress>
bool JpegEncoder::compress(Compress run, std::string& error) {
    state_->size = 0;  // a failed call leaves no picture behind
    if (!state_->created) {
        error = "libjpeg could not start";
        return false;
    }
    if (!run()) {
        error = state_->message;
        return false;
    }
    return true;
}

bool JpegEncoder::takes_planes_of(const AVFrame& frame) {
    const auto format = static_cast<AVPixelFormat>(frame.format);
    const bool interleaved = format == AV_PIX_FMT_NV12;
    if (format != AV_PIX_FMT_YUV420P && format != AV_PIX_FMT_YUVJ420P && !interleaved) {
        return false;
    }
    // The matrices the BGR conversion reads as BT.601, and BT.709, which the encoder
    // re-expresses; with any other the file's colours would not be the image's.
    if (frame.colorspace != AVCOL_SPC_UNSPECIFIED && frame.colorspace != AVCOL_SPC_BT470BG &&
        frame.colorspace != AVCOL_SPC_SMPTE170M && frame.colorspace != AVCOL_SPC_BT709) {
        return false;
    }
    // libjpeg reads whole 8x8 blocks of each plane; a width that is a multiple of 16 keeps it
    // inside every row. An odd height has a half chroma row that the BGR conversion handles
    // its own way.
    if (frame.width <= 0 || frame.width % 16 != 0 || frame.height <= 0 || frame.height % 2 != 0) {
        return false;
    }
    const int chroma_bytes = interleaved ? frame.width : frame.width / 2;
    return frame.data[0] != nullptr && frame.data[1] != nullptr && (interleaved || frame.data[2] != nullptr) &&
           frame.linesize[0] >= frame.width && frame.linesize[1] >= chroma_bytes &&
           (interleaved || frame.linesize[2] >= chroma_bytes);
}

bool JpegEncoder::encode(const AVFrame& frame, std::string& error) {
    state_->size = 0;
    if (!takes_planes_of(frame)) {
        error = "not a BT.601 or BT.709 4:2:0 picture whose planes can be encoded";
        return false;
    }
    if (!state_->grow_band_for(frame)) {
        error = "out of memory";
        return false;
    }
    return compress([&] { return state_->compress_planes(frame); }, error);
}

bool JpegEncoder::ycbcr_of(const AVFrame& frame, cv::Mat& luma, cv::Mat& cb, cv::Mat& cr) {
    State state;
    if (!takes_planes_of(frame) || !state.grow_band_for(frame)) {
        return false;
    }
    luma.create(frame.height, frame.width, CV_8UC1);
    cb.create(frame.height / 2, frame.width / 2, CV_8UC1);
    cr.create(frame.height / 2, frame.width / 2, CV_8UC1);
    JSAMPROW luma_rows[kRowsPerCall];
    JSAMPROW cb_rows[kChromaRowsPerCall];
    JSAMPROW cr_rows[kChromaRowsPerCall];
    for (int top = 0; top < frame.height; top += kRowsPerCall) {
        state.fill_band_any(frame, top, luma_rows, cb_rows, cr_rows);
        for (int i = 0; i < kRowsPerCall && top + i < frame.height; ++i) {
            std::memcpy(luma.ptr(top + i), luma_rows[i], static_cast<std::size_t>(frame.width));
        }
        for (int i = 0; i < kChromaRowsPerCall && top / 2 + i < frame.height / 2; ++i) {
            std::memcpy(cb.ptr(top / 2 + i), cb_rows[i], static_cast<std::size_t>(frame.width / 2));
            std::memcpy(cr.ptr(top / 2 + i), cr_rows[i], static_cast<std::size_t>(frame.width / 2));
        }
    }
    return true;
}

const unsigned char* JpegEncoder::data() const { return state_->buffer; }

std::size_t JpegEncoder::size() const { return state_->size; }
