#pragma once
// Reading what media_demo printed: its log lines, their layout, where a message first
// appears and when a line was written.

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace media {
namespace e2e {

std::string read_text(const std::string& path);
std::vector<std::string> split_lines(const std::string& text);

// Every line must read [YYYY-MM-DD hh:mm:ss.mmm][media][info|error][file:line]: message.
::testing::AssertionResult all_lines_well_formed(const std::vector<std::string>& lines);

// Index of the first line at or after `from` whose message part contains `needle`.
std::optional<std::size_t> find_line(const std::vector<std::string>& lines, const std::string& needle,
                                     std::size_t from = 0);
std::size_t count_lines(const std::vector<std::string>& lines, const std::string& needle);

// The numbers N of the lines containing "<prefix>N", in order of appearance.
std::vector<long> numbers_after(const std::vector<std::string>& lines, const std::string& prefix);

// The wall-clock time a well-formed line carries, or nothing for other lines.
std::optional<std::chrono::system_clock::time_point> line_time(const std::string& line);

// Level and message of a well-formed line ("error", "Usage: ..."), or nothing.
struct LineParts {
    std::string level;
    std::string message;
};
std::optional<LineParts> parse_line(const std::string& line);

}  // namespace e2e
}  // namespace media
