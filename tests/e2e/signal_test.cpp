// SIGINT: during a run it stops the worker and the program shuts down in order with
// exit status 0; during the final five-second pause it cuts the pause short.

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "demo_test.h"
#include "log_lines.h"
#include "server_process.h"
#include "stream_keeper.h"

namespace media {
namespace e2e {
namespace {

const PictureSize kSmall{320, 240};

// Far below the five-second pause, far above the time an orderly exit takes.
constexpr auto kMaxExitAfterSignal = std::chrono::seconds(3);

// How many of 0.jpg, 1.jpg, ... exist without a gap.
int leading_images(const std::string& dir) {
    int n = 0;
    while (std::filesystem::exists(dir + "/" + std::to_string(n) + ".jpg")) ++n;
    return n;
}

class DemoSigint : public DemoTest {};

TEST_F(DemoSigint, LiveRun_StopsItInOrder) {
    media::test::ServerProcess server = media::test::start_rtsp_server();
    const std::string url = "rtsp://127.0.0.1:" + std::to_string(server.port()) + "/h264";
    const StreamKeeper keeper(url, scratch());
    start({url});
    ASSERT_TRUE(wait_for_file("0.jpg", std::chrono::seconds(30))) << "no image from the live stream";
    const auto signalled = Clock::now();
    process().send_signal(SIGINT);

    const DemoOutcome outcome = finish(std::chrono::seconds(30));
    EXPECT_TRUE(outcome.exited && outcome.exit_status == 0) << describe(outcome);
    // Ctrl-C ends the program: the final pause does not follow it.
    EXPECT_LT(ms(outcome.ended - signalled), ms(kMaxExitAfterSignal));

    const int written = leading_images(workdir());
    EXPECT_GE(written, 1);
    EXPECT_LT(written, kImageCount) << "the run was not stopped early";
    EXPECT_TRUE(holds_exactly_images(workdir(), written));
    EXPECT_TRUE(images_are_pictures(workdir(), written, {kSmall}));

    const std::vector<std::string> lines = out_lines();
    EXPECT_TRUE(all_lines_well_formed(lines));
    EXPECT_EQ(count_lines(lines, "Received signal 2, exiting..."), 1u);
    const auto worker_done = find_line(lines, "[Decoder] worker thread finished");
    const auto done = find_line(lines, "[Decoder] finished");
    ASSERT_TRUE(worker_done && done) << "no orderly shutdown";
    EXPECT_LT(*worker_done, *done);
}

TEST_F(DemoSigint, FinalPause_CutsItShort) {
    start({media::test::test_media_path("h264.mp4")});
    ASSERT_TRUE(wait_for_line("[Decoder] finished", std::chrono::seconds(30))) << "the run did not finish";
    // Lets the main thread get from its last line into the pause itself.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_FALSE(process().finished()) << "exited without the final pause";
    const auto signalled = Clock::now();
    process().send_signal(SIGINT);

    const DemoOutcome outcome = finish(std::chrono::seconds(30));
    EXPECT_LT(ms(outcome.ended - signalled), ms(kMaxExitAfterSignal)) << "the pause ran on after SIGINT";
    expect_complete_run(outcome, {kSmall});

    const std::vector<std::string> lines = out_lines();
    const auto done = find_line(lines, "[Decoder] finished");
    const auto received = find_line(lines, "Received signal 2, exiting...");
    ASSERT_TRUE(done && received);
    EXPECT_LT(*done, *received);
}

}  // namespace
}  // namespace e2e
}  // namespace media
