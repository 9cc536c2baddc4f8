// The image memory behind every converted picture: always zero when handed out, and the
// memory of a dropped image serves the next image of its size, which is what keeps the
// program's image queue at its bound.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include <opencv2/core.hpp>

#include "media/image/picture_allocator.h"

namespace {

using media::image::new_bgr_image;

bool all_zero(const cv::Mat& image) {
    return cv::countNonZero(image.reshape(1)) == 0;
}

// Sizes no other test uses, so no spare image left by another test is handed out here.
TEST(PictureAllocator, ReusesADroppedImageOfTheSameSizeClearedAgain) {
    cv::Mat first = new_bgr_image(357, 641);
    ASSERT_TRUE(all_zero(first));
    first.setTo(cv::Scalar(1, 2, 3));
    const unsigned char* memory = first.data;
    first.release();

    const cv::Mat other_size = new_bgr_image(358, 641);  // must not take the spare
    EXPECT_NE(other_size.data, memory);
    EXPECT_TRUE(all_zero(other_size));

    const cv::Mat second = new_bgr_image(357, 641);
    EXPECT_EQ(second.data, memory);
    EXPECT_TRUE(all_zero(second));
}

TEST(PictureAllocator, AQueueThatDropsBeforeAddingNeedsNoMoreImagesThanItHolds) {
    constexpr std::size_t kHeld = 51;
    std::vector<cv::Mat> queue;
    std::vector<const unsigned char*> seen;
    for (int picture = 0; picture < 200; ++picture) {
        if (queue.size() == kHeld) {
            queue.erase(queue.begin());
        }
        queue.push_back(new_bgr_image(67, 131));
        ASSERT_TRUE(all_zero(queue.back()));
        queue.back().setTo(cv::Scalar::all(picture % 255 + 1));
        if (std::find(seen.begin(), seen.end(), queue.back().data) == seen.end()) {
            seen.push_back(queue.back().data);
        }
    }
    EXPECT_EQ(seen.size(), kHeld);
    // Every held image still has its own picture: no buffer was handed out twice.
    for (std::size_t i = 0; i < queue.size(); ++i) {
        EXPECT_EQ(queue[i].at<cv::Vec3b>(5, 5)[0], (200 - kHeld + i) % 255 + 1) << i;
    }
}

}  // namespace
