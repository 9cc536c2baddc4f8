// Sources that never deliver a picture stream: nothing listening, a server that stays
// silent, answers RTSP with an error status or sends garbage, and files that are not
// media or hold no video. media_demo must say so, exit with status 255 within the
// watchdog's bounds and write nothing.

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "demo_test.h"
#include "log_lines.h"
#include "server_process.h"

namespace media {
namespace faults {
namespace {

using namespace std::chrono_literals;
using media::e2e::find_line;

enum class Source { RefusedPort, SilentServer, RtspErrorServer, GarbageServer, TricklingServer, RandomBytesFile,
                    AudioOnlyFile, HeaderCutFile };

struct StartupCase {
    const char* name;
    Source source;
    const char* reason;  // text the FFmpeg error line must carry; null: not checked
    // Socket timeout or watchdog (2 s each), twice at most, and no final pause; an open
    // kept going by bytes that never make a reply ends at its bound of 12 s plus 2.
    std::chrono::seconds within = 8s;
};

class StartupFault : public media::e2e::DemoTest, public ::testing::WithParamInterface<StartupCase> {
protected:
    // A file whose index sits at its end, cut before it: the header promises what never comes.
    std::string header_cut_file() {
        const std::string whole = media::e2e::read_text(media::test::test_media_path("h264_nobframes.mp4"));
        const std::string path = workdir() + "/../header-cut.mp4";
        std::ofstream(path, std::ios::binary) << whole.substr(0, whole.size() / 2);
        return path;
    }

    std::string rtsp_address(const media::test::ServerProcess& server) const {
        return "rtsp://127.0.0.1:" + std::to_string(server.port()) + "/h264";
    }
};

TEST_P(StartupFault, BadSource_FailsFastWith255) {
    media::test::ServerProcess server;
    std::string source;
    switch (GetParam().source) {
        case Source::RefusedPort:
            source = "rtsp://127.0.0.1:" + std::to_string(media::test::free_tcp_port()) + "/h264";
            break;
        case Source::SilentServer:
            server = media::test::start_misbehaving_server("silent");
            source = rtsp_address(server);
            break;
        case Source::RtspErrorServer:
            server = media::test::start_misbehaving_server("rtsp-error");
            source = rtsp_address(server);
            break;
        case Source::GarbageServer:
            server = media::test::start_misbehaving_server("garbage");
            source = rtsp_address(server);
            break;
        case Source::TricklingServer:
            server = media::test::start_misbehaving_server("trickle");
            source = rtsp_address(server);
            break;
        case Source::RandomBytesFile: source = media::test::test_media_path("random.bin"); break;
        case Source::AudioOnlyFile: source = media::test::test_media_path("audio_only.m4a"); break;
        case Source::HeaderCutFile: source = header_cut_file(); break;
    }

    const media::e2e::DemoOutcome outcome = run(source, 30s);
    EXPECT_TRUE(outcome.exited && outcome.exit_status == 255) << media::e2e::describe(outcome);
    EXPECT_LT(outcome.elapsed, GetParam().within);
    EXPECT_TRUE(media::e2e::directory_entries(workdir()).empty()) << "a failed start wrote files";

    const std::vector<std::string> lines = out_lines();
    EXPECT_TRUE(media::e2e::all_lines_well_formed(lines));
    const auto opening = find_line(lines, "[Decoder]open url failed: " + source);
    const auto failed = find_line(lines, "[Decoder] initialization failed");
    ASSERT_TRUE(opening && failed) << "no failure lines";
    EXPECT_EQ(*failed + 1, lines.size()) << "lines after the failure";
    EXPECT_EQ(media::e2e::count_lines(lines, "start worker"), 0u);
    if (GetParam().reason != nullptr) {
        const auto reason = find_line(lines, "[AV_STRERROR]: " + std::string(GetParam().reason));
        ASSERT_TRUE(reason) << "no error line naming: " << GetParam().reason;
        EXPECT_LT(*reason, *opening);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, StartupFault,
    ::testing::Values(StartupCase{"ConnectionRefused", Source::RefusedPort, "Connection refused"},
                      StartupCase{"AcceptedButSilent", Source::SilentServer, nullptr},
                      StartupCase{"RtspErrorStatus", Source::RtspErrorServer, "Server returned 404 Not Found"},
                      StartupCase{"GarbageOnRtspPort", Source::GarbageServer, nullptr},
                      StartupCase{"ReplyThatNeverEnds", Source::TricklingServer, nullptr, 20s},
                      StartupCase{"RandomBytesFile", Source::RandomBytesFile, "Invalid data found"},
                      StartupCase{"AudioOnlyFile", Source::AudioOnlyFile, nullptr},
                      StartupCase{"HeaderCutFile", Source::HeaderCutFile, nullptr}),
    [](const ::testing::TestParamInfo<StartupCase>& tested) { return std::string(tested.param.name); });

}  // namespace
}  // namespace faults
}  // namespace media
