// The program's JPEG encoder must give exactly what cv::imwrite would write, for any
// picture size, and stay usable after refusing an image or a libjpeg failure. Encoded from
// a decoded picture's own planes, it must give the picture its BGR image shows. Its file
// writer must be safe in a directory that others can write to.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "jpeg_encoder.h"
#include "jpeg_file.h"
#include "media/ffmpeg/av.h"
#include "media/ffmpeg/scaler.h"
#include "picture.h"

namespace {

std::vector<unsigned char> opencv_bytes(const cv::Mat& image) {
    std::vector<unsigned char> bytes;
    EXPECT_TRUE(cv::imencode(".jpg", image, bytes));
    return bytes;
}

std::vector<unsigned char> encoder_bytes(JpegEncoder& encoder, const cv::Mat& image) {
    std::string error;
    EXPECT_TRUE(encoder.encode(image, error)) << error;
    return {encoder.data(), encoder.data() + encoder.size()};
}

// Smooth gradients with a sharp edge: a picture that compresses like a camera's.
cv::Mat gradient(int width, int height, int type) {
    cv::Mat image(height, width, type);
    for (int y = 0; y < height; ++y) {
        auto* row = image.ptr<unsigned char>(y);
        for (int x = 0; x < width * image.channels(); ++x) {
            row[x] = static_cast<unsigned char>((x * 7 + y * 3 + (x > width ? 90 : 0)) & 0xff);
        }
    }
    return image;
}

cv::Mat noise(int width, int height, int type) {
    cv::Mat image(height, width, type);
    cv::RNG rng(12345);
    rng.fill(image, cv::RNG::UNIFORM, 0, 256);
    return image;
}

using media::test::camera_picture;

// The BGR image the program keeps of the picture.
cv::Mat program_image(const std::shared_ptr<AVFrame>& frame) {
    auto scaler = media::ffmpeg::Scaler::createShare(frame->width, frame->height,
                                                     static_cast<AVPixelFormat>(frame->format), frame->width,
                                                     frame->height, AV_PIX_FMT_BGR24);
    std::shared_ptr<cv::Mat> image;
    EXPECT_TRUE(scaler->scale(frame, image));
    return image ? *image : cv::Mat();
}

// How close the picture encoded from its planes comes to the image the program keeps,
// encoded; both decoded.
double planes_psnr(JpegEncoder& encoder, const std::shared_ptr<AVFrame>& frame) {
    std::string error;
    EXPECT_TRUE(encoder.encode(*frame, error)) << error;
    const cv::Mat from_planes =
        cv::imdecode(std::vector<unsigned char>(encoder.data(), encoder.data() + encoder.size()), cv::IMREAD_COLOR);
    const cv::Mat from_image = cv::imdecode(encoder_bytes(encoder, program_image(frame)), cv::IMREAD_COLOR);
    EXPECT_EQ(from_planes.size(), cv::Size(frame->width, frame->height));
    return from_planes.size() == from_image.size() ? cv::PSNR(from_planes, from_image) : 0.0;
}

std::vector<unsigned char> file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

TEST(JpegEncoder, GivesTheBytesOfOpenCvsDefaultJpegAtEverySize) {
    JpegEncoder encoder;  // one encoder for all, as the program keeps one
    const cv::Size sizes[] = {{1, 1}, {17, 9}, {104, 58}, {640, 360}, {1918, 1080}, {1921, 1081}};
    for (const cv::Size size : sizes) {
        for (const int type : {CV_8UC3, CV_8UC1}) {
            SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height) + " channels " +
                         std::to_string(CV_MAT_CN(type)));
            const cv::Mat image = gradient(size.width, size.height, type);
            EXPECT_EQ(encoder_bytes(encoder, image), opencv_bytes(image));
        }
    }
}

TEST(JpegEncoder, ReadsImagesThatAreViewsIntoLargerOnes) {
    JpegEncoder encoder;
    const cv::Mat whole = gradient(300, 200, CV_8UC3);
    const cv::Mat view = whole(cv::Rect(13, 7, 201, 99));  // rows are not contiguous
    EXPECT_EQ(encoder_bytes(encoder, view), opencv_bytes(view));
}

