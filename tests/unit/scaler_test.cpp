#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "capture.h"
#include "media/ffmpeg/scaler.h"
#include "picture.h"

namespace {

using media::ffmpeg::Scaler;
using media::test::CoutCapture;
using media::test::Rgb;
using media::test::Yuv;
using Frame = std::shared_ptr<AVFrame>;
using Image = std::shared_ptr<cv::Mat>;

constexpr int kW = 64;
constexpr int kH = 48;
constexpr uint8_t kUntouched = 0x5A;
constexpr Yuv kRedYuv{81, 90, 240};  // pure red, BT.601 limited range
const Rgb kRed = media::test::decode(kRedYuv, media::test::kBt601, false, 8);
using media::test::kTolerance;

Frame red_yuv420p(int width = kW, int height = kH) {
    Frame frame = media::test::make_picture(width, height, AV_PIX_FMT_YUV420P);
    media::test::fill_yuv(*frame, kRedYuv);
    return frame;
}

// A BGR24 frame with aligned buffers whose every byte is kUntouched.
Frame untouched_bgr(int width = kW, int height = kH, AVPixelFormat format = AV_PIX_FMT_BGR24) {
    Frame frame = media::test::make_picture(width, height, format);
    for (int i = 0; i < AV_NUM_DATA_POINTERS && frame->buf[i] != nullptr; ++i) {
        std::memset(frame->buf[i]->data, kUntouched, frame->buf[i]->size);
    }
    return frame;
}

bool all_untouched(const AVFrame& frame) {
    for (int i = 0; i < AV_NUM_DATA_POINTERS && frame.buf[i] != nullptr; ++i) {
        const uint8_t* begin = frame.buf[i]->data;
        if (!std::all_of(begin, begin + frame.buf[i]->size, [](uint8_t b) { return b == kUntouched; })) return false;
    }
    return true;
}

bool all_untouched(const std::vector<uint8_t>& buffer, std::size_t from = 0) {
    return std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(from), buffer.end(),
                       [](uint8_t b) { return b == kUntouched; });
}

std::vector<uint8_t> raw_buffer(int width = kW, int height = kH) {
    return std::vector<uint8_t>(static_cast<std::size_t>(width) * height * 3 + media::test::kGuardBytes, kUntouched);
}

std::shared_ptr<Scaler> yuv_to_bgr() { return Scaler::createShare(kW, kH, AV_PIX_FMT_YUV420P, kW, kH, AV_PIX_FMT_BGR24); }

struct Mismatch {
    const char* name;
    int width;
    int height;
    AVPixelFormat format;
};

class Scaler_SourceMismatch : public ::testing::TestWithParam<Mismatch> {};

TEST_P(Scaler_SourceMismatch, RefusedAndNothingWritten) {
    const Mismatch& m = GetParam();
    auto scaler = yuv_to_bgr();
    Frame src = media::test::make_picture(m.width, m.height, m.format);

    Frame dst = untouched_bgr();
    const int linesize = dst->linesize[0];
    {
        CoutCapture out;
        EXPECT_FALSE(scaler->scale(src, dst));
        EXPECT_EQ(out.lines().size(), 1u);
        EXPECT_EQ(out.count("[media][error]"), 1u);
        EXPECT_EQ(out.count("]: src format error"), 1u) << out.text();
    }
    EXPECT_TRUE(all_untouched(*dst));
    EXPECT_EQ(dst->linesize[0], linesize);

    std::vector<uint8_t> buffer = raw_buffer();
    uint8_t* raw = buffer.data();
    {
        CoutCapture out;
        EXPECT_FALSE(scaler->scale(src, raw));
        EXPECT_EQ(out.text(), "");  // the only silent source check
    }
    EXPECT_TRUE(all_untouched(buffer));

    Image image = std::make_shared<cv::Mat>(2, 2, CV_8UC3, cv::Scalar::all(7));
    cv::Mat* before = image.get();
    {
        CoutCapture out;
        EXPECT_FALSE(scaler->scale(src, image));
        EXPECT_EQ(out.count("]: src format error"), 1u) << out.text();
    }
    EXPECT_EQ(image.get(), before);
    EXPECT_EQ(image->at<cv::Vec3b>(1, 1), cv::Vec3b(7, 7, 7));
}

