// A password in the address must not be printed by the paths the first open does not
// take: reconnection (its failed opens, FFmpeg's own error lines, the second description
// of the input), and FFmpeg's own lines about the further addresses an input leads it to
// (HLS segments inherit the playlist's user information).

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "demo_test.h"
#include "faulty_rtsp.h"
#include "log_lines.h"
#include "server_process.h"

namespace media {
namespace faults {
namespace {

using namespace std::chrono_literals;

constexpr const char* kUser = "viewer";
constexpr const char* kPassword = "Pa55-w0rd";

class PasswordFault : public media::e2e::DemoTest {};

TEST_F(PasswordFault, SourceDropsAndReturns_PasswordNeverPrinted) {
    FaultyRtsp source("outage", 3s, {"--user", kUser, "--password", kPassword});
    start({source.url(std::string(kUser) + ":" + kPassword)});
    ASSERT_TRUE(wait_for_file("5.jpg", 30s)) << "no images before the fault";
    source.strike();

    const media::e2e::DemoOutcome outcome = finish(60s);
    expect_complete_run(outcome, {{320, 240}});
    EXPECT_EQ(out_text().find(kPassword), std::string::npos) << "the password is on standard output";
    EXPECT_EQ(err_text().find(kPassword), std::string::npos) << "the password is on standard error";

    const std::string redacted = source.url(std::string(kUser) + ":***");
    const std::vector<std::string> lines = out_lines();
    EXPECT_GE(media::e2e::count_lines(lines, "[Decoder]open url failed: " + redacted), 1u)
        << "no refused reconnection named the redacted address";
    EXPECT_GE(media::e2e::count_lines(lines, "[Decoder] reconnect url successful"), 1u);
}

TEST_F(PasswordFault, HlsSegmentsOpened_PasswordNeverPrinted) {
    media::test::ServerProcess server;
    server.start({"/usr/bin/python3", std::string(MEDIA_SOURCE_DIR) + "/tests/servers/hls_server.py",
                  media::test::test_media_path("h264.mp4")},
                 30s);
    const std::string address = "http://" + std::string(kUser) + ":" + kPassword + "@127.0.0.1:" +
                                std::to_string(server.port());
    const media::e2e::DemoOutcome outcome = run(address + "/list.m3u8", 60s);
    expect_complete_run(outcome, {{320, 240}});
    EXPECT_EQ(out_text().find(kPassword), std::string::npos) << "the password is on standard output";
    EXPECT_EQ(err_text().find(kPassword), std::string::npos) << "the password is on standard error";
    // FFmpeg announces each segment it opens: the line is there, with "***".
    const std::string segment = "http://" + std::string(kUser) + ":***@127.0.0.1:" +
                                std::to_string(server.port()) + "/list0.ts";
    EXPECT_NE(err_text().find(segment), std::string::npos) << "no redacted segment address on standard error";
}

}  // namespace
}  // namespace faults
}  // namespace media
