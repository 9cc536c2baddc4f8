#pragma once

#include <opencv2/core/mat.hpp>

namespace media {
namespace image {

// The allocator behind every BGR image the image layer makes: recycles the buffers of
// dropped images and hands out memory that is already zero.
cv::MatAllocator& picture_allocator();

// CPU time this process spent getting fresh image memory from the kernel (the first touch
// of every page: the fault and the kernel clearing it), in nanoseconds.
long long fresh_image_cpu_ns();

}  // namespace image
}  // namespace media
