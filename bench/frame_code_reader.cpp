// Reads the frame number bench/numbered_source.py draws into each picture: a row of
// black and white squares, most significant bit first, and the same row inverted below
// it. Prints "<file> <number>" per argument, -1 where the two rows disagree (a damaged
// or foreign picture). The layout constants must match numbered_source.py.
#include <cstdio>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

namespace {

constexpr int kBits = 20;
constexpr int kSquare = 48;
constexpr int kLeft = 96;
constexpr int kTop = 96;
constexpr int kInvertedTop = kTop + 2 * kSquare;

// The centre half of a square: JPEG blurs its edges.
bool is_white(const cv::Mat& gray, int left, int top) {
    const cv::Rect centre(left + kSquare / 4, top + kSquare / 4, kSquare / 2, kSquare / 2);
    return cv::mean(gray(centre))[0] > 128.0;
}

long read_number(const cv::Mat& gray) {
    if (gray.cols < kLeft + kBits * kSquare || gray.rows < kInvertedTop + kSquare) {
        return -1;
    }
    long number = 0;
    for (int bit = 0; bit < kBits; ++bit) {
        const int left = kLeft + bit * kSquare;
        const bool on = is_white(gray, left, kTop);
        if (on == is_white(gray, left, kInvertedTop)) {
            return -1;
        }
        number = number * 2 + (on ? 1 : 0);
    }
    return number;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s image.jpg...\n", argv[0]);
        return 2;
    }
    for (int i = 1; i < argc; ++i) {
        const cv::Mat gray = cv::imread(argv[i], cv::IMREAD_GRAYSCALE);
        std::printf("%s %ld\n", argv[i], gray.empty() ? -1L : read_number(gray));
    }
    return 0;
}
