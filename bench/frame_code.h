#pragma once
// Reads the frame number bench/numbered_source.py draws into each picture: a row of
// black and white squares, most significant bit first, and the same row inverted below
// it, one square's height apart. Shared by frame_code_reader (JPEG files) and
// reader_scale (BGR images straight from the library). The layout must match the
// source's: its defaults are numbered_source.py's, and bench/reader_scale.py serves
// smaller pictures with a smaller layout.

#include <opencv2/core.hpp>

namespace frame_code {

struct Layout {
    int bits = 20;
    int square = 48;
    int left = 96;
    int top = 96;

    int inverted_top() const { return top + 2 * square; }
    bool fits(int width, int height) const {
        return width >= left + bits * square && height >= inverted_top() + square;
    }
};

// Grey, or colour whose channels are averaged: the squares are neutral, so the mean over
// the channels is close to their grey level whatever the channel order.
inline double mean_level(const cv::Mat& region) {
    const cv::Scalar mean = cv::mean(region);
    double sum = 0.0;
    for (int c = 0; c < region.channels(); ++c) {
        sum += mean[c];
    }
    return sum / region.channels();
}

// The centre half of a square: compression blurs its edges.
inline bool is_white(const cv::Mat& image, const Layout& layout, int left, int top) {
    const int quarter = layout.square / 4;
    const cv::Rect centre(left + quarter, top + quarter, layout.square / 2, layout.square / 2);
    return mean_level(image(centre)) > 128.0;
}

// The number, or -1 where the picture is too small for the layout or the two rows
// disagree (a damaged or foreign picture).
inline long read_number(const cv::Mat& image, const Layout& layout = Layout{}) {
    if (image.empty() || !layout.fits(image.cols, image.rows)) {
        return -1;
    }
    long number = 0;
    for (int bit = 0; bit < layout.bits; ++bit) {
        const int left = layout.left + bit * layout.square;
        const bool on = is_white(image, layout, left, layout.top);
        if (on == is_white(image, layout, left, layout.inverted_top())) {
            return -1;
        }
        number = number * 2 + (on ? 1 : 0);
    }
    return number;
}

}  // namespace frame_code
