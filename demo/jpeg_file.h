#pragma once

#include <string>

#include <opencv2/core/mat.hpp>

#include "jpeg_encoder.h"

// Writes images as JPEG files that appear complete or not at all: the picture goes to a
// hidden temporary file of its own, newly created under a random name in the same
// directory, and is renamed into place. Links planted in the directory are never
// written through, so the directory may be one that others can write to.
class JpegFileWriter {
public:
    // False, with an error line naming the file, when the image could not be written.
    bool write(const std::string& path, const cv::Mat& image);

    // The same for a decoded picture and its BGR image: from the picture's own planes when
    // the encoder takes them, which costs less, else from the image.
    bool write(const std::string& path, const AVFrame& frame, const cv::Mat& image);

    // The same for a decoded picture the encoder takes from its own planes
    // (JpegEncoder::takes_planes_of).
    bool write(const std::string& path, const AVFrame& frame);

private:
    template <typename Picture>
    bool encode_and_write(const std::string& path, const Picture& picture);
    bool write_encoded(const std::string& path);

    JpegEncoder encoder_;  // reused: a picture's JPEG is about the same size each time
};
