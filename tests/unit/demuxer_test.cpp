#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <memory>
#include <string>

#include "capture.h"
#include "fixtures.h"
#include "media/ffmpeg/decoder.h"
#include "media/ffmpeg/demuxer.h"

namespace {

using media::ffmpeg::Demuxer;
using media::test::CoutCapture;
using media::test::media_path;
using Clock = std::chrono::steady_clock;

constexpr double kMp4PauseMs = 35.0;

struct OpenCase {
    const char* file;
    bool opens;
    int video_index;
    AVCodecID codec;
};

class Demuxer_OpenFile : public ::testing::TestWithParam<OpenCase> {};

TEST_P(Demuxer_OpenFile, SelectsFirstVideoStream) {
    const OpenCase& c = GetParam();
    auto demuxer = Demuxer::createShare();
    CoutCapture out;
    ASSERT_EQ(demuxer->open(media_path(c.file)), c.opens);
    EXPECT_EQ(out.text(), "");  // success and "no video stream" are both silent
    EXPECT_EQ(demuxer->get_video_stream_index(), c.video_index);
    EXPECT_EQ(demuxer->get_video_codec_id(), c.codec);
    if (c.opens) {
        ASSERT_NE(demuxer->get_video_stream(), nullptr);
        EXPECT_EQ(demuxer->get_video_stream()->index, c.video_index);
        EXPECT_EQ(demuxer->get_video_stream()->codecpar->codec_type, AVMEDIA_TYPE_VIDEO);
        ASSERT_NE(demuxer->get_format_ctx(), nullptr);
    } else {
        EXPECT_EQ(demuxer->get_video_stream(), nullptr);
        EXPECT_EQ(demuxer->get_format_ctx(), nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, Demuxer_OpenFile,
                         ::testing::Values(OpenCase{"h264.mp4", true, 0, AV_CODEC_ID_H264},
                                           OpenCase{"h264_nobframes.mp4", true, 0, AV_CODEC_ID_H264},
                                           OpenCase{"hevc.mp4", true, 0, AV_CODEC_ID_HEVC},
                                           OpenCase{"mjpeg.avi", true, 0, AV_CODEC_ID_MJPEG},
                                           OpenCase{"mpeg4.mp4", true, 0, AV_CODEC_ID_MPEG4},
                                           OpenCase{"audio_first.mp4", true, 1, AV_CODEC_ID_H264},
                                           OpenCase{"res_change.ts", true, 0, AV_CODEC_ID_H264},
                                           OpenCase{"truncated.mp4", true, 0, AV_CODEC_ID_H264},
                                           OpenCase{"audio_only.m4a", false, -1, AV_CODEC_ID_NONE}),
                         [](const ::testing::TestParamInfo<OpenCase>& p) {
                             std::string name = p.param.file;
                             for (char& ch : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             }
                             return name;
                         });

TEST(Demuxer_H264File, ReportsMp4Suffix) {
    auto demuxer = Demuxer::createShare();
    ASSERT_TRUE(demuxer->open(media_path("h264.mp4")));
    EXPECT_EQ(demuxer->get_suffix(), "mp4");
    const AVCodecParameters* par = demuxer->get_video_stream()->codecpar;
    EXPECT_EQ(par->width, 320);
    EXPECT_EQ(par->height, 240);
}

TEST(Demuxer_Mp4Read, EveryReadIsPaced) {
    auto demuxer = Demuxer::createShare();
    ASSERT_TRUE(demuxer->open(media_path("h264.mp4")));
    auto packet = media::ffmpeg::make_packet();
    for (int i = 0; i < 4; ++i) {
        const auto start = Clock::now();
        EXPECT_EQ(demuxer->read_packet(packet), 0);
        EXPECT_GE(media::test::elapsed_ms(start), kMp4PauseMs) << "read " << i;
        av_packet_unref(packet.get());
    }
}

TEST(Demuxer_Mp4Read, DeliversEveryPacketThenEndOfFile) {
    auto demuxer = Demuxer::createShare();
    ASSERT_TRUE(demuxer->open(media_path("h264.mp4")));
    CoutCapture out;
    const auto count = media::test::read_all(*demuxer, nullptr);
    EXPECT_EQ(count.video_packets, 100);
    EXPECT_EQ(count.other_packets, 0);
    EXPECT_EQ(count.last_status, AVERROR_EOF);
    auto packet = media::ffmpeg::make_packet();
    EXPECT_LT(demuxer->read_packet(packet), 0);
    EXPECT_EQ(out.text(), "");  // reads never log
}

TEST(Demuxer_AudioFirstFile, ReadsPacketsOfBothStreams) {
    auto demuxer = Demuxer::createShare();
    ASSERT_TRUE(demuxer->open(media_path("audio_first.mp4")));
    const auto count = media::test::read_all(*demuxer, nullptr, 40);
    EXPECT_GT(count.video_packets, 0);
    EXPECT_GT(count.other_packets, 0);
}

TEST(Demuxer_AudioOnlyFile, FailsSilentlyAndLeavesNothingOpen) {
    auto demuxer = Demuxer::createShare();
    CoutCapture out;
    EXPECT_FALSE(demuxer->open(media_path("audio_only.m4a")));
    EXPECT_EQ(out.text(), "");
    auto packet = media::ffmpeg::make_packet();
    EXPECT_EQ(demuxer->read_packet(packet), -1);
    EXPECT_EQ(demuxer->get_format_ctx(), nullptr);
    EXPECT_FALSE(demuxer->get_video_codec_parameters());
}

TEST(Demuxer_RandomBytes, FailsWithOneAvErrorLine) {
    auto demuxer = Demuxer::createShare();
    CoutCapture out;
    EXPECT_FALSE(demuxer->open(media_path("random.bin")));
    EXPECT_EQ(out.count("[AV_STRERROR]: "), 1u) << out.text();
    EXPECT_EQ(out.count("[media][error]"), 1u);
    auto packet = media::ffmpeg::make_packet();
    EXPECT_EQ(demuxer->read_packet(packet), -1);
}

TEST(Demuxer_MissingFile, FailsWithNoSuchFileLine) {
    auto demuxer = Demuxer::createShare();
    CoutCapture out;
    EXPECT_FALSE(demuxer->open(media_path("does_not_exist.mkv")));
    const std::string expected = "[AV_STRERROR]: " + media::test::av_error_text(AVERROR(ENOENT)) + " " +
                                 std::to_string(AVERROR(ENOENT));
    EXPECT_EQ(out.count(expected), 1u) << out.text();
    EXPECT_EQ(demuxer->get_video_stream_index(), -1);
}

struct SuffixCase {
    const char* name;
    const char* url;
    const char* suffix;
};

class Demuxer_Suffix : public ::testing::TestWithParam<SuffixCase> {};

// Opening fails for these addresses; the suffix is derived before that all the same.
TEST_P(Demuxer_Suffix, FollowsSubstringPrecedence) {
    auto demuxer = Demuxer::createShare();
    CoutCapture out;
    EXPECT_FALSE(demuxer->open(GetParam().url));
    EXPECT_EQ(demuxer->get_suffix(), GetParam().suffix);
}

INSTANTIATE_TEST_SUITE_P(Urls, Demuxer_Suffix,
                         ::testing::Values(SuffixCase{"Mp4", "/nonexistent/clip.mp4", "mp4"},
                                           SuffixCase{"RtmpBeatsMp4", "/nonexistent/rtmp/clip.mp4", "rtmp"},
                                           SuffixCase{"RtspBeatsMp4", "/nonexistent/rtsp/clip.mp4", "rtsp"},
                                           SuffixCase{"RtspBeatsRtmp", "/nonexistent/rtmp/rtsp/clip.mp4", "rtsp"},
                                           SuffixCase{"CapitalMp4", "/nonexistent/CLIP.MP4", ""},
                                           SuffixCase{"Other", "/nonexistent/clip.mkv", ""}),
                         [](const ::testing::TestParamInfo<SuffixCase>& p) { return std::string(p.param.name); });

// 20 unpaced reads of a local file take far less than 20 paced ones (700 ms).
void expect_unpaced(Demuxer& demuxer) {
    auto packet = media::ffmpeg::make_packet();
    const auto start = Clock::now();
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(demuxer.read_packet(packet), 0);
        av_packet_unref(packet.get());
    }
    EXPECT_LT(media::test::elapsed_ms(start), 20 * kMp4PauseMs);
}

TEST(Demuxer_CapitalMp4Name, OpensWithoutSuffixAndUnpaced) {
    media::test::TempDir dir;
    auto demuxer = Demuxer::createShare();
    ASSERT_TRUE(demuxer->open(dir.link(media_path("h264.mp4"), "CLIP.MP4")));
    EXPECT_EQ(demuxer->get_suffix(), "");
    expect_unpaced(*demuxer);
}

TEST(Demuxer_LocalPathWithRtsp, OpensAsFileUnpaced) {
    media::test::TempDir dir;
    auto demuxer = Demuxer::createShare();
    ASSERT_TRUE(demuxer->open(dir.link(media_path("h264.mp4"), "rtsp_clip.mp4")));
    EXPECT_EQ(demuxer->get_suffix(), "rtsp");
    expect_unpaced(*demuxer);
}

TEST(Demuxer_Close, TwiceThenDestroyIsHarmless) {
    auto demuxer = Demuxer::createShare();
    ASSERT_TRUE(demuxer->open(media_path("h264.mp4")));
    demuxer->close();
    EXPECT_EQ(demuxer->get_format_ctx(), nullptr);
    demuxer->close();
    demuxer.reset();
}

TEST(Demuxer_Close, ReadAfterCloseFailsButIsStillPaced) {
    auto demuxer = Demuxer::createShare();
    ASSERT_TRUE(demuxer->open(media_path("h264.mp4")));
    demuxer->close();
    auto packet = media::ffmpeg::make_packet();
    const auto start = Clock::now();
    EXPECT_EQ(demuxer->read_packet(packet), -1);
    EXPECT_GE(media::test::elapsed_ms(start), kMp4PauseMs);
    EXPECT_EQ(demuxer->get_video_stream(), nullptr);
}

TEST(Demuxer_NeverOpened, ReadsAndAccessorsReportNothing) {
    Demuxer demuxer;
    auto packet = media::ffmpeg::make_packet();
    CoutCapture out;
    EXPECT_EQ(demuxer.read_packet(packet), -1);
    demuxer.seek(0);
    demuxer.seek(1000);
    EXPECT_EQ(demuxer.read_packet(packet), -1);
    EXPECT_EQ(demuxer.get_video_stream_index(), -1);
    EXPECT_EQ(demuxer.get_video_stream(), nullptr);
    EXPECT_EQ(demuxer.get_video_codec_id(), AV_CODEC_ID_NONE);
    EXPECT_FALSE(demuxer.get_video_codec_parameters());
    EXPECT_EQ(out.text(), "");
}

TEST(Demuxer_CodecParameters, CopiesAreDistinctAndDetached) {
    auto demuxer = Demuxer::createShare();
    ASSERT_TRUE(demuxer->open(media_path("h264.mp4")));
    auto first = demuxer->get_video_codec_parameters();
    auto second = demuxer->get_video_codec_parameters();
    ASSERT_TRUE(first);
    ASSERT_TRUE(second);
    EXPECT_NE(first.get(), second.get());
    EXPECT_NE(first.get(), demuxer->get_video_stream()->codecpar);
    EXPECT_EQ(first->codec_id, AV_CODEC_ID_H264);
    EXPECT_EQ(first->width, 320);
    first->width = 1;
    first->height = 2;
    EXPECT_EQ(second->width, 320);
    EXPECT_EQ(demuxer->get_video_stream()->codecpar->width, 320);
    EXPECT_EQ(demuxer->get_video_stream()->codecpar->height, 240);
    demuxer->close();
    EXPECT_EQ(second->height, 240);  // scalars outlive the input
}

TEST(Demuxer_Seek, BackToStartRepeatsFirstPacket) {
    auto demuxer = Demuxer::createShare();
    ASSERT_TRUE(demuxer->open(media_path("h264_nobframes.mp4")));
    auto packet = media::ffmpeg::make_packet();
    ASSERT_EQ(demuxer->read_packet(packet), 0);
    const int64_t first_pts = packet->pts;
    for (int i = 0; i < 10; ++i) {
        av_packet_unref(packet.get());
        ASSERT_EQ(demuxer->read_packet(packet), 0);
    }
    EXPECT_NE(packet->pts, first_pts);
    av_packet_unref(packet.get());
    demuxer->seek(0);
    ASSERT_EQ(demuxer->read_packet(packet), 0);
    EXPECT_EQ(packet->pts, first_pts);
}

// "nobuffer" would discard what probing read; on a file with one keyframe, that is the
// keyframe itself and nothing would ever decode.
TEST(Demuxer_SingleKeyframeFile, EveryPacketReadAndDecoded) {
    auto demuxer = Demuxer::createShare();
    ASSERT_TRUE(demuxer->open(media_path("h264_onekey.mp4")));
    media::ffmpeg::Decoder decoder(demuxer);
    CoutCapture out;
    ASSERT_TRUE(decoder.open());
    const auto count = media::test::read_all(*demuxer, &decoder);
    EXPECT_EQ(count.video_packets, 100);
    EXPECT_EQ(count.last_status, AVERROR_EOF);
    EXPECT_EQ(count.frames, 100);
    EXPECT_EQ(count.width, 320);
    EXPECT_EQ(count.height, 240);
}

TEST(Watchdog_Callback, StaleStampAbortsWithLine) {
    CoutCapture out;
    std::atomic<int64_t> stamp{media::ffmpeg::get_current_time_stamp() - 2500};
    EXPECT_NE(media::ffmpeg::interrupt_callback(&stamp), 0);
    EXPECT_EQ(out.lines().size(), 1u);
    EXPECT_EQ(out.count("[media][error]"), 1u);
    EXPECT_EQ(out.count("]: av_read_frame time out"), 1u) << out.text();
}

TEST(Watchdog_Callback, RecentStampContinuesSilently) {
    CoutCapture out;
    const int64_t now = media::ffmpeg::get_current_time_stamp();
    for (const int64_t age : {int64_t{0}, int64_t{1000}, int64_t{1900}, int64_t{-5000}}) {
        std::atomic<int64_t> stamp{now - age};
        EXPECT_EQ(media::ffmpeg::interrupt_callback(&stamp), 0) << "age " << age;
    }
    EXPECT_EQ(out.text(), "");
}

// Steady, not wall-clock, milliseconds: a clock set while a read waits neither cuts it
// nor keeps a dead source from being cut.
TEST(Watchdog_Clock, IsMonotonicMilliseconds) {
    using namespace std::chrono;
    const int64_t before = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    const int64_t stamp = media::ffmpeg::get_current_time_stamp();
    const int64_t after = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);
}

}  // namespace
