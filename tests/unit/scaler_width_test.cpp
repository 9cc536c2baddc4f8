// Every conversion at widths where libswscale's fast paths misbehave (not a multiple of
// 16, odd, the 854 of 480p widescreen): each output pixel must be converted, and nothing
// may be written past an exactly sized destination. Writes from libswscale are not seen
// by AddressSanitizer, hence the guard bytes.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "capture.h"
#include "media/ffmpeg/scaler.h"
#include "media/image/bgr_converter.h"
#include "picture.h"

namespace {

using media::ffmpeg::Scaler;
using media::test::Rgb;
using media::test::Yuv;
using Frame = std::shared_ptr<AVFrame>;
using Image = std::shared_ptr<cv::Mat>;

constexpr Yuv kRedYuv{81, 90, 240};  // pure red, BT.601 limited range
const Rgb kRed = media::test::decode(kRedYuv, media::test::kBt601, false, 8);
using media::test::kTolerance;
constexpr uint8_t kStale = 0x33;  // what an unconverted destination pixel still holds

struct Size {
    int width;
    int height;
};

class Scaler_Width : public ::testing::TestWithParam<Size> {
protected:
    int w() const { return GetParam().width; }
    int h() const { return GetParam().height; }
    std::size_t bgr_bytes() const { return static_cast<std::size_t>(w()) * h() * 3; }