TEST(JpegEncoder, GrowsItsBufferForPicturesLargerThanItsFirstGuess) {
    JpegEncoder encoder;
    // Noise at quality 95 takes well over a byte per pixel, the buffer's starting size.
    const cv::Mat image = noise(256, 256, CV_8UC3);
    const std::vector<unsigned char> bytes = encoder_bytes(encoder, image);
    EXPECT_GT(bytes.size(), std::size_t{256} * 256 + 4096);
    EXPECT_EQ(bytes, opencv_bytes(image));
    const cv::Mat small = gradient(64, 48, CV_8UC3);
    EXPECT_EQ(encoder_bytes(encoder, small), opencv_bytes(small));
}

TEST(JpegEncoder, RefusesImagesItCannotWriteAndKeepsWorking) {
    JpegEncoder encoder;
    const cv::Mat wrong[] = {cv::Mat(), cv::Mat(8, 8, CV_16UC3, cv::Scalar::all(1)),
                             cv::Mat(8, 8, CV_8UC4, cv::Scalar::all(1)), cv::Mat(8, 8, CV_32FC1, cv::Scalar::all(1))};
    for (const cv::Mat& image : wrong) {
        std::string error;
        EXPECT_FALSE(encoder.encode(image, error));
        EXPECT_EQ(error, "not an 8-bit BGR or grey image");
        EXPECT_EQ(encoder.size(), 0u);
    }
    const cv::Mat good = gradient(33, 21, CV_8UC3);
    EXPECT_EQ(encoder_bytes(encoder, good), opencv_bytes(good));
}

TEST(JpegEncoder, ReportsLibjpegsOwnFailureAndRecovers) {
    JpegEncoder encoder;
    // Wider than JPEG allows: libjpeg fails inside jpeg_start_compress.
    const cv::Mat too_wide(1, 65501, CV_8UC1, cv::Scalar::all(128));
    std::string error;
    EXPECT_FALSE(encoder.encode(too_wide, error));
    EXPECT_NE(error.find("65500"), std::string::npos) << error;
    EXPECT_EQ(encoder.size(), 0u);
    const cv::Mat good = gradient(40, 30, CV_8UC3);
    EXPECT_EQ(encoder_bytes(encoder, good), opencv_bytes(good));
}

struct Layout {
    AVPixelFormat format;
    AVColorRange range;
    AVColorSpace space = AVCOL_SPC_UNSPECIFIED;
};

// BT.709 pictures, whose colours the encoder re-expresses, against BGR images the program
// converts with BT.709's matrix.
const Layout kPlaneLayouts[] = {{AV_PIX_FMT_YUV420P, AVCOL_RANGE_MPEG},
                                {AV_PIX_FMT_YUV420P, AVCOL_RANGE_JPEG},
                                {AV_PIX_FMT_YUVJ420P, AVCOL_RANGE_UNSPECIFIED},
                                {AV_PIX_FMT_NV12, AVCOL_RANGE_UNSPECIFIED},
                                {AV_PIX_FMT_NV12, AVCOL_RANGE_JPEG},
                                {AV_PIX_FMT_YUV420P, AVCOL_RANGE_MPEG, AVCOL_SPC_BT709},
                                {AV_PIX_FMT_YUV420P, AVCOL_RANGE_JPEG, AVCOL_SPC_BT709},
                                {AV_PIX_FMT_NV12, AVCOL_RANGE_MPEG, AVCOL_SPC_BT709},
                                {AV_PIX_FMT_NV12, AVCOL_RANGE_JPEG, AVCOL_SPC_BT709}};

// Heights that end part-way through the last row of 16 luma and 8 chroma rows.
const cv::Size kPlaneSizes[] = {{1920, 1080}, {48, 34}};

std::string name_of(const Layout& layout, cv::Size size) {
    return std::string(av_get_pix_fmt_name(layout.format)) + "_range" + std::to_string(layout.range) + "_matrix" +
           std::to_string(layout.space) + "_" + std::to_string(size.width) + "x" + std::to_string(size.height);
}

TEST(JpegEncoder, EncodesDecodedPlanesAsTheImageTheProgramKeepsShowsThem) {
    JpegEncoder encoder;
    for (const Layout& layout : kPlaneLayouts) {
        for (const cv::Size size : kPlaneSizes) {
            SCOPED_TRACE(name_of(layout, size));
            const auto frame = camera_picture(size.width, size.height, layout.format, layout.range, layout.space);
            ASSERT_TRUE(JpegEncoder::takes_planes_of(*frame));
            EXPECT_GT(planes_psnr(encoder, frame), 40.0);
        }
    }
}

