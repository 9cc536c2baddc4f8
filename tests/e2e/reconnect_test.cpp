// The RTSP server goes away in the middle of a run and comes back on the same port:
// media_demo counts the failed reads, rebuilds the chain once a second until the server
// answers, and carries on numbering where it stopped.

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
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

constexpr auto kServerDown = std::chrono::seconds(4);

// Position of the first line containing `needle`, or the end when there is none.
std::size_t position(const std::vector<std::string>& lines, const std::string& needle) {
    return find_line(lines, needle).value_or(lines.size());
}

class DemoReconnect : public DemoTest {};

TEST_F(DemoReconnect, ServerStopsAndReturns_ReconnectsAndKeepsNumbering) {
    const int port = media::test::free_tcp_port();
    media::test::ServerProcess server = media::test::start_rtsp_server(port);
    const std::string url = "rtsp://127.0.0.1:" + std::to_string(port) + "/h264";
    std::optional<StreamKeeper> keeper(std::in_place, url, scratch());
    start({url});

    // The live stream gives 52 images in about two seconds, so the server goes as soon
    // as the first few exist.
    ASSERT_TRUE(wait_for_file("2.jpg", std::chrono::seconds(30))) << "no images from the first server";
    server.stop();
    const auto stopped = Clock::now();
    keeper.reset();
    ASSERT_FALSE(std::filesystem::exists(workdir() + "/51.jpg")) << "the run ended before the server stopped";
    std::this_thread::sleep_for(kServerDown);
    const auto restarted = std::filesystem::file_time_type::clock::now();
    server = media::test::start_rtsp_server(port);
    keeper.emplace(url, scratch());
    const double seconds_down = static_cast<double>(ms(Clock::now() - stopped)) / 1000.0;

    const DemoOutcome outcome = finish(std::chrono::seconds(60));
    expect_complete_run(outcome, {{320, 240}});
    EXPECT_GE(std::filesystem::last_write_time(workdir() + "/51.jpg"), restarted)
        << "the last image predates the server's return";

    const std::vector<std::string> lines = out_lines();
    const std::size_t first_failure = position(lines, "[Decoder] read av_packet failed, continuous failure count 0");
    const std::size_t disconnect = position(lines, "[Decoder] disconnect url");
    const std::size_t first_refused = position(lines, "[Decoder] reconnect url failed, reconnection count 0");
    const std::size_t success = position(lines, "[Decoder] reconnect url successful");
    const std::size_t worker_done = position(lines, "[Decoder] worker thread finished");
    ASSERT_LT(first_failure, disconnect) << "no failed reads before the disconnection";
    ASSERT_LT(disconnect, first_refused) << "no refused reconnection while the server was down";
    ASSERT_LT(first_refused, success) << "never reconnected";
    EXPECT_LT(success, worker_done);

    const std::vector<std::string> leading(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(disconnect));
    std::vector<long> counts;
    for (long n = 0; n <= 20; ++n) counts.push_back(n);
    EXPECT_EQ(numbers_after(leading, "continuous failure count "), counts) << "21 failures in a row must disconnect";

    // One attempt a second while the server was away (a slow server start adds to that),
    // counted without a gap; attempts without the pause would number in the thousands.
    const std::vector<long> attempts = numbers_after(lines, "reconnection count ");
    EXPECT_GE(attempts.size(), 2u);
    EXPECT_LE(static_cast<double>(attempts.size()), seconds_down + 3.0)
        << "reconnection attempts are not spaced a second apart; the server was away " << seconds_down << " s";
    for (std::size_t i = 0; i < attempts.size(); ++i) EXPECT_EQ(attempts[i], static_cast<long>(i));
}

}  // namespace
}  // namespace e2e
}  // namespace media
