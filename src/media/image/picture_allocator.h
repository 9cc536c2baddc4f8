#pragma once

#include <opencv2/core/mat.hpp>

namespace media {
namespace image {

// A rows x cols 8-bit BGR image set to zero, from the allocator behind every image the
// image layer makes: it recycles the buffers of dropped images and hands out memory that
// is already zero.
cv::Mat new_bgr_image(int rows, int cols);

// CPU time this process spent getting fresh image memory from the kernel (the first touch
// of every page: the fault and the kernel clearing it), in nanoseconds.
long long fresh_image_cpu_ns();

}  // namespace image
}  // namespace media