    std::shared_ptr<Scaler> scaler() const {
        return Scaler::createShare(w(), h(), AV_PIX_FMT_YUV420P, w(), h(), AV_PIX_FMT_BGR24);
    }
    Frame red_frame() const {
        Frame frame = media::test::make_picture(w(), h(), AV_PIX_FMT_YUV420P);
        media::test::fill_yuv(*frame, kRedYuv);
        return frame;
    }
    // The source picture packed at alignment 1, exactly as large as the format needs.
    std::vector<uint8_t> red_buffer() const {
        Frame frame = red_frame();
        std::vector<uint8_t> buffer(
            static_cast<std::size_t>(av_image_get_buffer_size(AV_PIX_FMT_YUV420P, w(), h(), 1)));
        av_image_copy_to_buffer(buffer.data(), static_cast<int>(buffer.size()), frame->data, frame->linesize,
                                AV_PIX_FMT_YUV420P, w(), h(), 1);
        return buffer;
    }
    std::vector<uint8_t> stale_buffer() const {
        std::vector<uint8_t> buffer(bgr_bytes() + media::test::kGuardBytes, media::test::kGuardValue);
        std::fill_n(buffer.begin(), bgr_bytes(), kStale);
        return buffer;
    }
    void expect_red(const uint8_t* pixels) const {
        std::size_t worst = 0;
        EXPECT_LE(media::test::max_bgr_error(pixels, w(), h(), static_cast<std::size_t>(w()) * 3, kRed, &worst),
                  kTolerance)
            << "first bad pixel at row " << worst / w() << ", column " << worst % w();
        EXPECT_TRUE(media::test::guard_intact(pixels + bgr_bytes())) << "written past the picture";
    }
};

TEST_P(Scaler_Width, FrameToExactFrame) {
    Frame dst = media::test::make_exact_bgr_frame(w(), h(), kStale);
    ASSERT_TRUE(scaler()->scale(red_frame(), dst));
    EXPECT_EQ(dst->linesize[0], w() * 3);
    expect_red(dst->data[0]);
}

TEST_P(Scaler_Width, FrameToBuffer) {
    std::vector<uint8_t> buffer = stale_buffer();
    uint8_t* out = buffer.data();
    ASSERT_TRUE(scaler()->scale(red_frame(), out));
    expect_red(out);
}

TEST_P(Scaler_Width, BufferToExactFrame) {
    std::vector<uint8_t> source = red_buffer();
    uint8_t* in = source.data();
    Frame dst = media::test::make_exact_bgr_frame(w(), h(), kStale);
    ASSERT_TRUE(scaler()->scale(in, dst));
    expect_red(dst->data[0]);
}

TEST_P(Scaler_Width, BufferToBuffer) {
    std::vector<uint8_t> source = red_buffer();
    uint8_t* in = source.data();
    std::vector<uint8_t> buffer = stale_buffer();
    uint8_t* out = buffer.data();
    ASSERT_TRUE(scaler()->scale(in, out));
    expect_red(out);
}

// Through the reader's converter, which shares the frame to image code with the scaler.
TEST_P(Scaler_Width, FrameToImage) {
    Image image;
    ASSERT_TRUE(media::image::BgrConverter().convert(red_frame(), image));
    ASSERT_EQ(image->cols, w());
    ASSERT_EQ(image->rows, h());
    ASSERT_TRUE(image->isContinuous());
    std::size_t worst = 0;
    EXPECT_LE(media::test::max_bgr_error(image->data, w(), h(), image->step[0], kRed, &worst), kTolerance)
        << "first bad pixel at row " << worst / w() << ", column " << worst % w();
}

// BGR source with a blue first column and red elsewhere, followed by kGuardBytes of blue.
std::vector<uint8_t> edge_marked_bgr(int width, int height) {
    const std::size_t picture = static_cast<std::size_t>(width) * height * 3;
    std::vector<uint8_t> pixels(picture + media::test::kGuardBytes, 0);
    for (std::size_t i = 0; i < pixels.size(); i += 3) {
        const bool blue = i >= picture || (i / 3) % static_cast<std::size_t>(width) == 0;
        pixels[i] = blue ? 255 : 0;
        if (i + 2 < pixels.size()) pixels[i + 2] = blue ? 0 : 255;
    }
    return pixels;
}

// Planar YUV 4:2:0 packed back to back: every sample that covers only red columns is red.
// At an odd width the last chroma sample covers one column; it must not mix in the next
// row's first pixel or bytes past the picture.
void expect_red_beyond_first_column(const uint8_t* yuv, int width, int height) {
    const Yuv red = media::test::encode(Rgb{255, 0, 0}, media::test::kBt601, false, 8);
    const int cw = (width + 1) / 2;
    const int ch = (height + 1) / 2;
    const uint8_t* u = yuv + static_cast<std::size_t>(width) * height;
    const uint8_t* v = u + static_cast<std::size_t>(cw) * ch;
    int luma = 0;
    int chroma = 0;
    int bad_column = -1;
    for (int row = 0; row < height; ++row) {
        for (int col = 1; col < width; ++col) luma = std::max(luma, std::abs(yuv[row * width + col] - red.y));
    }
    for (int row = 0; row < ch; ++row) {
        for (int col = 1; col < cw; ++col) {
            const int error = std::max(std::abs(u[row * cw + col] - red.u), std::abs(v[row * cw + col] - red.v));
            if (error > chroma) {
                chroma = error;
                bad_column = col;
            }
        }
    }
    EXPECT_LE(luma, 2);
    EXPECT_LE(chroma, 2) << "chroma column " << bad_column << " of " << cw;
}

TEST_P(Scaler_Width, BgrToPlanarBufferKeepsRowEdges) {
    auto to_yuv = Scaler::createShare(w(), h(), AV_PIX_FMT_BGR24, w(), h(), AV_PIX_FMT_YUV420P);
    std::vector<uint8_t> source = edge_marked_bgr(w(), h());
    uint8_t* in = source.data();
    std::vector<uint8_t> from_buffer = stale_buffer();
    uint8_t* out = from_buffer.data();
    ASSERT_TRUE(to_yuv->scale(in, out));
    expect_red_beyond_first_column(out, w(), h());

    Frame src = media::test::make_exact_bgr_frame(w(), h(), 0);
    std::copy(source.begin(), source.end(), src->data[0]);
    std::vector<uint8_t> from_frame = stale_buffer();
    out = from_frame.data();
    ASSERT_TRUE(to_yuv->scale(src, out));
    expect_red_beyond_first_column(out, w(), h());
}

TEST_P(Scaler_Width, ImageToFrameKeepsRowEdges) {
    std::vector<uint8_t> pixels = edge_marked_bgr(w(), h());
    Image image = std::make_shared<cv::Mat>(h(), w(), CV_8UC3);
    std::copy_n(pixels.begin(), bgr_bytes(), image->data);
    Frame frame;
    ASSERT_TRUE(scaler()->scale(image, frame));
    ASSERT_EQ(frame->format, AV_PIX_FMT_YUV420P);
    std::vector<uint8_t> packed(static_cast<std::size_t>(av_image_get_buffer_size(AV_PIX_FMT_YUV420P, w(), h(), 1)));
    av_image_copy_to_buffer(packed.data(), static_cast<int>(packed.size()), frame->data, frame->linesize,
                            AV_PIX_FMT_YUV420P, w(), h(), 1);
    expect_red_beyond_first_column(packed.data(), w(), h());
}

INSTANTIATE_TEST_SUITE_P(Sizes, Scaler_Width,
                         ::testing::Values(Size{104, 64}, Size{120, 64}, Size{360, 64}, Size{426, 64},
                                           Size{854, 64}, Size{854, 480}, Size{1918, 1080}, Size{97, 64},
                                           Size{333, 37}, Size{2, 2}, Size{17, 9}),
                         [](const ::testing::TestParamInfo<Size>& p) {
                             return std::to_string(p.param.width) + "x" + std::to_string(p.param.height);
                         });

}  // namespace