// Before any compression, every sample handed to libjpeg against JPEG's YCbCr of the
// pixel's colour, computed from the picture's matrix and range.
TEST(JpegEncoder, HandsLibjpegTheColoursOfTheEquations) {
    // A full-width strip is enough here (and quick under emulation): the arithmetic
    // depends on the rows only through where a band ends.
    const cv::Size sizes[] = {{1920, 72}, {48, 34}};
    for (const Layout& layout : kPlaneLayouts) {
        for (const cv::Size size : sizes) {
            const std::string name = name_of(layout, size);
            SCOPED_TRACE(name);
            const auto frame = camera_picture(size.width, size.height, layout.format, layout.range, layout.space);
            cv::Mat planes[3];
            ASSERT_TRUE(JpegEncoder::ycbcr_of(*frame, planes[0], planes[1], planes[2]));
            const bool full = layout.range == AVCOL_RANGE_JPEG || layout.format == AV_PIX_FMT_YUVJ420P;
            const auto matrix = layout.space == AVCOL_SPC_BT709 ? media::test::kBt709 : media::test::kBt601;
            double worst[3] = {0, 0, 0};
            for (int y = 0; y < size.height; ++y) {
                for (int x = 0; x < size.width; ++x) {
                    const auto exact = media::test::jpeg_ycbcr(
                        media::test::exact_rgb(media::test::samples_at(*frame, x, y), matrix, full, 8));
                    // Chroma once per 2x2 block, at its sample.
                    for (int c = 0; c < (x % 2 == 0 && y % 2 == 0 ? 3 : 1); ++c) {
                        const int got = c == 0 ? planes[0].at<uint8_t>(y, x) : planes[c].at<uint8_t>(y / 2, x / 2);
                        worst[c] = std::max(worst[c], std::abs(got - std::min(std::max(exact[c], 0.0), 255.0)));
                    }
                }
            }
            ::testing::Test::RecordProperty(name, std::to_string(worst[0]) + " " + std::to_string(worst[1]) + " " +
                                                      std::to_string(worst[2]));
            EXPECT_LE(worst[0], 2.0) << "Y";
            EXPECT_LE(worst[1], 2.0) << "Cb";
            EXPECT_LE(worst[2], 2.0) << "Cr";
        }
    }
}

// BT.709's primaries and their mixes at full strength, a bar of 16 pixels each: chroma at
// the ends of its range, where the terms of the encoder's sums are largest.
TEST(JpegEncoder, EncodesBt709ColourBarsAsTheImageTheProgramKeepsShowsThem) {
    JpegEncoder encoder;
    for (const AVPixelFormat format : {AV_PIX_FMT_YUV420P, AV_PIX_FMT_NV12}) {
        for (const AVColorRange range : {AVCOL_RANGE_MPEG, AVCOL_RANGE_JPEG}) {
            SCOPED_TRACE(std::string(av_get_pix_fmt_name(format)) + " range " + std::to_string(range));
            const auto frame = camera_picture(128, 32, format, range, AVCOL_SPC_BT709);
            const bool full = range == AVCOL_RANGE_JPEG;
            for (int x = 0; x < 128; ++x) {
                const int bar = x / 16;  // white, yellow, cyan, green, magenta, red, blue, black
                const double r = (bar & 2) == 0, g = bar < 4, b = (bar & 1) == 0;
                const double y = 0.2126 * r + 0.7152 * g + 0.0722 * b;
                const double luma = full ? 255 * y : 16 + 219 * y;
                const double chroma[] = {(b - y) / 1.8556, (r - y) / 1.5748};
                for (int row = 0; row < 32; ++row) frame->data[0][row * frame->linesize[0] + x] = cv::saturate_cast<uint8_t>(luma);
                for (int c = 0; c < 2 && x % 2 == 0; ++c) {
                    const auto sample = cv::saturate_cast<uint8_t>(128 + (full ? 255 : 224) * chroma[c]);
                    for (int row = 0; row < 16; ++row) {
                        if (format == AV_PIX_FMT_NV12) {
                            frame->data[1][row * frame->linesize[1] + x + c] = sample;
                        } else {
                            frame->data[1 + c][row * frame->linesize[1 + c] + x / 2] = sample;
                        }
                    }
                }
            }
            EXPECT_GT(planes_psnr(encoder, frame), 40.0);
        }
    }
}