INSTANTIATE_TEST_SUITE_P(Fields, Scaler_SourceMismatch,
                         ::testing::Values(Mismatch{"Format", kW, kH, AV_PIX_FMT_YUV422P},
                                           Mismatch{"Width", kW + 2, kH, AV_PIX_FMT_YUV420P},
                                           Mismatch{"Height", kW, kH - 2, AV_PIX_FMT_YUV420P}),
                         [](const ::testing::TestParamInfo<Mismatch>& p) { return std::string(p.param.name); });

class Scaler_DestinationMismatch : public ::testing::TestWithParam<Mismatch> {};

TEST_P(Scaler_DestinationMismatch, RefusedAndFrameUnchanged) {
    const Mismatch& m = GetParam();
    auto scaler = yuv_to_bgr();
    Frame dst = untouched_bgr(m.width, m.height, m.format);
    const int linesize = dst->linesize[0];
    dst->pts = 5;
    {
        CoutCapture out;
        EXPECT_FALSE(scaler->scale(red_yuv420p(), dst));
        EXPECT_EQ(out.count("]: dst format error"), 1u) << out.text();
        EXPECT_EQ(out.lines().size(), 1u);
    }
    std::vector<uint8_t> source(static_cast<std::size_t>(kW) * kH * 3 / 2, 100);
    uint8_t* raw = source.data();
    {
        CoutCapture out;
        EXPECT_FALSE(scaler->scale(raw, dst));
        EXPECT_EQ(out.count("]: dst format error"), 1u) << out.text();
        EXPECT_EQ(out.lines().size(), 1u);
    }
    EXPECT_TRUE(all_untouched(*dst));
    EXPECT_EQ(dst->linesize[0], linesize);
    EXPECT_EQ(dst->pts, 5);
}

INSTANTIATE_TEST_SUITE_P(Fields, Scaler_DestinationMismatch,
                         ::testing::Values(Mismatch{"Format", kW, kH, AV_PIX_FMT_RGB24},
                                           Mismatch{"Width", kW - 2, kH, AV_PIX_FMT_BGR24},
                                           Mismatch{"Height", kW, kH + 2, AV_PIX_FMT_BGR24}),
                         [](const ::testing::TestParamInfo<Mismatch>& p) { return std::string(p.param.name); });

TEST(Scaler_PaddedBgrDestination, RowsComeBackPacked) {
    constexpr int w = 50;
    constexpr int h = 20;
    auto scaler = Scaler::createShare(w, h, AV_PIX_FMT_YUV420P, w, h, AV_PIX_FMT_BGR24);
    Frame dst = untouched_bgr(w, h);
    ASSERT_GT(dst->linesize[0], w * 3);
    ASSERT_TRUE(scaler->scale(red_yuv420p(w, h), dst));
    EXPECT_EQ(dst->linesize[0], w * 3);
    EXPECT_LE(media::test::max_bgr_error(dst->data[0], w, h, w * 3, kRed), kTolerance);
}

TEST(Scaler_FrameToFrame, CopiesTimestampsOnly) {
    auto scaler = yuv_to_bgr();
    Frame src = red_yuv420p();
    src->pts = 1234;
    src->pkt_dts = 1200;
    src->sample_aspect_ratio = AVRational{1, 1};
    src->color_range = AVCOL_RANGE_MPEG;
    src->repeat_pict = 1;
    src->crop_top = 4;
    Frame dst = untouched_bgr();
    dst->pts = 1;
    dst->pkt_dts = 2;
    dst->sample_aspect_ratio = AVRational{3, 4};
    dst->color_range = AVCOL_RANGE_UNSPECIFIED;
    dst->repeat_pict = 0;
    dst->crop_top = 0;
    ASSERT_TRUE(scaler->scale(src, dst));
    EXPECT_EQ(dst->pts, 1234);
    EXPECT_EQ(dst->pkt_dts, 1200);
    EXPECT_EQ(dst->sample_aspect_ratio.num, 3);
    EXPECT_EQ(dst->sample_aspect_ratio.den, 4);
    EXPECT_EQ(dst->color_range, AVCOL_RANGE_UNSPECIFIED);
    EXPECT_EQ(dst->repeat_pict, 0);
    EXPECT_EQ(dst->crop_top, 0u);
    EXPECT_EQ(dst->width, kW);
    EXPECT_EQ(dst->format, AV_PIX_FMT_BGR24);
}

