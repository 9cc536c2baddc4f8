#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <ctime>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>

#include "capture.h"
#include "media/common/clogger.h"

namespace {

using media::common::fmt;

TEST(Fmt_Substitution, PlaceholdersFilledLeftToRight) {
    EXPECT_EQ(fmt("a{}b{}c", 1, "x"), "a1bxc");
    EXPECT_EQ(fmt("code {}", -11), "code -11");
    const char* text = "plain";
    EXPECT_EQ(fmt("<{}>", text), "<plain>");
    EXPECT_EQ(fmt("{} {}", std::string("End of file"), -541478725), "End of file -541478725");
}

TEST(Fmt_Substitution, CountMismatchIsNotAnError) {
    EXPECT_EQ(fmt("{}{}", 1), "1{}");
    EXPECT_EQ(fmt("no placeholder", 42), "no placeholder");
    EXPECT_EQ(fmt("keeps {}"), "keeps {}");
    EXPECT_EQ(fmt(""), "");
    EXPECT_EQ(fmt("", 3), "");
}

TEST(Fmt_Substitution, ArgumentTextIsNeverSearchedAgain) {
    EXPECT_EQ(fmt("{}-{}", std::string("{}"), 2), "{}-2");
}

TEST(Fmt_Substitution, BracesHaveNoEscapes) {
    EXPECT_EQ(fmt("{{}}", 7), "{7}");
    EXPECT_EQ(fmt("{", 1), "{");
    EXPECT_EQ(fmt("{0} {:d} {}", 5), "{0} {:d} 5");
}

// The timestamp's shape: four-digit year, then two digits per field, milliseconds last.
constexpr char kStampShape[] = "dddd-dd-dd dd:dd:dd.ddd";
constexpr std::size_t kStampLength = sizeof(kStampShape) - 1;

bool has_stamp_shape(const std::string& stamp) {
    if (stamp.size() != kStampLength) return false;
    for (std::size_t i = 0; i < kStampLength; ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(stamp[i])) != 0;
        if (kStampShape[i] == 'd' ? !digit : stamp[i] != kStampShape[i]) return false;
    }
    return true;
}

// Checks one whole line, newline included; returns its timestamp, or "" when it does not match.
std::string stamp_of_line(const std::string& text, const std::string& level, int line, const std::string& message) {
    const std::string tail = "][media][" + level + "][" + __FILE__ + ":" + std::to_string(line) + "]: " + message + "\n";
    if (text.size() != 1 + kStampLength + tail.size() || text[0] != '[' ||
        text.compare(1 + kStampLength, std::string::npos, tail) != 0) {
        return "";
    }
    const std::string stamp = text.substr(1, kStampLength);
    return has_stamp_shape(stamp) ? stamp : "";
}

TEST(LogLine_Error, HasExactLayoutAndOneNewline) {
    media::test::CoutCapture out;
    LOG_ERROR("failed {} times", 3); const int line = __LINE__;
    EXPECT_NE(stamp_of_line(out.text(), "error", line, "failed 3 times"), "") << out.text();
}

TEST(LogLine_Info, CarriesInfoLevel) {
    media::test::CoutCapture out;
    LOG_INFO("decoder {} opened", std::string("h264")); const int line = __LINE__;
    EXPECT_NE(stamp_of_line(out.text(), "info", line, "decoder h264 opened"), "") << out.text();
}

TEST(LogLine_TwoStatements, DifferOnlyInLineNumberAndMessage) {
    media::test::CoutCapture out;
    LOG_ERROR("first"); const int first = __LINE__;
    LOG_ERROR("second"); const int second = __LINE__;
    const auto lines = out.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(stamp_of_line(lines[0] + "\n", "error", first, "first"), "") << lines[0];
    EXPECT_NE(stamp_of_line(lines[1] + "\n", "error", second, "second"), "") << lines[1];
}

TEST(LogLine_Flush, LineIsFlushedAtItsEnd) {
    // Each line is flushed, so it is out even when the process dies right after it.
    struct CountingBuf : std::stringbuf {
        int syncs = 0;
        int sync() override { ++syncs; return std::stringbuf::sync(); }
    } counting;
    std::streambuf* saved = std::cout.rdbuf(&counting);
    LOG_INFO("flushed");
    std::cout.rdbuf(saved);
    EXPECT_GE(counting.syncs, 1);
    EXPECT_NE(counting.str().find("flushed\n"), std::string::npos);
}

TEST(LogLine_Timestamp, IsLocalWallClockWithMilliseconds) {
    using namespace std::chrono;
    media::test::CoutCapture out;
    const auto before = time_point_cast<milliseconds>(system_clock::now());
    LOG_INFO("now"); const int line = __LINE__;
    const auto after = system_clock::now();

    const std::string stamp = stamp_of_line(out.text(), "info", line, "now");
    ASSERT_NE(stamp, "") << out.text();
    std::tm local{};
    std::istringstream in(stamp.substr(0, 19));
    in >> std::get_time(&local, "%Y-%m-%d %H:%M:%S");
    ASSERT_FALSE(in.fail());
    local.tm_isdst = -1;
    const auto stamped = system_clock::from_time_t(std::mktime(&local)) + milliseconds(std::stoi(stamp.substr(20)));
    EXPECT_GE(stamped, before);
    EXPECT_LE(stamped, after);
}

TEST(LogLine_Sinks, NothingGoesToStandardError) {
    std::ostringstream cerr_sink;
    std::ostringstream clog_sink;
    std::streambuf* saved_cerr = std::cerr.rdbuf(cerr_sink.rdbuf());
    std::streambuf* saved_clog = std::clog.rdbuf(clog_sink.rdbuf());
    media::test::FdCapture fd2(2);
    {
        media::test::CoutCapture out;
        LOG_ERROR("to stdout only {}", 1);
        LOG_INFO("also stdout");
        EXPECT_EQ(out.lines().size(), 2u);
    }
    const std::string raw = fd2.stop();
    std::cerr.rdbuf(saved_cerr);
    std::clog.rdbuf(saved_clog);
    EXPECT_EQ(raw, "");
    EXPECT_EQ(cerr_sink.str(), "");
    EXPECT_EQ(clog_sink.str(), "");
}

}  // namespace
