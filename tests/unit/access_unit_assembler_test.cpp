// RTSP H.264/HEVC pictures are joined from what FFmpeg's depacketizer hands out, one
// packet per RTP packet, and ended by the RTP marker bit read off the connection: each
// picture must come out whole, multi-slice pictures included, and as soon as its last
// packet is in once the sender's markers have proved true.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "media/ffmpeg/access_unit_assembler.h"
#include "media/ffmpeg/interleaved_peek.h"

namespace {

using media::ffmpeg::AccessUnitAssembler;
using media::ffmpeg::InterleavedPeek;
using Bytes = std::vector<uint8_t>;

struct SentPacket {
    Bytes data;
    bool marker;
};

// An H.264 picture as an RTP payloader cuts it: parameter sets on a keyframe, then four
// slices of 3000 bytes, each in fragments of at most 1400 bytes (the first with its start
// code and header, the rest bare), the marker on the last packet of the picture, or of
// every slice when `marker_per_slice`.
std::vector<SentPacket> picture(bool key, bool marker_per_slice) {
    std::vector<SentPacket> packets;
    if (key) {
        packets.push_back({{0, 0, 0, 1, 0x67, 0x42, 0xc0, 0x1e}, false});
        packets.push_back({{0, 0, 0, 1, 0x68, 0xce, 0x3c, 0x80}, false});
    }
    for (int slice = 0; slice < 4; ++slice) {
        Bytes nal = {0, 0, 0, 1, static_cast<uint8_t>(key ? 0x65 : 0x41),
                     static_cast<uint8_t>(slice == 0 ? 0x88 : 0x1a)};  // first_mb_in_slice 0, or not
        nal.resize(nal.size() + 3000, static_cast<uint8_t>(0x50 + slice));
        for (size_t at = 0; at < nal.size(); at += 1400) {
            const size_t end = std::min(nal.size(), at + 1400);
            const bool last_of_slice = end == nal.size();
            packets.push_back({Bytes(nal.begin() + static_cast<long>(at), nal.begin() + static_cast<long>(end)),
                               last_of_slice && (marker_per_slice || slice == 3)});
        }
    }
    return packets;
}

Bytes joined(const std::vector<SentPacket>& packets) {
    Bytes all;
    for (const SentPacket& packet : packets) all.insert(all.end(), packet.data.begin(), packet.data.end());
    return all;
}

void push(AccessUnitAssembler& assembler, const SentPacket& sent, int64_t pts) {
    AVPacket packet{};
    packet.data = const_cast<uint8_t*>(sent.data.data());
    packet.size = static_cast<int>(sent.data.size());
    packet.pts = pts;
    packet.dts = pts;
    assembler.push(packet, sent.marker);
}

Bytes bytes_of(const AVPacket& packet) { return Bytes(packet.data, packet.data + packet.size); }

TEST(AccessUnitAssembler, MultiSlicePicturesComeOutWholeAndAtTheirLastPacketOnceMarkersProveTrue) {
    AccessUnitAssembler assembler(AV_CODEC_ID_H264);
    std::vector<std::vector<SentPacket>> pictures;
    for (int i = 0; i < 6; ++i) pictures.push_back(picture(i % 3 == 0, false));

    std::vector<Bytes> out;
    std::vector<int> ended_at_own_last_packet;
    for (int i = 0; i < 6; ++i) {
        for (const SentPacket& sent : pictures[i]) push(assembler, sent, 3600 * i);
        std::shared_ptr<AVPacket> unit;
        while (assembler.pop(unit)) {
            if (unit->pts == 3600 * i) ended_at_own_last_packet.push_back(i);
            EXPECT_EQ((unit->flags & AV_PKT_FLAG_KEY) != 0, unit->pts % (3 * 3600) == 0) << unit->pts;
            out.push_back(bytes_of(*unit));
        }
    }
    // The first markers are only believed once the next picture has begun where they said.
    EXPECT_EQ(ended_at_own_last_packet, (std::vector<int>{2, 3, 4, 5}));
    ASSERT_EQ(out.size(), 6u);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(out[i], joined(pictures[i])) << "picture " << i;
    EXPECT_TRUE(assembler.trusts_markers());
}

TEST(AccessUnitAssembler, MarkersAtTheEndOfEverySliceNeverCutAPicture) {
    AccessUnitAssembler assembler(AV_CODEC_ID_H264);
    std::vector<Bytes> sent;
    std::vector<Bytes> out;
    for (int i = 0; i < 4; ++i) {
        const std::vector<SentPacket> packets = picture(i == 0, true);
        sent.push_back(joined(packets));
        for (const SentPacket& packet : packets) push(assembler, packet, 3600 * i);
        std::shared_ptr<AVPacket> unit;
        while (assembler.pop(unit)) out.push_back(bytes_of(*unit));
    }
    sent.pop_back();  // still waiting for the next picture to begin
    EXPECT_EQ(out, sent);
    EXPECT_FALSE(assembler.trusts_markers());
}

// "$", channel, length, then an RTP header (version 2) and the payload's first bytes.
Bytes interleaved(int channel, bool marker, const Bytes& payload, int csrcs = 0, int extension_words = -1) {
    Bytes rtp = {static_cast<uint8_t>(0x80 | csrcs | (extension_words >= 0 ? 0x10 : 0)),
                 static_cast<uint8_t>((marker ? 0x80 : 0) | 96), 0, 1, 0, 0, 0, 9, 1, 2, 3, 4};
    rtp.resize(rtp.size() + 4 * static_cast<size_t>(csrcs), 7);
    if (extension_words >= 0) {
        const Bytes extension = {0xbe, 0xde, 0, static_cast<uint8_t>(extension_words)};
        rtp.insert(rtp.end(), extension.begin(), extension.end());
        rtp.resize(rtp.size() + 4 * static_cast<size_t>(extension_words), 0);
    }
    rtp.insert(rtp.end(), payload.begin(), payload.end());
    const Bytes header = {'$', static_cast<uint8_t>(channel), static_cast<uint8_t>(rtp.size() >> 8),
                          static_cast<uint8_t>(rtp.size() & 0xff)};
    rtp.insert(rtp.begin(), header.begin(), header.end());
    return rtp;
}

TEST(InterleavedPeek, ReadsTheMarkerAndTheSizeFFmpegWillHandOut) {
    const InterleavedPeek h264(-1, AV_CODEC_ID_H264);
    Bytes fu_start = {0x7c, 0x85};  // FU-A, start bit, IDR
    fu_start.resize(1200, 0x33);
    Bytes fu_end = {0x7c, 0x45};  // end bit
    fu_end.resize(700, 0x33);
    Bytes single = {0x41, 0x9a};
    single.resize(300, 0x33);
    struct Case {
        Bytes frame;
        bool marker;
        int size;
    } cases[] = {
        {interleaved(0, false, fu_start), false, 1200 - 2 + 5},
        {interleaved(0, true, fu_end, 2, 3), true, 700 - 2},
        {interleaved(2, true, single), true, 300 + 4},
    };
    for (const Case& c : cases) {
        const InterleavedPeek::Next next = h264.parse(c.frame.data(), static_cast<int>(c.frame.size()));
        ASSERT_TRUE(next.known);
        EXPECT_EQ(next.marker, c.marker);
        EXPECT_EQ(next.depacketized_size, c.size);
    }
    Bytes hevc_fu = {0x62, 0x01, 0x93};  // FU, start bit, type 19
    hevc_fu.resize(1000, 0x33);
    const Bytes frame = interleaved(0, false, hevc_fu);
    EXPECT_EQ(InterleavedPeek(-1, AV_CODEC_ID_HEVC).parse(frame.data(), static_cast<int>(frame.size())).depacketized_size,
              1000 - 3 + 6);
    // A header not all here yet, a control packet, or an RTSP reply, says nothing.
    Bytes report = interleaved(1, false, single);
    report[5] = 200;  // a sender report
    EXPECT_FALSE(h264.parse(report.data(), static_cast<int>(report.size())).known);
    EXPECT_FALSE(h264.parse(cases[0].frame.data(), 14).known);
    const Bytes reply = {'R', 'T', 'S', 'P', '/', '1', '.', '0', ' ', '2', '0', '0', ' ', 'O', 'K', '\r', '\n'};
    EXPECT_FALSE(h264.parse(reply.data(), static_cast<int>(reply.size())).known);
}

}  // namespace
