// The log-line reader the end-to-end tests rely on: a reader that accepted a broken
// line, or lost a message, would let a faulty program pass.

#include "log_lines.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace media {
namespace e2e {
namespace {

const std::string kStamp = "[2026-12-08 15:32:18.886]";

struct LayoutCase {
    const char* name;
    std::string line;
    bool well_formed;
    const char* level;
    const char* message;
};

// One test over the whole table: each case takes microseconds, a process of its own would not.
TEST(LogLines, EachLine_JudgedByTheLayout) {
    const std::vector<LayoutCase> cases{
        {"Info", kStamp + "[media][info][/src/demo/main.cpp:36]: [Decoder] start worker", true, "info",
         "[Decoder] start worker"},
        {"ErrorWithEmptyMessage", kStamp + "[media][error][main.cpp:16]: ", true, "error", ""},
        {"ColonInPath", kStamp + "[media][info][c:/x/main.cpp:7]: a ] b", true, "info", "a ] b"},
        {"NoMilliseconds", "[2026-12-08 15:32:18][media][info][a.cpp:1]: m", false, "", ""},
        {"LetterInTime", "[2026-12-08 15:3x:18.886][media][info][a.cpp:1]: m", false, "", ""},
        {"OtherTag", kStamp + "[Media][info][a.cpp:1]: m", false, "", ""},
        {"OtherLevel", kStamp + "[media][warn][a.cpp:1]: m", false, "", ""},
        {"NoLineNumber", kStamp + "[media][info][a.cpp]: m", false, "", ""},
        {"LetterInLineNumber", kStamp + "[media][info][a.cpp:1a]: m", false, "", ""},
        {"NoFileName", kStamp + "[media][info][:12]: m", false, "", ""},
        {"NoSpaceAfterColon", kStamp + "[media][info][a.cpp:1]:m", false, "", ""},
        {"Interleaved", "[2026-12-08 15:32:18.886][media][[2026-12-08 15:32:18.887]info][a.cpp:1]: m", false, "", ""},
        {"CarriageReturn", kStamp + "[media][info][a.cpp:1]: m\r", false, "", ""},
        {"FfmpegText", "Input #0, rtsp, from 'rtsp://127.0.0.1:554/h264':", false, "", ""},
    };
    for (const LayoutCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(static_cast<bool>(all_lines_well_formed({c.line})), c.well_formed) << c.line;
        const auto parts = parse_line(c.line);
        ASSERT_EQ(parts.has_value(), c.well_formed);
        if (parts) {
            EXPECT_EQ(parts->level, c.level);
            EXPECT_EQ(parts->message, c.message);
        }
    }
    // One bad line among good ones fails the whole output.
    EXPECT_FALSE(all_lines_well_formed({cases[0].line, cases[3].line, cases[1].line}));
}

TEST(LogLines, TwoStamps_DifferByTheirMilliseconds) {
    const auto first = line_time(kStamp + "[media][info][a.cpp:1]: m");
    const auto second = line_time("[2026-12-08 15:32:20.011][media][info][a.cpp:1]: m");
    ASSERT_TRUE(first && second);
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::milliseconds>(*second - *first).count(), 1125);
    EXPECT_FALSE(line_time("not a log line"));
}

TEST(LogLines, CountedMessages_FoundInOrder) {
    const std::vector<std::string> lines{
        kStamp + "[media][error][w.cpp:41]: [Decoder] read av_packet failed, continuous failure count 0",
        "stray text with continuous failure count 9",
        kStamp + "[media][error][w.cpp:41]: [Decoder] read av_packet failed, continuous failure count 1",
        kStamp + "[media][error][w.cpp:41]: continuous failure count 2 and more",
        kStamp + "[media][error][w.cpp:45]: [Decoder] disconnect url",
    };
    EXPECT_EQ(numbers_after(lines, "continuous failure count "), (std::vector<long>{0, 9, 1}));
    EXPECT_EQ(find_line(lines, "disconnect url"), std::optional<std::size_t>(4));
    EXPECT_EQ(find_line(lines, "continuous failure count", 3), std::optional<std::size_t>(3));
    EXPECT_FALSE(find_line(lines, "w.cpp"));  // the source location is not part of the message
    EXPECT_EQ(count_lines(lines, "read av_packet failed"), 2u);
    EXPECT_EQ(split_lines("a\nb\n\nc"), (std::vector<std::string>{"a", "b", "", "c"}));
}

}  // namespace
}  // namespace e2e
}  // namespace media
