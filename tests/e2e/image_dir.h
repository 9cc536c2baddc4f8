#pragma once
// Checks on the directory media_demo wrote into: which files are there, and whether each
// numbered image is a whole JPEG of the expected size showing an actual picture.

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace media {
namespace e2e {

struct PictureSize {
    int width = 0;
    int height = 0;
    bool operator==(const PictureSize& other) const { return width == other.width && height == other.height; }
};

// Every name in the directory, hidden ones included, sorted.
std::vector<std::string> directory_entries(const std::string& dir);

// The directory holds 0.jpg ... (count-1).jpg and nothing else (no temporaries either).
::testing::AssertionResult holds_exactly_images(const std::string& dir, int count);

// Each of 0.jpg ... (count-1).jpg starts with FF D8, ends with FF D9, decodes, has one of
// the allowed sizes and is neither blank nor grey. `sizes`, when given, receives each image's size.
::testing::AssertionResult images_are_pictures(const std::string& dir, int count,
                                               const std::vector<PictureSize>& allowed,
                                               std::vector<PictureSize>* sizes = nullptr);

}  // namespace e2e
}  // namespace media
