// RTSP H.264/HEVC pictures are joined from what FFmpeg's depacketizer hands out, one
// packet per RTP packet, and ended by the RTP marker bit read off the connection: each
// picture must come out whole, multi-slice pictures included, and as soon as its last
// packet is in once the sender's markers have proved true.
#include <linux/tcp.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <vector>

#include "media/rtp/access_unit_assembler.h"
#include "media/rtp/interleaved_peek.h"
#include "loopback_connection.h"

namespace {

using media::rtp::AccessUnitAssembler;
using media::rtp::InterleavedPeek;
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
Bytes interleaved(int channel, bool marker, const Bytes& payload, int sequence = 1, int type_byte = 96) {
    Bytes rtp = {0x80, static_cast<uint8_t>((marker ? 0x80 : 0) | type_byte), static_cast<uint8_t>(sequence >> 8),
                 static_cast<uint8_t>(sequence & 0xff), 0, 0, 0, 9, 1, 2, 3, 4};
    rtp.insert(rtp.end(), payload.begin(), payload.end());
    const Bytes header = {'$', static_cast<uint8_t>(channel), static_cast<uint8_t>(rtp.size() >> 8),
                          static_cast<uint8_t>(rtp.size() & 0xff)};
    rtp.insert(rtp.begin(), header.begin(), header.end());
    return rtp;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// What FFmpeg throws away is looked past: RTCP by its packet type (192 to 223, marker bit
// or not), and on the video channel packets of another payload type. Anything else that
// is not a whole RTP header says nothing.
TEST(InterleavedPeek, FindsThePacketFFmpegWillHandOut) {
    const Bytes slice(300, 0x33);
    const Bytes feedback = interleaved(0, false, Bytes(8, 1), 7, 206);  // 206: payload-specific feedback
    const Bytes report = interleaved(1, false, Bytes(20, 1), 7, 200);
    const Bytes other_type = interleaved(0, true, slice, 9, 97);
    const Bytes video = interleaved(0, true, slice, 41);
    const Bytes all = concat({feedback, report, other_type, video});

    const InterleavedPeek::Next next = InterleavedPeek::locate(all.data(), static_cast<int>(all.size()), 0, 96);
    ASSERT_EQ(next.state, InterleavedPeek::Next::State::Found);
    EXPECT_EQ(next.skipped_bytes, static_cast<int>(feedback.size() + report.size() + other_type.size()));
    EXPECT_TRUE(next.header.marker);
    EXPECT_EQ(next.header.sequence, 41);
    EXPECT_EQ(next.header.frame_bytes, static_cast<int>(video.size()));
    // Before the video stream's payload type is known, another one is not skipped.
    EXPECT_EQ(InterleavedPeek::locate(all.data(), static_cast<int>(all.size()), -1, -1).skipped_bytes,
              static_cast<int>(feedback.size() + report.size()));

    EXPECT_EQ(InterleavedPeek::locate(feedback.data(), static_cast<int>(feedback.size()), 0, 96).state,
              InterleavedPeek::Next::State::NeedMore);
    EXPECT_EQ(InterleavedPeek::locate(video.data(), 14, 0, 96).state, InterleavedPeek::Next::State::NeedMore);
    const Bytes reply = {'R', 'T', 'S', 'P', '/', '1', '.', '0', ' ', '2', '0', '0', ' ', 'O', 'K', '\r', '\n'};
    const Bytes after_report = concat({report, reply});
    EXPECT_EQ(InterleavedPeek::locate(after_report.data(), static_cast<int>(after_report.size()), 0, 96).state,
              InterleavedPeek::Next::State::Unknown);
}

// A TCP connection on loopback, read the way FFmpeg reads it: the peek's verdict on each
// packet, from the bytes the reader took.
TEST(InterleavedPeek, TakesAMarkerAndALossOnlyFromTheFrameThePacketCameFrom) {
    const media::test::LoopbackConnection connection;
    const int client = connection.client;
    const int camera = connection.server;
    tcp_info counts{};
    socklen_t counts_size = sizeof counts;
    if (getsockopt(client, IPPROTO_TCP, TCP_INFO, &counts, &counts_size) != 0 ||
        counts_size < offsetof(tcp_info, tcpi_bytes_received) + sizeof counts.tcpi_bytes_received) {
        GTEST_SKIP() << "the system gives no byte counts of a connection (qemu's user mode does not)";
    }
    InterleavedPeek peek(client);
    // Sends `frames`, then reads `taken` bytes as FFmpeg would for one packet.
    const auto read_packet = [&](const Bytes& frames, size_t taken, bool video) {
        EXPECT_EQ(send(camera, frames.data(), frames.size(), 0), static_cast<ssize_t>(frames.size()));
        peek.before_read(1000, nullptr);
        Bytes into(taken);
        EXPECT_EQ(recv(client, into.data(), taken, MSG_WAITALL), static_cast<ssize_t>(taken));
        return peek.after_read(video);
    };
    const Bytes slice(300, 0x33);
    const Bytes first = interleaved(0, false, slice, 10);
    InterleavedPeek::Verdict verdict = read_packet(first, first.size(), true);
    EXPECT_FALSE(verdict.marker || verdict.after_loss);
    // A feedback packet with the marker bit, then the picture's last packet.
    const Bytes feedback = interleaved(0, true, Bytes(8, 1), 3, 206);
    const Bytes last = interleaved(0, true, slice, 11);
    verdict = read_packet(concat({feedback, last}), feedback.size() + last.size(), true);
    EXPECT_TRUE(verdict.marker);
    EXPECT_FALSE(verdict.after_loss);
    // Sequence 12 never came.
    verdict = read_packet(interleaved(0, false, slice, 13), first.size(), true);
    EXPECT_TRUE(verdict.after_loss);
    // A reply between two frames: FFmpeg read more than the frame peeked, so the packet
    // it handed out may be another's; nothing is said, and the next loss goes unjudged.
    const Bytes reply = {'R', 'T', 'S', 'P', '/', '1', '.', '0', ' ', '2', '0', '0', ' ', 'O', 'K', '\r', '\n', '\r', '\n'};
    const Bytes marked = interleaved(0, true, slice, 14);
    verdict = read_packet(concat({marked, reply, interleaved(0, false, slice, 15)}), 2 * marked.size() + reply.size(),
                          true);
    EXPECT_FALSE(verdict.marker);
    verdict = read_packet(interleaved(0, false, slice, 17), marked.size(), true);
    EXPECT_FALSE(verdict.after_loss);
}

}  // namespace
