// media_demo reading files: a plain MP4 (reads paced as for a live source), an MP4
// whose first stream is audio, and a file too short for 52 images, which reaches its
// end, is reopened through the reconnection path and still yields 52 numbered images.

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "demo_test.h"
#include "log_lines.h"
#include "server_process.h"

namespace media {
namespace e2e {
namespace {

using media::test::test_media_path;

const PictureSize kSmall{320, 240};

// Each MP4 read is paced by a fixed pause, so 52 pictures cannot come out faster than
// 52 of those pauses (35 ms). Generous on purpose: an unpaced run takes a fraction.
constexpr auto kMinPacedWorkerTime = std::chrono::milliseconds(52 * 30);

std::chrono::milliseconds worker_time(const std::vector<std::string>& lines) {
    const auto started = find_line(lines, "[Decoder] initialization successful, start worker");
    const auto finished = find_line(lines, "[Decoder] worker thread finished");
    if (!started || !finished) return std::chrono::milliseconds(-1);
    const auto from = line_time(lines[*started]);
    const auto to = line_time(lines[*finished]);
    if (!from || !to) return std::chrono::milliseconds(-1);
    return std::chrono::duration_cast<std::chrono::milliseconds>(*to - *from);
}

struct FileCase {
    const char* name;
    const char* file;
};

// Names the case in gtest's messages instead of dumping its bytes.
void PrintTo(const FileCase& c, std::ostream* os) { *os << c.name; }

class DemoFile : public DemoTest, public ::testing::WithParamInterface<FileCase> {};

TEST_P(DemoFile, Mp4Source_WritesFiftyTwoPacedImages) {
    const DemoOutcome outcome = run(test_media_path(GetParam().file));
    expect_complete_run(outcome, {kSmall});

    const std::vector<std::string> lines = out_lines();
    EXPECT_EQ(count_lines(lines, "read av_packet failed"), 0u);
    EXPECT_GE(worker_time(lines).count(), kMinPacedWorkerTime.count());
}

INSTANTIATE_TEST_SUITE_P(Files, DemoFile,
                         ::testing::Values(FileCase{"VideoOnly", "h264.mp4"},
                                           FileCase{"AudioFirst", "audio_first.mp4"}),
                         [](const ::testing::TestParamInfo<FileCase>& tested) { return std::string(tested.param.name); });

// short.mp4 has 20 pictures: each end of file costs 21 failed reads, then the chain is
// rebuilt and the file plays again, numbering on from where it stopped.
class DemoShortFile : public DemoTest {};

TEST_F(DemoShortFile, EndOfFile_ReconnectsAndKeepsNumbering) {
    const DemoOutcome outcome = run(test_media_path("short.mp4"));
    expect_complete_run(outcome, {kSmall});

    const std::vector<std::string> lines = out_lines();
    const auto disconnect = find_line(lines, "[Decoder] disconnect url");
    ASSERT_TRUE(disconnect) << "the end of the file never led to a reconnection";
    const auto reconnected = find_line(lines, "[Decoder] reconnect url successful", *disconnect);
    ASSERT_TRUE(reconnected);

    // The failures before the first reconnection count 0, 1, ... 20 without a gap.
    const std::vector<std::string> before(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(*disconnect));
    std::vector<long> expected;
    for (long n = 0; n <= 20; ++n) expected.push_back(n);
    EXPECT_EQ(numbers_after(before, "continuous failure count "), expected);

    // 52 images from 20-picture passes need at least two reopenings, none of which fail.
    EXPECT_GE(count_lines(lines, "[Decoder] reconnect url successful"), 2u);
    EXPECT_EQ(count_lines(lines, "[Decoder] reconnect url failed"), 0u);
}

}  // namespace
}  // namespace e2e
}  // namespace media
