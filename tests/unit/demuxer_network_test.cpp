// The demuxer against live servers on 127.0.0.1: RTSP (several codecs, audio first,
// with authentication), RTMP through nginx, a server that never answers and a port
// with nothing listening.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "capture.h"
#include "fixtures.h"
#include "media/net/connection_activity.h"
#include "media/ffmpeg/decoder.h"
#include "media/ffmpeg/demuxer.h"
#include "loopback_connection.h"
#include "server_process.h"

namespace {

using media::ffmpeg::Demuxer;
using media::test::CoutCapture;
using Clock = std::chrono::steady_clock;

std::string rtsp_url(int port, const std::string& path) { return "rtsp://127.0.0.1:" + std::to_string(port) + path; }

// Reads up to 200 packets; returns how many belonged to the video stream, stopping at 10.
int read_video_packets(Demuxer& demuxer) {
    auto packet = media::ffmpeg::make_packet();
    int video = 0;
    for (int i = 0; i < 200 && video < 10; ++i) {
        if (demuxer.read_packet(packet) != 0) break;
        if (packet->stream_index == demuxer.get_video_stream_index()) {
            EXPECT_GT(packet->size, 0);
            ++video;
        }
        av_packet_unref(packet.get());
    }
    return video;
}

struct MountCase {
    const char* path;
    AVCodecID codec;
    int video_index;
};

class DemuxerNetwork_Rtsp : public ::testing::TestWithParam<MountCase> {};

TEST_P(DemuxerNetwork_Rtsp, OpensAndReadsVideo) {
    media::test::ServerProcess server = media::test::start_rtsp_server();
    auto demuxer = Demuxer::createShare();
    CoutCapture out;
    ASSERT_TRUE(demuxer->open(rtsp_url(server.port(), GetParam().path))) << out.text();
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(demuxer->get_suffix(), "rtsp");
    EXPECT_EQ(demuxer->get_video_stream_index(), GetParam().video_index);
    EXPECT_EQ(demuxer->get_video_codec_id(), GetParam().codec);
    EXPECT_EQ(out.text(), "");

    // Each packet is one whole picture, however many slices the sender cut it into.
    auto decoder = media::ffmpeg::Decoder::createShare(demuxer);
    ASSERT_TRUE(decoder->open());
    const std::size_t lines_before_reading = out.lines().size();
    auto packet = media::ffmpeg::make_packet();
    for (int pictures = 0; pictures < 10;) {
        ASSERT_EQ(demuxer->read_packet(packet), 0);
        if (packet->stream_index == demuxer->get_video_stream_index()) {
            ASSERT_TRUE(decoder->send(packet));
            auto frame = media::ffmpeg::make_frame();
            ASSERT_TRUE(decoder->receive(frame)) << "picture " << pictures;
            EXPECT_EQ(frame->decode_error_flags, 0) << "picture " << pictures;
            EXPECT_EQ(frame->flags & AV_FRAME_FLAG_CORRUPT, 0) << "picture " << pictures;
            ++pictures;
        }
        av_packet_unref(packet.get());
    }
    EXPECT_EQ(out.lines().size(), lines_before_reading) << out.text();
}

INSTANTIATE_TEST_SUITE_P(Mounts, DemuxerNetwork_Rtsp,
                         ::testing::Values(MountCase{"/h264", AV_CODEC_ID_H264, 0},
                                           MountCase{"/hevc", AV_CODEC_ID_HEVC, 0},
                                           MountCase{"/h264_slices4", AV_CODEC_ID_H264, 0},
                                           MountCase{"/hevc_slices4", AV_CODEC_ID_HEVC, 0},
                                           MountCase{"/mjpeg", AV_CODEC_ID_MJPEG, 0},
                                           MountCase{"/av", AV_CODEC_ID_H264, 1}),
                         [](const ::testing::TestParamInfo<MountCase>& p) {
                             return std::string(p.param.path + 1);
                         });

TEST(DemuxerNetwork_Rtmp, OpensAndReadsVideo) {
    media::test::ServerProcess server = media::test::start_rtmp_server();
    auto demuxer = Demuxer::createShare();
    CoutCapture out;
    const std::string url = "rtmp://127.0.0.1:" + std::to_string(server.port()) + "/live/test";
    ASSERT_TRUE(demuxer->open(url)) << out.text();
    EXPECT_EQ(demuxer->get_suffix(), "rtmp");
    EXPECT_EQ(demuxer->get_video_codec_id(), AV_CODEC_ID_H264);
    EXPECT_EQ(read_video_packets(*demuxer), 10) << out.text();
}

// Opens an address on a server that accepts and never answers; returns the seconds taken.
double open_silent(const std::string& scheme) {
    media::test::ServerProcess server = media::test::start_misbehaving_server("silent");
    auto demuxer = Demuxer::createShare();
    const auto start = Clock::now();
    EXPECT_FALSE(demuxer->open(scheme + "://127.0.0.1:" + std::to_string(server.port()) + "/live/x"));
    const double seconds = media::test::elapsed_ms(start) / 1000.0;
    auto packet = media::ffmpeg::make_packet();
    EXPECT_EQ(demuxer->read_packet(packet), -1);
    return seconds;
}

// RTSP's socket timeout or the watchdog, both two seconds, ends the wait: one failure line.
TEST(DemuxerNetwork_SilentRtspServer, OpenGivesUpAfterSocketTimeout) {
    CoutCapture out;
    const double seconds = open_silent("rtsp");
    EXPECT_GE(seconds, 0.9);
    EXPECT_LT(seconds, 8.0);
    EXPECT_EQ(out.count("]: [AV_STRERROR]: "), 1u) << out.text();
    EXPECT_EQ(out.count("[media][error]"), out.lines().size()) << out.text();
}

// RTMP has no socket timeout here: the two-second watchdog must abort the handshake.
TEST(DemuxerNetwork_SilentRtmpServer, WatchdogAbortsOpen) {
    CoutCapture out;
    const double seconds = open_silent("rtmp");
    EXPECT_GE(seconds, 1.9);
    EXPECT_LT(seconds, 8.0);
    // One cut, one line: closing the aborted input must not wake the watchdog again.
    EXPECT_EQ(out.count("]: av_read_frame time out"), 1u) << out.text();
    const std::string exit_line = "]: [AV_STRERROR]: " + media::test::av_error_text(AVERROR_EXIT) + " " +
                                  std::to_string(AVERROR_EXIT);
    EXPECT_EQ(out.count(exit_line), 1u) << out.text();
}

TEST(DemuxerNetwork_RefusedConnection, FailsFastWithLine) {
    const int port = media::test::free_tcp_port();
    for (const std::string& url : {rtsp_url(port, "/x"), "rtmp://127.0.0.1:" + std::to_string(port) + "/live/x"}) {
        auto demuxer = Demuxer::createShare();
        CoutCapture out;
        const auto start = Clock::now();
        EXPECT_FALSE(demuxer->open(url));
        EXPECT_LT(media::test::elapsed_ms(start), 2000.0) << url;
        EXPECT_EQ(out.count("]: [AV_STRERROR]: "), 1u) << out.text();
        EXPECT_EQ(out.count("av_read_frame time out"), 0u) << out.text();
    }
}

// The URL is printed by FFmpeg (stream description, on stderr) and may be logged on
// failure; the password must appear in neither.
TEST(DemuxerNetwork_Credentials, PasswordNeverPrinted) {
    const std::string password = "S3cretPassw0rd";
    media::test::ServerProcess server =
        media::test::start_rtsp_server(0, {"--user", "viewer", "--password", password});
    const std::string good = "rtsp://viewer:" + password + "@127.0.0.1:" + std::to_string(server.port()) + "/h264";
    const std::string bad = "rtsp://viewer:" + password + "X@127.0.0.1:" + std::to_string(server.port()) + "/h264";

    std::string log;
    std::string raw_out;
    std::string raw_err;
    bool opened = false;
    bool bad_opened = true;
    int packets = 0;
    {
        media::test::FdCapture fd2(2);
        media::test::FdCapture fd1(1);
        {
            CoutCapture out;
            auto demuxer = Demuxer::createShare();
            opened = demuxer->open(good);
            if (opened) packets = read_video_packets(*demuxer);
            demuxer->close();
            bad_opened = Demuxer::createShare()->open(bad);
            log = out.text();
        }
        raw_out = fd1.stop();
        raw_err = fd2.stop();
    }
    ASSERT_TRUE(opened) << log << raw_err;
    EXPECT_EQ(packets, 10);
    EXPECT_FALSE(bad_opened);
    EXPECT_EQ(log.find(password), std::string::npos) << log;
    EXPECT_EQ(raw_out.find(password), std::string::npos) << raw_out;
    EXPECT_EQ(raw_err.find(password), std::string::npos) << raw_err;
    // The description FFmpeg printed names the input, with the password masked.
    EXPECT_NE(raw_err.find("viewer:***@127.0.0.1"), std::string::npos) << raw_err;
    EXPECT_NE(log.find("[AV_STRERROR]"), std::string::npos) << log;
}

// Slice NAL units of an H.264 or HEVC picture (each begins with a start code).
int slices_in(const AVPacket& picture, AVCodecID codec) {
    int slices = 0;
    for (int i = 0; i + 3 < picture.size; ++i) {
        if (picture.data[i] != 0 || picture.data[i + 1] != 0 || picture.data[i + 2] != 1) continue;
        const int header = picture.data[i + 3];
        const bool slice = codec == AV_CODEC_ID_HEVC ? ((header >> 1) & 0x3f) <= 31
                                                     : ((header & 0x1f) == 1 || (header & 0x1f) == 5);
        slices += slice ? 1 : 0;
    }
    return slices;
}

// The session tampered with once it has begun, by a proxy between server and demuxer.
// Packets FFmpeg reads and throws away, both with the marker bit, inside every picture
// (RTCP feedback, another payload type) must not end a picture early: every picture is
// whole and none goes missing. A slice left out, which the HEVC decoder does not notice,
// must mark its picture corrupt, and only the pictures it may have hit.
TEST(DemuxerNetwork_TamperedRtsp, PicturesWholeDespiteDiscardedMarkersAndCorruptWhereASliceIsLost) {
    media::test::ServerProcess server = media::test::start_rtsp_server();
    for (const char* fault : {"inject", "drop"}) {
        SCOPED_TRACE(fault);
        const bool inject = std::string(fault) == "inject";
        media::test::ServerProcess proxy = media::test::start_fault_proxy(server.port(), fault);
        auto demuxer = Demuxer::createShare();
        ASSERT_TRUE(demuxer->open(rtsp_url(proxy.port(), inject ? "/h264_slices4" : "/hevc_slices4")));
        const AVCodecID codec = demuxer->get_video_codec_id();
        auto decoder = media::ffmpeg::Decoder::createShare(demuxer);
        ASSERT_TRUE(decoder->open());
        media::test::strike(proxy);
        auto packet = media::ffmpeg::make_packet();
        int64_t last_pts = AV_NOPTS_VALUE;
        std::vector<int> corrupt;  // picture numbers
        std::vector<int> slices;   // of each picture
        for (int pictures = 0; pictures < 40;) {
            ASSERT_EQ(demuxer->read_packet(packet), 0);
            if (packet->stream_index != demuxer->get_video_stream_index()) continue;
            slices.push_back(slices_in(*packet, codec));
            if ((packet->flags & AV_PKT_FLAG_CORRUPT) != 0) corrupt.push_back(pictures);
            if (inject) {
                ASSERT_TRUE(decoder->send(packet));
                auto frame = media::ffmpeg::make_frame();
                ASSERT_TRUE(decoder->receive(frame)) << "picture " << pictures;
                EXPECT_EQ(frame->decode_error_flags, 0) << "picture " << pictures;
                // 25 pictures a second on a 90 kHz clock: a gap of two is a picture lost.
                if (last_pts != AV_NOPTS_VALUE) {
                    EXPECT_LT(packet->pts - last_pts, 5400) << "picture " << pictures;
                }
                last_pts = packet->pts;
            }
            ++pictures;
            av_packet_unref(packet.get());
        }
        // The encoder cuts every picture into as many slices as the picture's size allows.
        const int whole = *std::max_element(slices.begin(), slices.end());
        ASSERT_GE(whole, 2);
        std::vector<int> short_of_slices;
        for (int i = 0; i < static_cast<int>(slices.size()); ++i) {
            if (slices[static_cast<size_t>(i)] < whole) short_of_slices.push_back(i);
        }
        if (inject) {
            EXPECT_TRUE(short_of_slices.empty());
            EXPECT_TRUE(corrupt.empty());
        } else {
            ASSERT_EQ(short_of_slices.size(), 1u) << "the proxy leaves out one slice";
            ASSERT_FALSE(corrupt.empty());
            EXPECT_EQ(corrupt.back(), short_of_slices[0]);
            EXPECT_LE(corrupt.size(), 2u);
            EXPECT_EQ(corrupt.front() + static_cast<int>(corrupt.size()) - 1, corrupt.back());
        }
    }
}

// An input's connection is the one its own open made to the server: connections that
// were there before are someone else's, one made during another's turn is theirs, and a
// wait on it ends as soon as it is shut down.
TEST(ConnectionActivity, RecognisesOnlyTheConnectionMadeInItsTurn) {
    const media::test::LoopbackConnection earlier;
    const std::string url = rtsp_url(earlier.server_port(), "/x");
    media::net::ConnectionActivity session(url, 554);
    session.begin([] { return false; });
    session.recognise();
    EXPECT_EQ(session.connection(), -1) << "only a connection made before the open exists";

    const int ours = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(ours, reinterpret_cast<const sockaddr*>(&earlier.address), sizeof earlier.address), 0);
    const int server_side = accept(earlier.listener, nullptr, nullptr);
    ASSERT_GE(server_side, 0);
    // Another input opening to the same server waits for the turn to end.
    const Clock::time_point began = Clock::now();
    std::thread sibling([&] {
        media::net::ConnectionActivity other(url, 554);
        other.begin([] { return false; });
        EXPECT_GE(Clock::now() - began, std::chrono::milliseconds(200));
        other.recognise();
        EXPECT_EQ(other.connection(), -1);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    session.recognise();
    sibling.join();
    struct stat recognised {};
    struct stat made {};
    ASSERT_EQ(fstat(session.connection(), &recognised), 0);
    ASSERT_EQ(fstat(ours, &made), 0);
    ASSERT_EQ(recognised.st_ino, made.st_ino) << "not the connection made in the turn";

    EXPECT_EQ(session.since_last_received(), -1) << "nothing received yet";
    ASSERT_EQ(write(server_side, "$", 1), 1);
    char byte = 0;
    ASSERT_EQ(read(ours, &byte, 1), 1);
    const int64_t fresh = session.since_last_received();
    EXPECT_TRUE(fresh >= 0 && fresh < 1000) << fresh;

    std::thread shut([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        session.shut_down();
    });
    EXPECT_EQ(read(ours, &byte, 1), 0) << "a blocked read ends when the connection is shut down";
    shut.join();
    session.forget();
    EXPECT_EQ(session.connection(), -1);
    close(server_side);
    close(ours);
}

}  // namespace
