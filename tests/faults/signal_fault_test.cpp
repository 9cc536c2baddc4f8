// SIGINT at the awkward moments: while the source is being opened (a server that never
// answers), while a read is blocked on a source whose bytes never make a packet, and
// while the source is away and media_demo waits between reconnections. The program must
// end within a second, in order, keeping what it wrote.

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "demo_test.h"
#include "faulty_rtsp.h"
#include "log_lines.h"
#include "run_checks.h"
#include "server_process.h"
#include "tcp_connections.h"

namespace media {
namespace faults {
namespace {

using namespace std::chrono_literals;
using media::e2e::Clock;
using media::e2e::count_lines;
using media::e2e::find_line;

// Within a second, with room for a loaded machine; the final pause is cut short too.
constexpr auto kExitAfterSignal = 2s;

class SignalFault : public media::e2e::DemoTest {};

TEST_F(SignalFault, OpeningSilentServer_SigintEndsTheStartWith255) {
    media::test::ServerProcess server = media::test::start_misbehaving_server("silent");
    start({"rtsp://127.0.0.1:" + std::to_string(server.port()) + "/h264"});
    // Connected means inside the open, which the silent server keeps blocked for the
    // two-second socket timeout.
    ASSERT_TRUE(wait_for_connection_to(server.port(), 30s)) << "media_demo never connected";
    ASSERT_FALSE(process().finished()) << "the open ended before the signal";
    const auto signalled = Clock::now();
    process().send_signal(SIGINT);

    const media::e2e::DemoOutcome outcome = finish(30s);
    EXPECT_TRUE(outcome.exited && outcome.exit_status == 255) << media::e2e::describe(outcome);
    EXPECT_LT(outcome.ended - signalled, kExitAfterSignal);
    EXPECT_TRUE(media::e2e::directory_entries(workdir()).empty());

    const std::vector<std::string> lines = out_lines();
    EXPECT_TRUE(media::e2e::all_lines_well_formed(lines));
    EXPECT_EQ(count_lines(lines, "Received signal 2, exiting..."), 1u);
    EXPECT_TRUE(find_line(lines, "[Decoder] initialization failed"));
    EXPECT_EQ(count_lines(lines, "start worker"), 0u);
}

struct MidRunCase {
    const char* name;
    const char* fault;
    const char* line_before_signal;  // the state the signal must find the program in
};

class SignalMidRun : public media::e2e::DemoTest, public ::testing::WithParamInterface<MidRunCase> {};

TEST_P(SignalMidRun, SigintStopsInOrderWithZero) {
    const MidRunCase& c = GetParam();
    FaultyRtsp source(c.fault, 30s);
    start({source.url()});
    ASSERT_TRUE(wait_for_file("5.jpg", 30s)) << "no images before the fault";
    source.strike();
    if (c.line_before_signal != nullptr) {
        ASSERT_TRUE(wait_for_line(c.line_before_signal, 30s)) << "never reached: " << c.line_before_signal;
    } else {
        // Inside a read that bytes keep arriving for, well before the watchdog's two seconds.
        std::this_thread::sleep_for(700ms);
        ASSERT_EQ(count_lines(out_lines(), "read av_packet failed"), 0u) << "the read ended before the signal";
    }
    const int written = leading_images(workdir());
    const ImageSnapshot before = snapshot_images(workdir(), written);
    const auto signalled = Clock::now();
    process().send_signal(SIGINT);

    const media::e2e::DemoOutcome outcome = finish(30s);
    EXPECT_TRUE(outcome.exited && outcome.exit_status == 0) << media::e2e::describe(outcome);
    EXPECT_LT(outcome.ended - signalled, kExitAfterSignal);
    EXPECT_TRUE(media::e2e::holds_exactly_images(workdir(), written));
    EXPECT_TRUE(images_unchanged(workdir(), before));

    const std::vector<std::string> lines = out_lines();
    EXPECT_TRUE(media::e2e::all_lines_well_formed(lines));
    const auto received = find_line(lines, "Received signal 2, exiting...");
    const auto worker_done = find_line(lines, "[Decoder] worker thread finished");
    const auto done = find_line(lines, "[Decoder] finished");
    ASSERT_TRUE(received && worker_done && done) << "no orderly shutdown";
    EXPECT_LT(*received, *worker_done);
    EXPECT_LT(*worker_done, *done);
    EXPECT_EQ(count_lines(lines, "reconnect url successful"), 0u);
    // The attempt under way when the signal came may finish; no new one starts.
    const std::vector<std::string> after(lines.begin() + static_cast<std::ptrdiff_t>(*received), lines.end());
    EXPECT_LE(count_lines(after, "[Decoder] disconnect url"), 1u) << "reconnection went on after SIGINT";
}

INSTANTIATE_TEST_SUITE_P(
    States, SignalMidRun,
    ::testing::Values(MidRunCase{"WaitingToReconnect", "outage", "[Decoder] reconnect url failed, reconnection count 1"},
                      MidRunCase{"ReadingBytesThatNeverMakeAPacket", "garbage", nullptr}),
    [](const ::testing::TestParamInfo<MidRunCase>& tested) { return std::string(tested.param.name); });

}  // namespace
}  // namespace faults
}  // namespace media