TEST(JpegFileWriter, WritesFromThePlanesOnlyWhereTheEncoderTakesThem) {
    namespace fs = std::filesystem;
    std::string base = (fs::temp_directory_path() / "jpeg-planes-test.XXXXXX").string();
    ASSERT_NE(mkdtemp(base.data()), nullptr);
    const std::string path = base + "/0.jpg";
    JpegFileWriter writer;
    JpegEncoder encoder;
    std::string error;

    const std::shared_ptr<AVFrame> taken[] = {
        camera_picture(64, 48, AV_PIX_FMT_YUV420P, AVCOL_RANGE_MPEG, AVCOL_SPC_SMPTE170M),
        camera_picture(64, 48, AV_PIX_FMT_YUV420P, AVCOL_RANGE_MPEG, AVCOL_SPC_BT709)};
    for (const auto& frame : taken) {
        ASSERT_TRUE(writer.write(path, *frame, program_image(frame)));
        ASSERT_TRUE(encoder.encode(*frame, error)) << error;
        EXPECT_EQ(file_bytes(path), std::vector<unsigned char>(encoder.data(), encoder.data() + encoder.size()));
    }

    // A matrix the encoder does not re-express, and a width whose rows do not end on a whole
    // block: the BGR image.
    const std::shared_ptr<AVFrame> others[] = {
        camera_picture(64, 48, AV_PIX_FMT_YUV420P, AVCOL_RANGE_MPEG, AVCOL_SPC_BT2020_NCL),
        camera_picture(1000, 48, AV_PIX_FMT_YUV420P, AVCOL_RANGE_MPEG, AVCOL_SPC_BT709)};
    for (const auto& frame : others) {
        EXPECT_FALSE(JpegEncoder::takes_planes_of(*frame));
        const cv::Mat image = program_image(frame);
        ASSERT_TRUE(writer.write(path, *frame, image));
        EXPECT_EQ(file_bytes(path), encoder_bytes(encoder, image));
    }
    fs::remove_all(base);
}

TEST(JpegFileWriter, NeverWritesThroughLinksPlantedUnderItsNames) {
    namespace fs = std::filesystem;
    std::string base = (fs::temp_directory_path() / "jpeg-file-test.XXXXXX").string();
    ASSERT_NE(mkdtemp(base.data()), nullptr);
    const fs::path dir = fs::path(base) / "out", victim = fs::path(base) / "victim";
    fs::create_directory(dir);
    std::ofstream(victim) << "the user's own file";
    // Every name the program writes, and the fixed temporary names it once used.
    for (int i = 0; i < 52; ++i) {
        fs::create_symlink(victim, dir / (std::to_string(i) + ".jpg"));
        fs::create_symlink(victim, dir / ("." + std::to_string(i) + ".jpg.tmp"));
    }
    const cv::Mat image = gradient(64, 48, CV_8UC3);
    const mode_t user_mask = umask(002);  // a group-shared directory's usual mask
    JpegFileWriter writer;
    for (int i = 0; i < 52; ++i) EXPECT_TRUE(writer.write((dir / (std::to_string(i) + ".jpg")).string(), image));
    umask(user_mask);

    EXPECT_EQ(fs::file_size(victim), std::string("the user's own file").size());
    JpegEncoder encoder;
    const std::vector<unsigned char> expected = encoder_bytes(encoder, image);
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name[0] == '.') {  // ours would be a regular file left behind
            EXPECT_TRUE(entry.is_symlink()) << name;
            continue;
        }
        EXPECT_EQ(entry.symlink_status().type(), fs::file_type::regular) << name;
        EXPECT_EQ(entry.symlink_status().permissions(), static_cast<fs::perms>(0664)) << name;
        std::ifstream in(entry.path(), std::ios::binary);
        EXPECT_EQ(std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {}), expected) << name;
    }
    fs::remove_all(base);
}

}  // namespace
