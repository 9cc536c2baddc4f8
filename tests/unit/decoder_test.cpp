#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "capture.h"
#include "decoder_inspector.h"
#include "fixtures.h"
#include "media/ffmpeg/decoder.h"
#include "media/ffmpeg/demuxer.h"

namespace {

using media::ffmpeg::Decoder;
using media::ffmpeg::DecoderInspector;
using media::ffmpeg::Demuxer;
using media::test::CoutCapture;
using media::test::media_path;

std::shared_ptr<Demuxer> open_demuxer(const std::string& file) {
    auto demuxer = Demuxer::createShare();
    if (!demuxer->open(media_path(file))) return {};
    return demuxer;
}

// The device index the "decoder ... opened, gpu N" line reports, or -1 when there is none.
int reported_gpu(const CoutCapture& out) {
    const std::string marker = " opened, gpu ";
    int gpu = -1;
    for (const std::string& line : out.lines()) {
        const std::size_t at = line.find(marker);
        if (line.find("]: decoder ") != std::string::npos && at != std::string::npos) {
            gpu = std::stoi(line.substr(at + marker.size()));
        }
    }
    return gpu;
}

struct CodecCase {
    const char* file;
    const char* software_name;
    const char* hardware_name;  // null: no named hardware decoder for the codec
};

class Decoder_OpenFile : public ::testing::TestWithParam<CodecCase> {};

TEST_P(Decoder_OpenFile, ReportsDecoderAndDecodesFullSizeFrames) {
    const CodecCase& c = GetParam();
    auto demuxer = open_demuxer(c.file);
    ASSERT_TRUE(demuxer);
    Decoder decoder(demuxer);
    CoutCapture out;
    ASSERT_TRUE(decoder.open()) << out.text();

    const bool hardware_present =
        c.hardware_name != nullptr && avcodec_find_decoder_by_name(c.hardware_name) != nullptr;
    const std::string used = hardware_present ? c.hardware_name : c.software_name;
    if (c.hardware_name != nullptr && !hardware_present) {
        EXPECT_EQ(out.count("[media][info]"), 2u) << out.text();
        EXPECT_EQ(out.count("]: decoder " + std::string(c.hardware_name) + " not available, using " + used), 1u)
            << out.text();
    } else {
        EXPECT_EQ(out.lines().size(), 1u) << out.text();
        EXPECT_EQ(out.count("not available"), 0u);
    }
    EXPECT_EQ(out.count("[media][info]"), out.lines().size());
    EXPECT_EQ(out.count("]: decoder " + used + " opened, gpu "), 1u) << out.text();
    EXPECT_GE(reported_gpu(out), 0);
    EXPECT_LE(reported_gpu(out), 1);

    const AVCodecContext* ctx = DecoderInspector::context(decoder);
    ASSERT_NE(ctx, nullptr);
    ASSERT_NE(ctx->codec, nullptr);
    EXPECT_EQ(std::string(ctx->codec->name), used);
    EXPECT_TRUE(ctx->flags & AV_CODEC_FLAG_LOW_DELAY);
    EXPECT_TRUE(ctx->flags2 & AV_CODEC_FLAG2_FAST);
#ifdef AV_CODEC_CAP_TRUNCATED
    EXPECT_EQ((ctx->flags & AV_CODEC_FLAG_TRUNCATED) != 0, (ctx->codec->capabilities & AV_CODEC_CAP_TRUNCATED) != 0);
#endif
    EXPECT_EQ(ctx->width, 320);
    EXPECT_EQ(ctx->height, 240);

    const auto count = media::test::read_all(*demuxer, &decoder, 15);
    EXPECT_GT(count.frames, 0);
    EXPECT_EQ(count.width, 320);
    EXPECT_EQ(count.height, 240);
}

INSTANTIATE_TEST_SUITE_P(Codecs, Decoder_OpenFile,
                         ::testing::Values(CodecCase{"h264.mp4", "h264", MEDIA_H264_DECODER},
                                           CodecCase{"hevc.mp4", "hevc", MEDIA_HEVC_DECODER},
                                           CodecCase{"mjpeg.avi", "mjpeg", MEDIA_MJPEG_DECODER},
                                           CodecCase{"mpeg4.mp4", "mpeg4", nullptr}),
                         [](const ::testing::TestParamInfo<CodecCase>& p) {
                             return std::string(p.param.software_name);
                         });

TEST(Decoder_GpuOption, AlternatesAndSkipsEarlyFailures) {
    std::vector<int> gpus;
    for (int i = 0; i < 3; ++i) {
        // Each decoder closes its demuxer when it goes, so each gets its own.
        auto demuxer = open_demuxer("mpeg4.mp4");
        ASSERT_TRUE(demuxer);
        Decoder decoder(demuxer);
        CoutCapture out;
        ASSERT_TRUE(decoder.open()) << out.text();
        gpus.push_back(reported_gpu(out));
        // Fails before the options are built, so it must not take a turn.
        Decoder unopened(Demuxer::createShare());
        EXPECT_FALSE(unopened.open());
    }
    ASSERT_EQ(gpus.size(), 3u);
    EXPECT_TRUE(gpus[0] == 0 || gpus[0] == 1);
    EXPECT_EQ(gpus[1], 1 - gpus[0]);
    EXPECT_EQ(gpus[2], gpus[0]);
}

TEST(Decoder_OpenWithoutInput, FailsBeforeAllocatingContext) {
    CoutCapture out;
    Decoder unopened(Demuxer::createShare());
    EXPECT_FALSE(unopened.open());
    EXPECT_EQ(DecoderInspector::context(unopened), nullptr);
    Decoder null_demuxer(nullptr);
    EXPECT_FALSE(null_demuxer.open());
    EXPECT_EQ(out.count("[media][error]"), 2u) << out.text();
    EXPECT_EQ(out.count("]: avcodec_find_decoder failed"), 2u) << out.text();
}

TEST(Decoder_NotOpened, SendAndReceiveRefuse) {
    auto demuxer = open_demuxer("short.mp4");
    ASSERT_TRUE(demuxer);
    Decoder decoder(demuxer);
    auto packet = media::ffmpeg::make_packet();
    auto frame = media::ffmpeg::make_frame();
    CoutCapture out;
    EXPECT_FALSE(decoder.send(packet));
    EXPECT_FALSE(decoder.receive(frame));
    EXPECT_EQ(out.count("[media][error]"), 2u);
    EXPECT_EQ(out.count("]: m_codec_ctx is nullptr"), 2u) << out.text();
}

TEST(Decoder_Closed, SendAndReceiveRefuseAndCloseTwiceIsHarmless) {
    auto demuxer = open_demuxer("short.mp4");
    ASSERT_TRUE(demuxer);
    Decoder decoder(demuxer);
    ASSERT_TRUE(decoder.open());
    decoder.close();
    EXPECT_EQ(DecoderInspector::context(decoder), nullptr);
    EXPECT_EQ(demuxer->get_format_ctx(), nullptr);  // closing the decoder closes its input
    decoder.close();
    EXPECT_EQ(DecoderInspector::context(decoder), nullptr);
    auto packet = media::ffmpeg::make_packet();
    auto frame = media::ffmpeg::make_frame();
    CoutCapture out;
    EXPECT_FALSE(decoder.send(packet));
    EXPECT_FALSE(decoder.receive(frame));
    EXPECT_EQ(out.count("]: m_codec_ctx is nullptr"), 2u) << out.text();
}

TEST(Decoder_JustOpened, ReceiveHasNothingYetSilently) {
    auto demuxer = open_demuxer("short.mp4");
    ASSERT_TRUE(demuxer);
    Decoder decoder(demuxer);
    ASSERT_TRUE(decoder.open());
    auto frame = media::ffmpeg::make_frame();
    CoutCapture out;
    EXPECT_FALSE(decoder.receive(frame));
    EXPECT_EQ(out.text(), "");
}

TEST(Decoder_Drain, DeliversEveryFrameThenEndOfFile) {
    auto demuxer = open_demuxer("short.mp4");
    ASSERT_TRUE(demuxer);
    Decoder decoder(demuxer);
    ASSERT_TRUE(decoder.open());
    auto packet = media::ffmpeg::make_packet();
    auto frame = media::ffmpeg::make_frame();
    int frames = 0;
    CoutCapture out;
    while (demuxer->read_packet(packet) == 0) {
        if (packet->stream_index == demuxer->get_video_stream_index()) {
            ASSERT_TRUE(decoder.send(packet)) << out.text();
            while (decoder.receive(frame)) ++frames;
        }
        av_packet_unref(packet.get());
    }
    EXPECT_EQ(out.text(), "");  // "no frame yet" is never logged
    ASSERT_TRUE(decoder.send(nullptr));
    while (decoder.receive(frame)) ++frames;
    EXPECT_EQ(frames, 20);
    const std::string eof_line = "]: [AV_STRERROR]: " + media::test::av_error_text(AVERROR_EOF) + " " +
                                 std::to_string(AVERROR_EOF);
    EXPECT_EQ(out.lines().size(), 1u) << out.text();
    EXPECT_EQ(out.count(eof_line), 1u) << out.text();
    EXPECT_FALSE(decoder.receive(frame));
    EXPECT_EQ(out.count(eof_line), 2u);
}

TEST(Decoder_Destroyed, ClosesDemuxerStillHeldElsewhere) {
    auto demuxer = open_demuxer("short.mp4");
    ASSERT_TRUE(demuxer);
    {
        auto decoder = Decoder::createShare(demuxer);
        ASSERT_TRUE(decoder->open());
    }
    ASSERT_EQ(demuxer.use_count(), 1);
    EXPECT_EQ(demuxer->get_format_ctx(), nullptr);
    auto packet = media::ffmpeg::make_packet();
    EXPECT_EQ(demuxer->read_packet(packet), -1);
}

}  // namespace
