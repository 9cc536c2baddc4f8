#pragma once
// Checks the fault tests share: images written before a fault stay as they were, and
// no blocking call outlasts the read watchdog.

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace media {
namespace faults {

// The read watchdog, plus room for a loaded machine: no two failed reads may be further
// apart than this, or a call hung past the watchdog.
constexpr auto kWatchdogBound = std::chrono::milliseconds(4000);

// File name -> content of 0.jpg ... (count-1).jpg.
using ImageSnapshot = std::map<std::string, std::string>;
ImageSnapshot snapshot_images(const std::string& dir, int count);
::testing::AssertionResult images_unchanged(const std::string& dir, const ImageSnapshot& before);

// The longest time between two consecutive lines containing `needle` (zero for fewer
// than two such lines), from the time stamps the lines carry.
std::chrono::milliseconds longest_gap(const std::vector<std::string>& lines, const std::string& needle);

// N of each "write image N.jpg failed: ..." line, in order.
std::vector<long> failed_image_numbers(const std::vector<std::string>& lines);

// The number of 0.jpg, 1.jpg, ... present without a gap.
int leading_images(const std::string& dir);

}  // namespace faults
}  // namespace media
