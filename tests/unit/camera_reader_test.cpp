// Camera readers against live loopback servers, several in one process: each keeps its own
// connection, watchdog and stop, whatever its siblings on the same server do.

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "media/reader/camera_reader.h"
#include "server_process.h"

namespace {

using media::reader::CameraReader;
using media::reader::Delivery;
using media::reader::Event;
using media::reader::EventKind;
using media::reader::Image;
using media::reader::ReaderOptions;
using media::reader::State;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::string rtsp_url(int port, const std::string& path) { return "rtsp://127.0.0.1:" + std::to_string(port) + path; }

ReaderOptions every_image() {
    ReaderOptions options;
    options.delivery = Delivery::EveryImage;
    options.queue_capacity = 1000;
    options.log = [](media::reader::LogLevel, const std::string&) {};
    return options;
}

// The first event of `kind` polled within `timeout`; false when none came.
bool wait_event(CameraReader& reader, EventKind kind, milliseconds timeout, Event& found) {
    const Clock::time_point until = Clock::now() + timeout;
    while (Clock::now() < until) {
        while (reader.poll_event(found)) {
            if (found.kind == kind) return true;
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
    return false;
}

// Every image the reader hands out until `until`: none may be missing, each one picture
// interval after the one before.
void expect_every_picture(CameraReader& reader, Clock::time_point until, int& images) {
    Image image;
    int64_t last_pts = -1;
    uint64_t expected = 0;
    while (Clock::now() < until && reader.take(image, milliseconds(1000))) {
        ASSERT_EQ(image.sequence, expected) << reader.name();
        ASSERT_EQ(image.bgr->type(), CV_8UC3);
        ASSERT_EQ(image.bgr->cols, 320);
        ASSERT_EQ(image.bgr->rows, 240);
        if (last_pts >= 0) {
            EXPECT_NEAR(static_cast<double>(image.pts_us - last_pts), 40000.0, 1000.0) << reader.name() << " image " << image.sequence;
        }
        last_pts = image.pts_us;
        ++expected;
        ++images;
    }
}

// Three streams of one server through one host and port: two readers of one mount (the
// main and sub stream of a camera), a third of another mount that stalls. The stalled one
// is cut by its own watchdog and reconnects; the other two go on without a gap, each
// picture out at its marker, and nothing of one reader reaches the others. The shared
// mount is a camera's, which keeps streaming as it was when a client joins: the server
// restarts its other shared streams for each client that joins, which sets the clock of
// those already reading back and cuts the picture in flight.
TEST(CameraReader, StalledSiblingReconnectsWhileTheOthersDeliverEveryPictureAtTheirMarker) {
    media::test::ServerProcess server = media::test::start_rtsp_server();
    media::test::ServerProcess proxy =
        media::test::start_fault_proxy(server.port(), "freeze", std::chrono::seconds(10), "/h264_slices4");
    const std::string camera = "/h264_25fps_gop1";
    CameraReader main_stream(rtsp_url(proxy.port(), camera), every_image());
    // The test server aborts when a second client joins a mount it is still preparing
    // for the first; a camera has its stream going already.
    ASSERT_EQ(main_stream.wait_opened(milliseconds(10000)), State::Running) << main_stream.failure();
    CameraReader sub_stream(rtsp_url(proxy.port(), camera), every_image());
    ReaderOptions quiet;
    quiet.log = [](media::reader::LogLevel, const std::string&) {};
    CameraReader stalling(rtsp_url(proxy.port(), "/h264_slices4"), quiet);
    for (CameraReader* reader : {&sub_stream, &stalling}) {
        ASSERT_EQ(reader->wait_opened(milliseconds(10000)), State::Running) << reader->failure();
    }

    int main_images = 0;
    int sub_images = 0;
    const Clock::time_point until = Clock::now() + milliseconds(6000);
    std::thread sub([&] { expect_every_picture(sub_stream, until, sub_images); });
    std::this_thread::sleep_for(milliseconds(1000));
    Image before;
    ASSERT_TRUE(stalling.take(before, milliseconds(1000)));
    media::test::strike(proxy);
    const Clock::time_point struck = Clock::now();
    Event event;
    ASSERT_TRUE(wait_event(stalling, EventKind::ReadFailed, milliseconds(4000), event));
    EXPECT_LT(event.when - struck, milliseconds(3200)) << "the proxy notices the signal within 0.2 s";
    ASSERT_TRUE(wait_event(stalling, EventKind::Reconnected, milliseconds(5000), event));
    expect_every_picture(main_stream, until, main_images);
    sub.join();

    Image after;
    ASSERT_TRUE(stalling.take(after, milliseconds(3000)));
    EXPECT_EQ(after.reconnections, 1u);
    EXPECT_GT(after.sequence, before.sequence);
    for (CameraReader* reader : {&main_stream, &sub_stream}) {
        EXPECT_EQ(reader->stats().failed_reads, 0u) << reader->name();
        EXPECT_TRUE(reader->stats().pictures_end_at_marker) << reader->name();
    }
    // Six seconds at 25 pictures a second, less the time to the first.
    EXPECT_GT(main_images, 120);
    EXPECT_GT(sub_images, 120);
}

// A source that sets its clock back in mid-stream. One second back: the pictures until
// its clock passes the last image's again are dropped and counted. Three seconds back:
// the next keyframe starts a new clock, and the times go on one picture interval after
// the last image's instead of leaving the reader blind for those seconds.
TEST(CameraReader, ImageTimesOnlyGoForwardWhenTheSourceSetsItsClockBack) {
    media::test::ServerProcess server = media::test::start_rtsp_server();
    media::test::ServerProcess second_back = media::test::start_fault_proxy(server.port(), "rewind", std::chrono::seconds(1));
    media::test::ServerProcess seconds_back = media::test::start_fault_proxy(server.port(), "rewind", std::chrono::seconds(3));
    CameraReader dropping(rtsp_url(second_back.port(), "/h264_25fps_gop1"), every_image());
    CameraReader restarting(rtsp_url(seconds_back.port(), "/h264_25fps_gop1"), every_image());
    for (CameraReader* reader : {&dropping, &restarting}) {
        ASSERT_EQ(reader->wait_opened(milliseconds(10000)), State::Running) << reader->failure();
    }
    std::this_thread::sleep_for(milliseconds(500));
    media::test::strike(second_back);
    media::test::strike(seconds_back);

    for (CameraReader* reader : {&dropping, &restarting}) {
        Image image;
        int64_t last_pts = -1;
        int images = 0;
        const Clock::time_point until = Clock::now() + milliseconds(3500);
        // The dropped pictures leave a second without images.
        while (Clock::now() < until && reader->take(image, milliseconds(2000))) {
            ++images;
            if (last_pts >= 0) {
                ASSERT_GT(image.pts_us, last_pts) << reader->name() << " image " << image.sequence;
            }
            last_pts = image.pts_us;
        }
        EXPECT_GT(images, 60) << reader->name();
    }
    // 25 pictures, from the first one set back to the one at the last image's time.
    EXPECT_GE(dropping.stats().time_went_back, 24u);
    EXPECT_LE(dropping.stats().time_went_back, 26u);
    // At most the pictures before the next keyframe, a second at 25 a second, not the
    // three seconds until the source's clock passes the last image's again.
    EXPECT_LE(restarting.stats().time_went_back, 25u);
}

// stop() ends the reader within 100 ms wherever it waits: opening a server that accepts
// and never answers, or in the pause before the next try to reconnect.
TEST(CameraReader, StopReturnsAtOnceWhileOpeningOrPausingBeforeReconnection) {
    media::test::ServerProcess silent = media::test::start_misbehaving_server("silent");
    CameraReader opening(rtsp_url(silent.port(), "/live"));
    std::this_thread::sleep_for(milliseconds(500));
    ASSERT_EQ(opening.state(), State::Opening);
    Clock::time_point asked = Clock::now();
    opening.stop();
    EXPECT_LT(Clock::now() - asked, milliseconds(100));
    EXPECT_EQ(opening.state(), State::Stopped);

    media::test::ServerProcess server = media::test::start_rtsp_server();
    media::test::ServerProcess proxy = media::test::start_fault_proxy(server.port(), "outage", std::chrono::seconds(30));
    CameraReader reconnecting(rtsp_url(proxy.port(), "/h264"));
    ASSERT_EQ(reconnecting.wait_opened(milliseconds(10000)), State::Running);
    media::test::strike(proxy);
    Event event;
    ASSERT_TRUE(wait_event(reconnecting, EventKind::ReconnectFailed, milliseconds(10000), event));
    std::this_thread::sleep_for(milliseconds(100));
    asked = Clock::now();
    reconnecting.stop();
    EXPECT_LT(Clock::now() - asked, milliseconds(100));
}

// A consumer slower than the camera gets the newest image each time, and learns how many
// it missed: every image is either taken or counted as dropped.
TEST(CameraReader, NewestOnlyHandsTheSlowConsumerTheNewestImageAndCountsTheRest) {
    media::test::ServerProcess server = media::test::start_rtsp_server();
    CameraReader reader(rtsp_url(server.port(), "/h264"));
    ASSERT_EQ(reader.wait_opened(milliseconds(10000)), State::Running);
    Image image;
    ASSERT_TRUE(reader.take(image, milliseconds(3000)));
    uint64_t accounted = image.sequence + 1;  // what came before the first take is not counted
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(milliseconds(200));  // a model at 5 pictures a second
        const uint64_t decoded_before = reader.stats().images;
        ASSERT_TRUE(reader.take(image, milliseconds(1000)));
        EXPECT_GE(image.sequence + 1, decoded_before) << "an older image than the newest";
        EXPECT_GE(image.dropped, 2u);
        accounted += image.dropped + 1;
        EXPECT_EQ(accounted, image.sequence + 1) << "an image neither taken nor counted";
    }
}

// A file is read as a file: every picture, the decoder's last ones included, in order, then
// State::Ended. A first open that fails ends the reader in State::Failed with FFmpeg's
// reason; neither hangs nor leaves a stop() to wait for.
TEST(CameraReader, FileEndsAfterItsLastPictureAndAFailedFirstOpenSaysWhy) {
    const std::string media_dir = MEDIA_TEST_MEDIA_DIR;
    CameraReader file(media_dir + "/h264.mp4", every_image());
    Image image;
    int64_t last_pts = -1;
    int images = 0;
    while (file.take(image, milliseconds(5000))) {
        EXPECT_GT(image.pts_us, last_pts);
        last_pts = image.pts_us;
        ++images;
    }
    EXPECT_EQ(images, 100) << "B-frames the decoder still held at the end are pictures too";
    EXPECT_EQ(file.state(), State::Ended);
    Event event;
    EXPECT_TRUE(wait_event(file, EventKind::Ended, milliseconds(100), event));
    EXPECT_EQ(file.stats().failed_reads, 0u);

    CameraReader missing(media_dir + "/no such file.mp4", every_image());
    ASSERT_EQ(missing.wait_opened(milliseconds(5000)), State::Failed);
    EXPECT_EQ(missing.failure_code(), -ENOENT);  // FFmpeg's AVERROR(ENOENT)
    EXPECT_NE(missing.failure().find("No such file or directory"), std::string::npos) << missing.failure();
    EXPECT_FALSE(missing.take(image, milliseconds(100)));
}

}  // namespace
