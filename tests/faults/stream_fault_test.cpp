// The live source breaks in the middle of a run: it freezes (connection open, no bytes),
// turns to bytes that never make a packet (the connection busy all the while), resets
// the connection, or goes away for ten seconds. media_demo must notice within the
// watchdog's bounds, rebuild the chain, carry on numbering and end with all 52 images,
// leaving the images from before the fault as they were.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "demo_test.h"
#include "faulty_rtsp.h"
#include "log_lines.h"
#include "run_checks.h"

namespace media {
namespace faults {
namespace {

using namespace std::chrono_literals;
using media::e2e::count_lines;
using media::e2e::find_line;
using media::e2e::numbers_after;

constexpr int kImagesBeforeFault = 10;

struct StreamFaultCase {
    const char* name;
    const char* fault;
    std::chrono::seconds outage;
    std::size_t min_refused;  // "reconnect url failed" lines while the source is away
    std::size_t max_refused;
};

class StreamFault : public media::e2e::DemoTest, public ::testing::WithParamInterface<StreamFaultCase> {};

TEST_P(StreamFault, MidStream_ReconnectsAndCompletesTheRun) {
    const StreamFaultCase& c = GetParam();
    FaultyRtsp source(c.fault, c.outage);
    start({source.url()});

    ASSERT_TRUE(wait_for_file(std::to_string(kImagesBeforeFault) + ".jpg", 30s)) << "no images before the fault";
    const ImageSnapshot before = snapshot_images(workdir(), kImagesBeforeFault);
    ASSERT_EQ(count_lines(out_lines(), "read av_packet failed"), 0u) << "reads failed before the fault";
    source.strike();

        const media::e2e::DemoOutcome outcome = finish(120s);
    expect_complete_run(outcome, {{320, 240}});
    EXPECT_TRUE(images_unchanged(workdir(), before));

    const std::vector<std::string> lines = out_lines();
    const auto disconnect = find_line(lines, "[Decoder] disconnect url");
    const auto success = find_line(lines, "[Decoder] reconnect url successful");
    ASSERT_TRUE(disconnect && success) << "the chain was not rebuilt";
    EXPECT_LT(*disconnect, *success);

    const std::vector<std::string> leading(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(*disconnect));
    std::vector<long> counts;
    for (long n = 0; n <= 20; ++n) counts.push_back(n);
    EXPECT_EQ(numbers_after(leading, "continuous failure count "), counts) << "21 failed reads must disconnect";
    EXPECT_LT(longest_gap(lines, "read av_packet failed"), kWatchdogBound) << "a read outlasted the watchdog";
    // Once a read has failed, the broken connection is not read again: the other twenty
    // failures follow at once instead of waiting out the watchdog twenty times.
    const auto first_failure = find_line(leading, "continuous failure count 0");
    ASSERT_TRUE(first_failure);
    const auto failing_from = media::e2e::line_time(leading[*first_failure]);
    const auto failing_to = media::e2e::line_time(leading.back());
    ASSERT_TRUE(failing_from && failing_to);
    EXPECT_LT(*failing_to - *failing_from, 1s) << "reads went on on a connection the watchdog had cut";

    const std::size_t refused = count_lines(lines, "[Decoder] reconnect url failed, reconnection count ");
    EXPECT_GE(refused, c.min_refused);
    EXPECT_LE(refused, c.max_refused) << "reconnection attempts are not a second apart";
    EXPECT_LT(longest_gap(lines, "[Decoder] disconnect url"), kWatchdogBound);
}

// An outage of ten seconds with one attempt a second: about ten refused attempts.
INSTANTIATE_TEST_SUITE_P(Faults, StreamFault,
                         ::testing::Values(StreamFaultCase{"SilentMidStream", "freeze", 0s, 0, 1},
                                           StreamFaultCase{"GarbageMidStream", "garbage", 0s, 0, 1},
                                           StreamFaultCase{"ResetMidStream", "reset", 0s, 0, 1},
                                           StreamFaultCase{"GoneTenSeconds", "outage", 10s, 7, 13}),
                         [](const ::testing::TestParamInfo<StreamFaultCase>& tested) {
                             return std::string(tested.param.name);
                         });

}  // namespace
}  // namespace faults
}  // namespace media
