#pragma once
// A picture handed to Python: its BGR image as a numpy array over the reader's own
// memory, and what is known of it.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <optional>

#include <opencv2/core/mat.hpp>

#include "media/reader/camera_reader.h"

namespace media {
namespace python {

// An (H, W, 3) uint8 array over the image's pixels, read-only because the image is const;
// the array keeps the image alive, however long it outlives the capture.
pybind11::array image_array(std::shared_ptr<const cv::Mat> bgr);

struct Frame {
    explicit Frame(const reader::Image& picture);

    pybind11::object image;
    std::optional<double> pts;  // seconds; none when the source gave no time
    double arrival = 0.0;       // seconds on time.monotonic()'s clock
    uint64_t sequence = 0;
    bool keyframe = false;
    uint32_t reconnections = 0;
    uint64_t dropped = 0;
};

}  // namespace python
}  // namespace media
