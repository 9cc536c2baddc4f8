#include "image_dir.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

namespace media {
namespace e2e {

namespace {

// A uniform or nearly uniform picture (a blank or grey frame) stays well below this; the
// test sources (moving bars, counters, noise) are far above it.
constexpr double kMinPixelStddev = 12.0;
// Every test source is coloured over most of the picture (bars, gradients). A picture
// decoded against references the decoder invented is grey with a few smeared blocks.
constexpr double kMinColouredShare = 0.25;
constexpr int kColouredSpread = 48;  // between a pixel's strongest and weakest channel

double coloured_share(const cv::Mat& bgr) {
    long coloured = 0;
    for (int y = 0; y < bgr.rows; ++y) {
        const auto* pixel = bgr.ptr<cv::Vec3b>(y);
        for (int x = 0; x < bgr.cols; ++x) {
            const auto [low, high] = std::minmax({pixel[x][0], pixel[x][1], pixel[x][2]});
            coloured += high - low > kColouredSpread ? 1 : 0;
        }
    }
    return static_cast<double>(coloured) / static_cast<double>(bgr.total());
}

std::string join(const std::vector<std::string>& names) {
    std::ostringstream out;
    for (std::size_t i = 0; i < names.size(); ++i) out << (i ? ", " : "") << names[i];
    return out.str();
}

std::vector<unsigned char> read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

::testing::AssertionResult check_picture(const std::string& path, const std::vector<PictureSize>& allowed,
                                         PictureSize& size) {
    const std::vector<unsigned char> bytes = read_bytes(path);
    if (bytes.size() < 4 || bytes[0] != 0xFF || bytes[1] != 0xD8) {
        return ::testing::AssertionFailure() << path << " does not start with a JPEG start marker";
    }
    if (bytes[bytes.size() - 2] != 0xFF || bytes[bytes.size() - 1] != 0xD9) {
        return ::testing::AssertionFailure() << path << " does not end with a JPEG end marker";
    }
    const cv::Mat image = cv::imread(path, cv::IMREAD_COLOR);
    if (image.empty()) return ::testing::AssertionFailure() << path << " does not decode";
    size = PictureSize{image.cols, image.rows};
    if (std::find(allowed.begin(), allowed.end(), size) == allowed.end()) {
        return ::testing::AssertionFailure() << path << " is " << size.width << "x" << size.height;
    }
    cv::Scalar mean;
    cv::Scalar stddev;
    cv::meanStdDev(image.reshape(1), mean, stddev);
    if (stddev[0] <= kMinPixelStddev) {
        return ::testing::AssertionFailure() << path << " looks blank: pixel stddev " << stddev[0];
    }
    if (const double share = coloured_share(image); share < kMinColouredShare) {
        return ::testing::AssertionFailure() << path << " has hardly any colour: " << share * 100 << "% coloured";
    }
    return ::testing::AssertionSuccess();
}

}  // namespace

std::vector<std::string> directory_entries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

::testing::AssertionResult holds_exactly_images(const std::string& dir, int count) {
    std::vector<std::string> expected;
    for (int i = 0; i < count; ++i) expected.push_back(std::to_string(i) + ".jpg");
    std::sort(expected.begin(), expected.end());
    const std::vector<std::string> actual = directory_entries(dir);
    if (actual == expected) return ::testing::AssertionSuccess();

    std::vector<std::string> missing;
    std::vector<std::string> extra;
    std::set_difference(expected.begin(), expected.end(), actual.begin(), actual.end(), std::back_inserter(missing));
    std::set_difference(actual.begin(), actual.end(), expected.begin(), expected.end(), std::back_inserter(extra));
    return ::testing::AssertionFailure() << dir << ": missing [" << join(missing) << "], unexpected ["
                                         << join(extra) << "]";
}

::testing::AssertionResult images_are_pictures(const std::string& dir, int count,
                                               const std::vector<PictureSize>& allowed,
                                               std::vector<PictureSize>* sizes) {
    if (sizes != nullptr) sizes->clear();
    for (int i = 0; i < count; ++i) {
        PictureSize size;
        const auto result = check_picture(dir + "/" + std::to_string(i) + ".jpg", allowed, size);
        if (!result) return result;
        if (sizes != nullptr) sizes->push_back(size);
    }
    return ::testing::AssertionSuccess();
}

}  // namespace e2e
}  // namespace media
