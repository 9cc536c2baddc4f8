// A stream whose picture size changes part way (res_change.ts: 320x240, then 480x272):
// media_demo must say so, build a new scaler and keep writing at the new size.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "demo_test.h"
#include "log_lines.h"
#include "server_process.h"

namespace media {
namespace e2e {
namespace {

class DemoResolution : public DemoTest {};

TEST_F(DemoResolution, PictureSizeChanges_ImagesFollowTheNewSize) {
    const PictureSize before{320, 240};
    const PictureSize after{480, 272};
    std::vector<PictureSize> sizes;
    const DemoOutcome outcome = run(media::test::test_media_path("res_change.ts"));
    expect_complete_run(outcome, {before, after}, &sizes);
    ASSERT_EQ(sizes.size(), static_cast<std::size_t>(kImageCount));

    // All the small images come first, then only large ones.
    const auto first_large = std::find(sizes.begin(), sizes.end(), after);
    ASSERT_NE(first_large, sizes.begin()) << "no image at the first size";
    ASSERT_NE(first_large, sizes.end()) << "no image at the second size";
    EXPECT_TRUE(std::all_of(sizes.begin(), first_large, [&](const PictureSize& s) { return s == before; }));
    EXPECT_TRUE(std::all_of(first_large, sizes.end(), [&](const PictureSize& s) { return s == after; }))
        << "a picture of the first size came after the change";

    const std::vector<std::string> lines = out_lines();
    EXPECT_EQ(count_lines(lines, "[Decoder] picture changed to 480x272 "), 1u);
    EXPECT_EQ(count_lines(lines, "[Decoder] picture changed to"), 1u);
    EXPECT_EQ(count_lines(lines, "[Decoder] disconnect url"), 0u) << "the size change must not need a reconnection";
}

}  // namespace
}  // namespace e2e
}  // namespace media
