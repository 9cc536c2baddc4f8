// A password in the address never reaches the output: whether the run succeeds, the
// server rejects the password or nothing listens, both output streams show the address
// with "***" in its place.

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "demo_test.h"
#include "log_lines.h"
#include "server_process.h"
#include "stream_keeper.h"

namespace media {
namespace e2e {
namespace {

constexpr const char* kUser = "viewer";
constexpr const char* kPassword = "secret";

struct PasswordCase {
    const char* name;
    bool listening;               // false: a port with nothing behind it
    const char* server_password;  // what the server accepts
    bool opens;
};

// Names the case in gtest's messages instead of dumping its bytes.
void PrintTo(const PasswordCase& c, std::ostream* os) { *os << c.name; }

class DemoPassword : public DemoTest, public ::testing::WithParamInterface<PasswordCase> {};

TEST_P(DemoPassword, PasswordInAddress_NeverPrinted) {
    media::test::ServerProcess server;
    int port = 0;
    if (GetParam().listening) {
        server = media::test::start_rtsp_server(0, {"--user", kUser, "--password", GetParam().server_password});
        port = server.port();
    } else {
        port = media::test::free_tcp_port();
    }
    const std::string address = "rtsp://" + std::string(kUser) + ":" + kPassword + "@127.0.0.1:" +
                                std::to_string(port) + "/h264";
    const std::string redacted = "rtsp://" + std::string(kUser) + ":***@127.0.0.1:" + std::to_string(port) + "/h264";

    std::optional<StreamKeeper> keeper;
    if (GetParam().opens) keeper.emplace(address, scratch());
    const DemoOutcome outcome = run(address);
    const std::string out = out_text();
    const std::string err = err_text();
    EXPECT_EQ(out.find(kPassword), std::string::npos) << "the password is on standard output";
    EXPECT_EQ(err.find(kPassword), std::string::npos) << "the password is on standard error";

    if (GetParam().opens) {
        expect_complete_run(outcome, {{320, 240}});
        // FFmpeg's description of the input names the address.
        EXPECT_NE(err.find(redacted), std::string::npos) << "no redacted address on standard error";
    } else {
        EXPECT_TRUE(outcome.exited && outcome.exit_status == 255) << describe(outcome);
        EXPECT_EQ(count_lines(out_lines(), "[Decoder]open url failed: " + redacted), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, DemoPassword,
                         ::testing::Values(PasswordCase{"Accepted", true, kPassword, true},
                                           PasswordCase{"Rejected", true, "other-word", false},
                                           PasswordCase{"NothingListening", false, "", false}),
                         [](const ::testing::TestParamInfo<PasswordCase>& tested) { return std::string(tested.param.name); });

}  // namespace
}  // namespace e2e
}  // namespace media
