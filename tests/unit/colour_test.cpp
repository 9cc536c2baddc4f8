// Pictures to BGR images through the reader's converter: colours against values computed
// here from the defining equations (catches swapped chroma planes or R/B channels, a wrong
// range and a wrong matrix), and which pictures it refuses.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "capture.h"
#include "media/image/bgr_converter.h"
#include "picture.h"

namespace {

using media::image::BgrConverter;
using media::test::Matrix;
using media::test::Rgb;
using media::test::Yuv;
using Frame = std::shared_ptr<AVFrame>;
using Image = std::shared_ptr<cv::Mat>;

constexpr int kW = 48;
constexpr int kH = 32;
using media::test::kTolerance;

const std::vector<Rgb> kColours = {{255, 0, 0},   {0, 255, 0},     {0, 0, 255},    {255, 255, 255},
                                   {0, 0, 0},     {128, 128, 128}, {230, 120, 40}, {40, 160, 170}};

struct Size {
    int width;
    int height;
};

struct Description {
    AVPixelFormat format;
    AVColorRange range;
    AVColorSpace space;
};

bool is_full_range(const Description& d) {
    return d.range == AVCOL_RANGE_JPEG || d.format == AV_PIX_FMT_YUVJ420P || d.format == AV_PIX_FMT_YUVJ422P;
}
Matrix matrix_of(const Description& d) { return d.space == AVCOL_SPC_BT709 ? media::test::kBt709 : media::test::kBt601; }
int bits_of(const Description& d) { return av_pix_fmt_desc_get(d.format)->comp[0].depth; }

// The picture of one colour in the described layout, and the BGR it must come back as.
struct Sample {
    Frame frame;
    Rgb expected;
};

Sample make_sample(const Description& d, Rgb colour, int width = kW, int height = kH) {
    const Yuv yuv = media::test::encode(colour, matrix_of(d), is_full_range(d), bits_of(d));
    Frame frame = media::test::make_picture(width, height, d.format);
    frame->color_range = d.range;
    frame->colorspace = d.space;
    media::test::fill_yuv(*frame, yuv);
    return {frame, media::test::decode(yuv, matrix_of(d), is_full_range(d), bits_of(d))};
}

int conversion_error(BgrConverter& converter, const Sample& sample) {
    const AVFrame& f = *sample.frame;
    Image image;
    if (!converter.convert(sample.frame, image)) return 1000;
    if (image->rows != f.height || image->cols != f.width) return 1001;
    return media::test::max_bgr_error(*image, sample.expected);
}

std::string name_of(const Description& d) {
    std::string name = av_get_pix_fmt_name(d.format);
    name += d.range == AVCOL_RANGE_JPEG ? "_full" : d.range == AVCOL_RANGE_MPEG ? "_limited" : "_unset";
    name += d.space == AVCOL_SPC_BT709 ? "_bt709"
            : d.space == AVCOL_SPC_SMPTE170M ? "_smpte170m"
            : d.space == AVCOL_SPC_BT470BG ? "_bt470bg"
                                            : "_unspecified";
    return name;
}

class Colour_Conversion : public ::testing::TestWithParam<Description> {};

TEST_P(Colour_Conversion, EveryPixelMatchesEquations) {
    BgrConverter converter;
    for (const Rgb colour : kColours) {
        const Sample sample = make_sample(GetParam(), colour);
        EXPECT_LE(conversion_error(converter, sample), kTolerance)
            << "colour " << media::test::to_text(colour) << ", expected " << media::test::to_text(sample.expected);
    }
}

std::vector<Description> all_descriptions() {
    std::vector<Description> result;
    const AVColorSpace spaces[] = {AVCOL_SPC_SMPTE170M, AVCOL_SPC_BT470BG, AVCOL_SPC_BT709};
    for (const AVPixelFormat format : {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV422P, AV_PIX_FMT_YUV444P, AV_PIX_FMT_NV12,
                                       AV_PIX_FMT_YUV420P10LE}) {
        for (const AVColorRange range : {AVCOL_RANGE_MPEG, AVCOL_RANGE_JPEG}) {
            for (const AVColorSpace space : spaces) result.push_back({format, range, space});
        }
        // Unlabelled pictures are taken as limited-range BT.601.
        result.push_back({format, AVCOL_RANGE_UNSPECIFIED, AVCOL_SPC_UNSPECIFIED});
    }
    // The "J" formats are full range by definition, labelled or not.
    for (const AVPixelFormat format : {AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUVJ422P}) {
        for (const AVColorRange range : {AVCOL_RANGE_JPEG, AVCOL_RANGE_UNSPECIFIED}) {
            for (const AVColorSpace space : spaces) result.push_back({format, range, space});
        }
    }
    return result;
}

INSTANTIATE_TEST_SUITE_P(Layouts, Colour_Conversion, ::testing::ValuesIn(all_descriptions()),
                         [](const ::testing::TestParamInfo<Description>& p) { return name_of(p.param); });

// Pictures as a camera gives them, every pixel against the equations, through each
// converter the program picks: libswscale's fast and accurate paths and OpenCV's, chosen
// by format, range, matrix and whether the width is a multiple of 16.
TEST(Colour_CameraPicture, EveryPixelWithinTwoOfTheEquations) {
    // A full-width strip, and a width that leaves the SIMD loop a remainder.
    const Size sizes[] = {{1920, 72}, {48, 34}};
    for (const AVPixelFormat format : {AV_PIX_FMT_YUV420P, AV_PIX_FMT_NV12}) {
        for (const AVColorRange range : {AVCOL_RANGE_MPEG, AVCOL_RANGE_JPEG}) {
            for (const AVColorSpace space : {AVCOL_SPC_SMPTE170M, AVCOL_SPC_BT709}) {
                for (const Size size : sizes) {
                    const Description d{format, range, space};
                    const std::string name =
                        name_of(d) + "_" + std::to_string(size.width) + "x" + std::to_string(size.height);
                    SCOPED_TRACE(name);
                    const Frame frame = media::test::camera_picture(size.width, size.height, format, range, space);
                    Image image;
                    ASSERT_TRUE(BgrConverter().convert(frame, image));
                    double worst[3] = {0, 0, 0};  // R, G, B
                    for (int y = 0; y < size.height; ++y) {
                        const auto* row = image->ptr<uint8_t>(y);
                        for (int x = 0; x < size.width; ++x) {
                            const auto exact = media::test::exact_rgb(media::test::samples_at(*frame, x, y),
                                                                      matrix_of(d), is_full_range(d), 8);
                            for (int c = 0; c < 3; ++c) {
                                const double error =
                                    std::abs(row[3 * x + 2 - c] - std::min(std::max(exact[c], 0.0), 255.0));
                                worst[c] = std::max(worst[c], error);
                            }
                        }
                    }
                    ::testing::Test::RecordProperty(name, std::to_string(worst[0]) + " " + std::to_string(worst[1]) +
                                                              " " + std::to_string(worst[2]));
                    EXPECT_LE(worst[0], 2.0) << "R";
                    EXPECT_LE(worst[1], 2.0) << "G";
                    EXPECT_LE(worst[2], 2.0) << "B";
                }
            }
        }
    }
}

// One converter serves a stream's pictures; a change of range or matrix must not be missed,
// whether libswscale (4:2:2) or the 4:2:0 path converts.
TEST(Colour_DescriptionChange, EachPictureUsesItsOwnRangeAndMatrix) {
    const Rgb orange{230, 120, 40};
    BgrConverter converter;
    for (const auto& [format, full] : {std::pair{AV_PIX_FMT_YUV422P, AV_PIX_FMT_YUVJ422P},
                                       std::pair{AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUVJ420P}}) {
        const Description sequence[] = {
            {format, AVCOL_RANGE_MPEG, AVCOL_SPC_BT709},    {format, AVCOL_RANGE_MPEG, AVCOL_SPC_SMPTE170M},
            {format, AVCOL_RANGE_JPEG, AVCOL_SPC_SMPTE170M}, {format, AVCOL_RANGE_MPEG, AVCOL_SPC_SMPTE170M},
            {format, AVCOL_RANGE_JPEG, AVCOL_SPC_BT709},    {full, AVCOL_RANGE_UNSPECIFIED, AVCOL_SPC_BT709},
            {format, AVCOL_RANGE_MPEG, AVCOL_SPC_BT709},
        };
        for (const Description& d : sequence) {
            EXPECT_LE(conversion_error(converter, make_sample(d, orange)), kTolerance) << name_of(d);
        }
    }
}

TEST(Colour_SizeChange, EachPictureConvertedAtItsOwnSize) {
    BgrConverter converter;
    for (const AVPixelFormat format : {AV_PIX_FMT_YUV422P, AV_PIX_FMT_YUV420P}) {
        const Description d{format, AVCOL_RANGE_MPEG, AVCOL_SPC_SMPTE170M};
        for (const Size size : {Size{64, 32}, Size{32, 16}, Size{64, 32}, Size{66, 34}}) {
            EXPECT_LE(conversion_error(converter, make_sample(d, Rgb{0, 0, 255}, size.width, size.height)),
                      kTolerance)
                << name_of(d) << " " << size.width << "x" << size.height;
        }
    }
}

// Quadrants of different colours stay where they are: no mirroring, no flipping.
TEST(Colour_Layout, QuadrantsKeepTheirPlace) {
    constexpr int w = 64;
    constexpr int h = 32;
    const Description d{AV_PIX_FMT_YUV420P, AVCOL_RANGE_MPEG, AVCOL_SPC_SMPTE170M};
    const Rgb colours[2][2] = {{{255, 0, 0}, {0, 255, 0}}, {{0, 0, 255}, {255, 255, 255}}};
    Frame frame = media::test::make_picture(w, h, d.format);
    for (int qy = 0; qy < 2; ++qy) {
        for (int qx = 0; qx < 2; ++qx) {
            const Yuv yuv = media::test::encode(colours[qy][qx], matrix_of(d), false, 8);
            media::test::fill_yuv_rect(*frame, yuv, qx * w / 2, (qx + 1) * w / 2, qy * h / 2, (qy + 1) * h / 2);
        }
    }
    Image image;
    ASSERT_TRUE(BgrConverter().convert(frame, image));
    constexpr int margin = 4;  // chroma interpolation blurs the borders
    for (int qy = 0; qy < 2; ++qy) {
        for (int qx = 0; qx < 2; ++qx) {
            const cv::Rect inner(qx * w / 2 + margin, qy * h / 2 + margin, w / 2 - 2 * margin, h / 2 - 2 * margin);
            const cv::Mat region = (*image)(inner).clone();
            const Yuv yuv = media::test::encode(colours[qy][qx], matrix_of(d), false, 8);
            EXPECT_LE(media::test::max_bgr_error(region, media::test::decode(yuv, matrix_of(d), false, 8)), kTolerance)
                << "quadrant " << qx << "," << qy;
        }
    }
}

// The reader logs a changed picture only between two pictures of one connection.
TEST(BgrConverter, PictureChangesInSizeOrFormatAfterAConvertedPicture) {
    BgrConverter converter;
    const Frame first = media::test::make_picture(kW, kH, AV_PIX_FMT_YUV420P);
    EXPECT_FALSE(converter.changes_picture(*first));
    Image image;
    ASSERT_TRUE(converter.convert(first, image));
    EXPECT_FALSE(converter.changes_picture(*first));
    EXPECT_TRUE(converter.changes_picture(*media::test::make_picture(kW + 2, kH, AV_PIX_FMT_YUV420P)));
    EXPECT_TRUE(converter.changes_picture(*media::test::make_picture(kW, kH + 2, AV_PIX_FMT_YUV420P)));
    EXPECT_TRUE(converter.changes_picture(*media::test::make_picture(kW, kH, AV_PIX_FMT_NV12)));
    converter.reset();
    EXPECT_FALSE(converter.changes_picture(*media::test::make_picture(kW + 2, kH, AV_PIX_FMT_YUV420P)));
}

// Frames a decoder could hand over with buffers in memory but no picture in them to read.
TEST(BgrConverter, HardwareOrUnknownFormatRefusedImageKept) {
    for (const AVPixelFormat format : {AV_PIX_FMT_VAAPI, AV_PIX_FMT_CUDA, AV_PIX_FMT_NONE}) {
        Frame frame = media::test::make_picture(kW, kH, AV_PIX_FMT_YUV420P);
        frame->format = format;
        Image image = std::make_shared<cv::Mat>(3, 3, CV_8UC3, cv::Scalar::all(9));
        const cv::Mat* before = image.get();
        media::test::CoutCapture log;
        EXPECT_FALSE(BgrConverter().convert(frame, image));
        EXPECT_EQ(log.count("[media][error]"), 1u) << log.text();
        EXPECT_EQ(image.get(), before);
    }
}

}  // namespace
