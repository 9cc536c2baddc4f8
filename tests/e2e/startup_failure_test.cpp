// Runs that cannot start: a missing or empty argument, and sources that cannot be opened
// or hold no video. Each exits with status 255 at once, without the final pause.

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

using std::chrono::milliseconds;

// The final pause is five seconds; a run that fails must end well before that.
constexpr milliseconds kFastFailure(4500);
// From the failure line to the exit: nothing left to do but return.
constexpr milliseconds kExitAfterFailureLine(1500);

void expect_single_error_line(const std::vector<std::string>& lines, const std::string& message) {
    ASSERT_EQ(lines.size(), 1u) << "expected only the error line";
    const auto parts = parse_line(lines[0]);
    ASSERT_TRUE(parts) << "malformed line: " << lines[0];
    EXPECT_EQ(parts->level, "error");
    EXPECT_EQ(parts->message, message);
}

struct ProgramName {
    const char* name;
    const char* argv0;  // null: the program's full path
};

// Names the case in gtest's messages instead of dumping its bytes.
void PrintTo(const ProgramName& c, std::ostream* os) { *os << c.name; }

class DemoUsage : public DemoTest, public ::testing::WithParamInterface<ProgramName> {};

// The usage line names the program the way it was started, whatever that was.
TEST_P(DemoUsage, NoArgument_PrintsUsageAndExits255) {
    const std::string argv0 = GetParam().argv0 != nullptr ? GetParam().argv0 : MEDIA_DEMO_PATH;
    start_as(argv0, {});
    const DemoOutcome outcome = finish(kRunLimit);
    EXPECT_TRUE(outcome.exited && outcome.exit_status == 255) << describe(outcome);
    EXPECT_LT(ms(outcome.elapsed), ms(kFastFailure));
    expect_single_error_line(out_lines(), "Usage: " + argv0 + " <rtsp_url>");
    EXPECT_EQ(err_text(), "");
    EXPECT_TRUE(directory_entries(workdir()).empty());
}

INSTANTIATE_TEST_SUITE_P(ProgramNames, DemoUsage,
                         ::testing::Values(ProgramName{"FullPath", nullptr}, ProgramName{"BareName", "media_demo"},
                                           ProgramName{"Renamed", "./renamed demo"}),
                         [](const ::testing::TestParamInfo<ProgramName>& tested) { return std::string(tested.param.name); });

class DemoArgument : public DemoTest {};

TEST_F(DemoArgument, EmptyArgument_SaysSoAndExits255) {
    const DemoOutcome outcome = run("");
    EXPECT_TRUE(outcome.exited && outcome.exit_status == 255) << describe(outcome);
    EXPECT_LT(ms(outcome.elapsed), ms(kFastFailure));
    expect_single_error_line(out_lines(), "RTSP URL cannot be empty");
    EXPECT_EQ(err_text(), "");
    EXPECT_TRUE(directory_entries(workdir()).empty());
}

enum class Source { MissingFile, AudioOnlyFile, RefusedPort, SilentServer };

struct UnopenableCase {
    const char* name;
    Source source;
    milliseconds min_time;  // zero: fails as fast as it likes
    milliseconds max_time;
};

void PrintTo(const UnopenableCase& c, std::ostream* os) { *os << c.name; }

class DemoUnopenable : public DemoTest, public ::testing::WithParamInterface<UnopenableCase> {};

TEST_P(DemoUnopenable, BadSource_InitializationFailsAndExits255) {
    media::test::ServerProcess server;
    std::string source;
    switch (GetParam().source) {
        case Source::MissingFile: source = workdir() + "/../no-such-file.mp4"; break;
        case Source::AudioOnlyFile: source = media::test::test_media_path("audio_only.m4a"); break;
        case Source::RefusedPort:
            source = "rtsp://127.0.0.1:" + std::to_string(media::test::free_tcp_port()) + "/h264";
            break;
        case Source::SilentServer:
            server = media::test::start_misbehaving_server("silent");
            source = "rtsp://127.0.0.1:" + std::to_string(server.port()) + "/h264";
            break;
    }

    const DemoOutcome outcome = run(source);
    EXPECT_TRUE(outcome.exited && outcome.exit_status == 255) << describe(outcome);
    if (GetParam().min_time.count() > 0) {
        EXPECT_GE(ms(outcome.elapsed), ms(GetParam().min_time));
    }
    EXPECT_LT(ms(outcome.elapsed), ms(GetParam().max_time));
    EXPECT_TRUE(directory_entries(workdir()).empty());

    const std::vector<std::string> lines = out_lines();
    EXPECT_TRUE(all_lines_well_formed(lines));
    const auto opening = find_line(lines, "[Decoder]open url failed: " + source);
    const auto failed = find_line(lines, "[Decoder] initialization failed");
    ASSERT_TRUE(opening && failed);
    EXPECT_EQ(*failed + 1, lines.size()) << "lines after the failure";
    EXPECT_EQ(count_lines(lines, "start worker"), 0u);

    // The pause is skipped: the program ends right after saying it failed.
    const auto failed_at = line_time(lines[*failed]);
    ASSERT_TRUE(failed_at);
    const auto exited_at = std::chrono::system_clock::now() - (Clock::now() - outcome.ended);
    EXPECT_LT(ms(exited_at - *failed_at), ms(kExitAfterFailureLine));
}

// A silent server is given up on by the RTSP socket timeout or the read watchdog (both
// 2 s), whichever comes first, so it fails neither at once nor after more than about two
// seconds.
INSTANTIATE_TEST_SUITE_P(
    Sources, DemoUnopenable,
    ::testing::Values(UnopenableCase{"MissingFile", Source::MissingFile, milliseconds(0), kFastFailure},
                      UnopenableCase{"AudioOnlyFile", Source::AudioOnlyFile, milliseconds(0), kFastFailure},
                      UnopenableCase{"RefusedPort", Source::RefusedPort, milliseconds(0), kFastFailure},
                      UnopenableCase{"SilentServer", Source::SilentServer, milliseconds(900), milliseconds(3500)}),
    [](const ::testing::TestParamInfo<UnopenableCase>& tested) { return std::string(tested.param.name); });

}  // namespace
}  // namespace e2e
}  // namespace media