TEST(Scaler_BufferToFrame, TimestampsAreThoseOfAFreshFrame) {
    auto scaler = yuv_to_bgr();
    std::vector<uint8_t> source(static_cast<std::size_t>(av_image_get_buffer_size(AV_PIX_FMT_YUV420P, kW, kH, 1)));
    uint8_t* raw = source.data();
    Frame dst = untouched_bgr();
    dst->pts = 99;
    dst->pkt_dts = 98;
    ASSERT_TRUE(scaler->scale(raw, dst));
    EXPECT_EQ(dst->pts, AV_NOPTS_VALUE);
    EXPECT_EQ(dst->pkt_dts, AV_NOPTS_VALUE);
}

// Packed BGR pixels of one colour, as a raw source buffer or a frame's picture.
std::vector<uint8_t> bgr_pixels(int width, int height, Rgb rgb) {
    std::vector<uint8_t> pixels(static_cast<std::size_t>(width) * height * 3);
    for (std::size_t i = 0; i < pixels.size(); i += 3) {
        pixels[i] = static_cast<uint8_t>(rgb.b);
        pixels[i + 1] = static_cast<uint8_t>(rgb.g);
        pixels[i + 2] = static_cast<uint8_t>(rgb.r);
    }
    return pixels;
}

// Y, then U, then V, each packed without gaps, all within 2 of the sample values.
void expect_planar_yuv420p(const std::vector<uint8_t>& buffer, int width, int height, Yuv yuv) {
    const std::size_t luma = static_cast<std::size_t>(width) * height;
    const std::size_t chroma = static_cast<std::size_t>((width + 1) / 2) * ((height + 1) / 2);
    auto max_error = [&](std::size_t from, std::size_t count, int value) {
        int worst = 0;
        for (std::size_t i = from; i < from + count; ++i) worst = std::max(worst, std::abs(buffer[i] - value));
        return worst;
    };
    EXPECT_LE(max_error(0, luma, yuv.y), 2);
    EXPECT_LE(max_error(luma, chroma, yuv.u), 2);
    EXPECT_LE(max_error(luma + chroma, chroma, yuv.v), 2);
    EXPECT_TRUE(all_untouched(buffer, luma + 2 * chroma)) << "bytes written after the planes";
}

TEST(Scaler_PlanarBufferOutput, PlanesBackToBack) {
    auto scaler = Scaler::createShare(kW, kH, AV_PIX_FMT_BGR24, kW, kH, AV_PIX_FMT_YUV420P);
    const Rgb red{255, 0, 0};
    const Yuv expected = media::test::encode(red, media::test::kBt601, false, 8);

    Frame src = media::test::make_exact_bgr_frame(kW, kH, 0);
    const std::vector<uint8_t> pixels = bgr_pixels(kW, kH, red);
    std::memcpy(src->data[0], pixels.data(), pixels.size());
    std::vector<uint8_t> from_frame = raw_buffer();
    uint8_t* out = from_frame.data();
    ASSERT_TRUE(scaler->scale(src, out));
    expect_planar_yuv420p(from_frame, kW, kH, expected);

    std::vector<uint8_t> source = pixels;
    uint8_t* in = source.data();
    std::vector<uint8_t> from_buffer = raw_buffer();
    out = from_buffer.data();
    ASSERT_TRUE(scaler->scale(in, out));
    expect_planar_yuv420p(from_buffer, kW, kH, expected);
}

