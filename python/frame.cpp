#include "frame.h"


#include <chrono>
#include <stdexcept>
#include <utility>

namespace py = pybind11;

namespace media {
namespace python {

py::array image_array(std::shared_ptr<const cv::Mat> bgr) {
    if (!bgr || bgr->empty() || bgr->type() != CV_8UC3) {
        throw std::logic_error("the reader handed out an image that is not 8-bit BGR");
    }
    const cv::Mat& mat = *bgr;
    const std::vector<py::ssize_t> shape{mat.rows, mat.cols, 3};
    const std::vector<py::ssize_t> strides{static_cast<py::ssize_t>(mat.step[0]), 3, 1};
    auto owner = std::make_unique<std::shared_ptr<const cv::Mat>>(std::move(bgr));
    const py::capsule base(owner.get(), [](void* kept) { delete static_cast<std::shared_ptr<const cv::Mat>*>(kept); });
    owner.release();  // the capsule deletes it now
    py::array array(py::dtype::of<uint8_t>(), shape, strides, mat.data, base);
    array.attr("setflags")(py::arg("write") = false);
    return array;
}

Frame::Frame(const reader::Image& picture)
    : image(image_array(picture.bgr)),
      arrival(std::chrono::duration<double>(picture.arrival.time_since_epoch()).count()),
      sequence(picture.sequence),
      keyframe(picture.keyframe),
      reconnections(picture.reconnections),
      dropped(picture.dropped) {
    if (picture.has_pts) {
        pts = static_cast<double>(picture.pts_us) / 1e6;
    }
}

}  // namespace python
}  // namespace media
