// Damaged files that still hold a video stream: cut short in the middle of the picture
// data, or with garbage inside packets. media_demo must decode what it can, treat the
// early end like a dropped source (rebuild and go on numbering) and finish the run.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "demo_test.h"
#include "log_lines.h"
#include "run_checks.h"
#include "server_process.h"

namespace media {
namespace faults {
namespace {

using namespace std::chrono_literals;
using media::e2e::count_lines;

struct DamagedFileCase {
    const char* name;
    const char* file;
    bool ends_early;  // fewer than 52 pictures: the run must go through a rebuild
};

class DamagedFile : public media::e2e::DemoTest, public ::testing::WithParamInterface<DamagedFileCase> {};

TEST_P(DamagedFile, Decoding_CompletesTheRun) {
    const media::e2e::DemoOutcome outcome = run(media::test::test_media_path(GetParam().file), 60s);
    expect_complete_run(outcome, {{320, 240}});

    const std::vector<std::string> lines = out_lines();
    EXPECT_LT(longest_gap(lines, "read av_packet failed"), kWatchdogBound);
    const std::size_t rebuilds = count_lines(lines, "[Decoder] reconnect url successful");
    if (GetParam().ends_early) {
        EXPECT_GE(rebuilds, 1u) << "the early end did not rebuild the chain";
        EXPECT_EQ(count_lines(lines, "[Decoder] disconnect url"), rebuilds) << "a rebuild failed on a file";
    } else {
        EXPECT_EQ(rebuilds, 0u) << "damage inside packets is not a lost source";
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, DamagedFile,
                         ::testing::Values(DamagedFileCase{"TruncatedFile", "truncated.mp4", true},
                                           DamagedFileCase{"CorruptPackets", "corrupt.mp4", false}),
                         [](const ::testing::TestParamInfo<DamagedFileCase>& tested) {
                             return std::string(tested.param.name);
                         });

}  // namespace
}  // namespace faults
}  // namespace media