TEST(Scaler_LargeBufferFormat, RefusedWithLineAndBufferUntouched) {
    for (const AVPixelFormat format : {AV_PIX_FMT_BGRA, AV_PIX_FMT_RGBA, AV_PIX_FMT_RGB48LE}) {
        auto scaler = Scaler::createShare(kW, kH, AV_PIX_FMT_YUV420P, kW, kH, format);
        std::vector<uint8_t> buffer = raw_buffer();
        uint8_t* out = buffer.data();
        {
            CoutCapture log;
            EXPECT_FALSE(scaler->scale(red_yuv420p(), out));
            EXPECT_EQ(log.count("[media][error]"), 1u) << log.text();
        }
        std::vector<uint8_t> source(static_cast<std::size_t>(av_image_get_buffer_size(AV_PIX_FMT_YUV420P, kW, kH, 1)));
        uint8_t* in = source.data();
        {
            CoutCapture log;
            EXPECT_FALSE(scaler->scale(in, out));
            EXPECT_EQ(log.count("[media][error]"), 1u) << log.text();
        }
        EXPECT_TRUE(all_untouched(buffer)) << av_get_pix_fmt_name(format);
    }
}

class Scaler_NoConversion : public ::testing::TestWithParam<AVPixelFormat> {};

// libswscale has no context for these source formats; every libswscale path must refuse.
TEST_P(Scaler_NoConversion, EveryBufferPathRefusesWithLine) {
    const AVPixelFormat format = GetParam();
    auto scaler = Scaler::createShare(kW, kH, format, kW, kH, AV_PIX_FMT_BGR24);
    Frame src = media::ffmpeg::make_frame();
    src->width = kW;
    src->height = kH;
    src->format = format;
    std::vector<uint8_t> source(static_cast<std::size_t>(kW) * kH * 4, 1);
    uint8_t* in = source.data();
    std::vector<uint8_t> buffer = raw_buffer();
    uint8_t* out = buffer.data();
    Frame dst = untouched_bgr();

    CoutCapture log;
    EXPECT_FALSE(scaler->scale(src, dst));
    EXPECT_EQ(log.lines().size(), 1u) << log.text();
    EXPECT_FALSE(scaler->scale(src, out));
    EXPECT_EQ(log.lines().size(), 2u) << log.text();
    EXPECT_FALSE(scaler->scale(in, dst));
    EXPECT_EQ(log.lines().size(), 3u) << log.text();
    EXPECT_FALSE(scaler->scale(in, out));
    EXPECT_EQ(log.lines().size(), 4u) << log.text();
    EXPECT_EQ(log.count("[media][error]"), 4u);
    EXPECT_TRUE(all_untouched(buffer));
    EXPECT_TRUE(all_untouched(*dst));
}

INSTANTIATE_TEST_SUITE_P(Formats, Scaler_NoConversion, ::testing::Values(AV_PIX_FMT_NONE, AV_PIX_FMT_VAAPI),
                         [](const ::testing::TestParamInfo<AVPixelFormat>& p) {
                             return std::string(p.param == AV_PIX_FMT_NONE ? "None" : "Vaapi");
                         });

TEST(Scaler_FrameToImage, EqualSizesGiveBgrImageOfSourceSize) {
    // The destination format plays no part in this conversion.
    for (const AVPixelFormat dst_format : {AV_PIX_FMT_BGR24, AV_PIX_FMT_YUV420P}) {
        auto scaler = Scaler::createShare(kW, kH, AV_PIX_FMT_YUV420P, kW, kH, dst_format);
        Image image = std::make_shared<cv::Mat>(4, 4, CV_8UC1);
        const cv::Mat* before = image.get();
        CoutCapture log;
        ASSERT_TRUE(scaler->scale(red_yuv420p(), image));
        EXPECT_EQ(log.text(), "");
        ASSERT_TRUE(image);
        EXPECT_NE(image.get(), before);
        EXPECT_EQ(image->type(), CV_8UC3);
        EXPECT_EQ(image->rows, kH);
        EXPECT_EQ(image->cols, kW);
        EXPECT_LE(media::test::max_bgr_error(*image, kRed), kTolerance);
    }
}

