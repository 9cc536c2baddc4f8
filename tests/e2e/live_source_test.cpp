// media_demo reading live streams from the loopback test servers: RTSP in H.264, HEVC
// and Motion JPEG, RTSP with the audio stream first, slow and long-GOP cameras, and RTMP
// through nginx.

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

const PictureSize kSmall{320, 240};

struct MountCase {
    const char* name;
    const char* path;
    const char* decoder;   // FFmpeg's own decoder for the codec
    const char* hardware;  // the decoder this build tries first
};

// Names the case in gtest's messages instead of dumping its bytes.
void PrintTo(const MountCase& c, std::ostream* os) { *os << c.name; }

// The one decoder opened must be one for the mount's codec.
bool opened_decoder_for(const std::vector<std::string>& lines, const MountCase& mount) {
    const std::size_t own = count_lines(lines, "decoder " + std::string(mount.decoder) + " opened");
    const std::size_t board = count_lines(lines, "decoder " + std::string(mount.hardware) + " opened");
    return own + board == 1 && count_lines(lines, " opened, gpu ") == 1;
}

class DemoRtsp : public DemoTest, public ::testing::WithParamInterface<MountCase> {};

TEST_P(DemoRtsp, LiveStream_WritesFiftyTwoImages) {
    media::test::ServerProcess server = media::test::start_rtsp_server();
    const std::string url = "rtsp://127.0.0.1:" + std::to_string(server.port()) + GetParam().path;
    const StreamKeeper keeper(url, scratch());
    const DemoOutcome outcome = run(url);
    expect_complete_run(outcome, {kSmall});

    const std::vector<std::string> lines = out_lines();
    EXPECT_TRUE(opened_decoder_for(lines, GetParam()));
    EXPECT_EQ(count_lines(lines, "[Decoder] disconnect url"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Mounts, DemoRtsp,
                         ::testing::Values(MountCase{"H264", "/h264", "h264", MEDIA_H264_DECODER},
                                           MountCase{"Hevc", "/hevc", "hevc", MEDIA_HEVC_DECODER},
                                           MountCase{"Mjpeg", "/mjpeg", "mjpeg", MEDIA_MJPEG_DECODER},
                                           MountCase{"AudioFirst", "/av", "h264", MEDIA_H264_DECODER}),
                         [](const ::testing::TestParamInfo<MountCase>& tested) { return std::string(tested.param.name); });

struct CameraCase {
    const char* name;
    const char* path;
    bool joined;  // another client streams first, so the run starts between keyframes
};

void PrintTo(const CameraCase& c, std::ostream* os) { *os << c.name; }

class DemoCamera : public DemoTest, public ::testing::WithParamInterface<CameraCase> {};

// Cameras that probing used to refuse (too slow to count twenty pictures within the
// watchdog) or whose first pictures came out grey (decoded without their keyframe).
TEST_P(DemoCamera, OpensAndWritesFiftyTwoColourImages) {
    media::test::ServerProcess server = media::test::start_rtsp_server();
    const std::string url = "rtsp://127.0.0.1:" + std::to_string(server.port()) + GetParam().path;
    std::optional<StreamKeeper> keeper;
    if (GetParam().joined) keeper.emplace(url, scratch());
    const DemoOutcome outcome = run(url);
    expect_complete_run(outcome, {kSmall});

    const std::vector<std::string> lines = out_lines();
    EXPECT_EQ(count_lines(lines, "read av_packet failed"), 0u);
    EXPECT_LE(count_lines(lines, "[Decoder] waiting for a keyframe"), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Cameras, DemoCamera,
    ::testing::Values(CameraCase{"H264FiveFps", "/h264_5fps_gop2", false},
                      CameraCase{"HevcJoinedBetweenKeyframes", "/hevc_25fps_gop4", true},
                      CameraCase{"H264IntraRefreshJoined", "/h264_intra_refresh", true}),
    [](const ::testing::TestParamInfo<CameraCase>& tested) { return std::string(tested.param.name); });

class DemoRtmp : public DemoTest {};

TEST_F(DemoRtmp, LiveStream_WritesFiftyTwoImages) {
    media::test::ServerProcess server = media::test::start_rtmp_server();
    const DemoOutcome outcome = run("rtmp://127.0.0.1:" + std::to_string(server.port()) + "/live/test");
    expect_complete_run(outcome, {kSmall});

    const std::vector<std::string> lines = out_lines();
    EXPECT_EQ(count_lines(lines, "read av_packet failed"), 0u);
    EXPECT_EQ(count_lines(lines, "av_read_frame time out"), 0u);
}

// The test server holds a new player back to the next keyframe: after its answer to the
// play request, nothing at all for up to a keyframe interval, here four seconds.
TEST_F(DemoRtmp, FiveFpsKeyframeEveryFourSeconds_OpensBehindAServerWaitingForAKeyframe) {
    media::test::ServerProcess server =
        media::test::start_rtmp_server(media::test::test_media_path("h264_5fps_gop4.mp4"));
    const DemoOutcome outcome = run("rtmp://127.0.0.1:" + std::to_string(server.port()) + "/live/test");
    expect_complete_run(outcome, {kSmall});
    EXPECT_EQ(count_lines(out_lines(), "read av_packet failed"), 0u);
}

}  // namespace
}  // namespace e2e
}  // namespace media
