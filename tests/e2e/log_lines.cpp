#include "log_lines.h"

#include <ctime>
#include <fstream>
#include <iomanip>
#include <sstream>

namespace media {
namespace e2e {

namespace {

struct Layout {
    std::string stamp;  // "YYYY-MM-DD hh:mm:ss.mmm"
    std::string level;
    std::string message;
};

bool matches_pattern(const std::string& text, const std::string& pattern) {
    if (text.size() != pattern.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (pattern[i] == 'd' ? !digit : text[i] != pattern[i]) return false;
    }
    return true;
}

// Matches ^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\]\[media\]\[(info|error)\]\[[^\]]+:\d+\]: .*$
// by hand: <regex> sets off a false -Wmaybe-uninitialized in GCC 12 sanitizer builds.
std::optional<Layout> split_layout(const std::string& line) {
    constexpr std::size_t kStampSize = 23;
    if (line.find_first_of("\r\n") != std::string::npos) return std::nullopt;
    if (line.size() < kStampSize + 2 || line[0] != '[' || line[kStampSize + 1] != ']') return std::nullopt;
    Layout layout;
    layout.stamp = line.substr(1, kStampSize);
    if (!matches_pattern(layout.stamp, "dddd-dd-dd dd:dd:dd.ddd")) return std::nullopt;

    std::size_t at = kStampSize + 2;
    const std::string tag = "[media][";
    if (line.compare(at, tag.size(), tag) != 0) return std::nullopt;
    at += tag.size();
    for (const char* level : {"info", "error"}) {
        const std::string closed = std::string(level) + "][";
        if (line.compare(at, closed.size(), closed) == 0) {
            layout.level = level;
            at += closed.size();
            break;
        }
    }
    if (layout.level.empty()) return std::nullopt;

    // The source location: anything up to the first ']', ending in ":<line number>".
    const std::size_t close = line.find(']', at);
    if (close == std::string::npos) return std::nullopt;
    const std::string where = line.substr(at, close - at);
    const std::size_t colon = where.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == where.size()) return std::nullopt;
    if (!matches_pattern(where.substr(colon + 1), std::string(where.size() - colon - 1, 'd'))) return std::nullopt;
    if (line.compare(close, 3, "]: ") != 0) return std::nullopt;
    layout.message = line.substr(close + 3);
    return layout;
}

// The message of a well-formed line; a malformed line is searched whole, so that a
// message glued into another line is still found (and the layout check reports it).
std::string searchable(const std::string& line) {
    const auto parts = split_layout(line);
    return parts ? parts->message : line;
}

}  // namespace

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

::testing::AssertionResult all_lines_well_formed(const std::vector<std::string>& lines) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (!split_layout(lines[i])) {
            return ::testing::AssertionFailure() << "line " << i + 1 << " breaks the layout: \"" << lines[i] << "\"";
        }
    }
    return ::testing::AssertionSuccess();
}

std::optional<std::size_t> find_line(const std::vector<std::string>& lines, const std::string& needle,
                                     std::size_t from) {
    for (std::size_t i = from; i < lines.size(); ++i) {
        if (searchable(lines[i]).find(needle) != std::string::npos) return i;
    }
    return std::nullopt;
}

std::size_t count_lines(const std::vector<std::string>& lines, const std::string& needle) {
    std::size_t count = 0;
    for (const auto& line : lines) {
        if (searchable(line).find(needle) != std::string::npos) ++count;
    }
    return count;
}

std::vector<long> numbers_after(const std::vector<std::string>& lines, const std::string& prefix) {
    std::vector<long> numbers;
    for (const auto& line : lines) {
        const std::string message = searchable(line);
        const std::size_t at = message.find(prefix);
        if (at == std::string::npos) continue;
        const std::string rest = message.substr(at + prefix.size());
        try {
            std::size_t used = 0;
            const long value = std::stol(rest, &used);
            if (used == rest.size()) numbers.push_back(value);
        } catch (const std::exception&) {
            // Not a number after the prefix: not one of the lines asked for.
        }
    }
    return numbers;
}

std::optional<std::chrono::system_clock::time_point> line_time(const std::string& line) {
    const auto layout = split_layout(line);
    if (!layout) return std::nullopt;
    std::tm local{};
    std::istringstream in(layout->stamp.substr(0, 19));
    in >> std::get_time(&local, "%Y-%m-%d %H:%M:%S");
    if (in.fail()) return std::nullopt;
    local.tm_isdst = -1;
    const std::time_t seconds = std::mktime(&local);
    if (seconds == static_cast<std::time_t>(-1)) return std::nullopt;
    return std::chrono::system_clock::from_time_t(seconds) + std::chrono::milliseconds(std::stoi(layout->stamp.substr(20)));
}

std::optional<LineParts> parse_line(const std::string& line) {
    const auto layout = split_layout(line);
    if (!layout) return std::nullopt;
    return LineParts{layout->level, layout->message};
}

}  // namespace e2e
}  // namespace media