TEST(Scaler_FrameToImage, OtherDestinationSizeLeavesZeroImageOfSourceSize) {
    auto scaler = Scaler::createShare(kW, kH, AV_PIX_FMT_YUV420P, kW / 2, kH / 2, AV_PIX_FMT_BGR24);
    Image image;
    CoutCapture log;
    EXPECT_FALSE(scaler->scale(red_yuv420p(), image));
    EXPECT_EQ(log.count("]: dst format error"), 1u) << log.text();
    ASSERT_TRUE(image);
    EXPECT_EQ(image->type(), CV_8UC3);
    EXPECT_EQ(image->rows, kH);
    EXPECT_EQ(image->cols, kW);
    EXPECT_EQ(cv::countNonZero(image->reshape(1)), 0);
}

// A hardware frame, a frame of no format, and a frame that never got picture buffers.
TEST(Scaler_FrameToImage, UnrepresentableFrameKeepsCallerImage) {
    for (const AVPixelFormat format : {AV_PIX_FMT_VAAPI, AV_PIX_FMT_NONE, AV_PIX_FMT_YUV420P}) {
        auto scaler = Scaler::createShare(kW, kH, format, kW, kH, AV_PIX_FMT_BGR24);
        Frame src = media::ffmpeg::make_frame();
        src->width = kW;
        src->height = kH;
        src->format = format;
        Image image = std::make_shared<cv::Mat>(3, 3, CV_8UC3, cv::Scalar::all(9));
        const cv::Mat* before = image.get();
        CoutCapture log;
        EXPECT_FALSE(scaler->scale(src, image));
        EXPECT_EQ(log.count("]: yuv mat is empty"), 1u) << log.text();
        EXPECT_EQ(log.lines().size(), 1u);
        EXPECT_EQ(image.get(), before);
        EXPECT_EQ(image->rows, 3);
    }
}

TEST(Scaler_ImageToFrame, ResizesImageInPlaceAndReturnsNewFrame) {
    auto scaler = Scaler::createShare(kW, kH, AV_PIX_FMT_YUV420P, kW, kH, AV_PIX_FMT_BGR24);
    const Rgb red{255, 0, 0};
    Image image = std::make_shared<cv::Mat>(80, 100, CV_8UC3, cv::Scalar(red.b, red.g, red.r));
    const cv::Mat* image_before = image.get();
    Frame frame = red_yuv420p(8, 8);
    const AVFrame* frame_before = frame.get();
    CoutCapture log;
    ASSERT_TRUE(scaler->scale(image, frame));
    EXPECT_EQ(log.text(), "");
    EXPECT_EQ(image.get(), image_before);
    EXPECT_EQ(image->cols, kW);
    EXPECT_EQ(image->rows, kH);
    ASSERT_TRUE(frame);
    EXPECT_NE(frame.get(), frame_before);
    EXPECT_EQ(frame->width, kW);
    EXPECT_EQ(frame->height, kH);
    ASSERT_NE(frame->data[0], nullptr);
    // The picture arrives in the frame, whatever layout the frame has: converting it back gives red.
    const auto format = static_cast<AVPixelFormat>(frame->format);
    Image back;
    ASSERT_TRUE(Scaler::createShare(kW, kH, format, kW, kH, AV_PIX_FMT_BGR24)->scale(frame, back));
    EXPECT_LE(media::test::max_bgr_error(*back, red), 2 * kTolerance);
}

TEST(Scaler_ImageToFrame, EmptyOrWrongImageRefusedWithoutThrowing) {
    auto scaler = yuv_to_bgr();
    for (Image image : {Image{}, std::make_shared<cv::Mat>(), std::make_shared<cv::Mat>(8, 8, CV_8UC1)}) {
        Frame frame = red_yuv420p(8, 8);
        const AVFrame* before = frame.get();
        CoutCapture log;
        bool result = true;
        EXPECT_NO_THROW(result = scaler->scale(image, frame));
        EXPECT_FALSE(result);
        EXPECT_EQ(log.count("[media][error]"), 1u) << log.text();
        EXPECT_EQ(frame.get(), before);
    }
}

}  // namespace
