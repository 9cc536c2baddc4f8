#pragma once

#include <opencv2/core/mat.hpp>

namespace media {
namespace platform {

// The allocator behind every BGR image the image layer makes: recycles the buffers of
// dropped images and hands out memory that is already zero.
cv::MatAllocator& picture_allocator();

}  // namespace platform
}  // namespace media
