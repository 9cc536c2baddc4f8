#include "run_checks.h"

#include <filesystem>
#include <optional>

#include "log_lines.h"

namespace media {
namespace faults {

ImageSnapshot snapshot_images(const std::string& dir, int count) {
    ImageSnapshot snapshot;
    for (int i = 0; i < count; ++i) {
        const std::string name = std::to_string(i) + ".jpg";
        snapshot[name] = media::e2e::read_text(dir + "/" + name);
    }
    return snapshot;
}

::testing::AssertionResult images_unchanged(const std::string& dir, const ImageSnapshot& before) {
    for (const auto& [name, content] : before) {
        if (content.empty()) {
            return ::testing::AssertionFailure() << name << " was empty or missing when the snapshot was taken";
        }
        if (media::e2e::read_text(dir + "/" + name) != content) {
            return ::testing::AssertionFailure() << name << " changed after the fault";
        }
    }
    return ::testing::AssertionSuccess();
}

std::chrono::milliseconds longest_gap(const std::vector<std::string>& lines, const std::string& needle) {
    std::chrono::milliseconds longest{0};
    std::optional<std::chrono::system_clock::time_point> previous;
    for (const std::string& line : lines) {
        const auto parts = media::e2e::parse_line(line);
        if (!parts || parts->message.find(needle) == std::string::npos) continue;
        const auto stamp = media::e2e::line_time(line);
        if (!stamp) continue;
        if (previous) {
            longest = std::max(longest, std::chrono::duration_cast<std::chrono::milliseconds>(*stamp - *previous));
        }
        previous = stamp;
    }
    return longest;
}

std::vector<long> failed_image_numbers(const std::vector<std::string>& lines) {
    const std::string prefix = "write image ";
    std::vector<long> numbers;
    for (const std::string& line : lines) {
        const auto parts = media::e2e::parse_line(line);
        if (!parts || parts->message.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string rest = parts->message.substr(prefix.size());
        const std::size_t dot = rest.find(".jpg failed: ");
        if (dot == 0 || dot == std::string::npos ||
            rest.find_first_not_of("0123456789") != dot) {
            continue;
        }
        numbers.push_back(std::stol(rest.substr(0, dot)));
    }
    return numbers;
}

int leading_images(const std::string& dir) {
    int n = 0;
    while (std::filesystem::is_regular_file(dir + "/" + std::to_string(n) + ".jpg")) ++n;
    return n;
}

}  // namespace faults
}  // namespace media
