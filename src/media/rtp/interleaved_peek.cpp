#include "interleaved_peek.h"

#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <thread>

namespace media {
namespace rtp {

namespace {

// Room for a few control packets ahead of the next RTP header.
constexpr int kPeekBytes = 512;
constexpr int kFrameHeader = 4;  // "$", channel, 16-bit length
constexpr int kRtpHeader = 12;
// Waits are cut into slices this long, so a stop is seen within one.
constexpr int64_t kPollSliceMs = 100;
// Readings of the connection's counts until two agree: bytes arrive at most a few times
// within a few system calls.
constexpr int kCountTries = 4;

int read16(const uint8_t* p) { return (p[0] << 8) | p[1]; }

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

InterleavedPeek::Header InterleavedPeek::parse(const uint8_t* data, int size) {
    Header header;
    if (size < kFrameHeader + kRtpHeader || data[0] != '$') {
        return header;
    }
    const int length = read16(data + 2);
    const uint8_t* rtp = data + kFrameHeader;
    if ((rtp[0] >> 6) != 2 || length < kRtpHeader) {
        return header;
    }
    header.known = true;
    header.channel = data[1];
    header.rtcp = rtp[1] >= 192 && rtp[1] <= 223;
    header.marker = (rtp[1] & 0x80) != 0;
    header.payload_type = rtp[1] & 0x7f;
    header.sequence = read16(rtp + 2);
    header.frame_bytes = kFrameHeader + length;
    return header;
}

InterleavedPeek::Next InterleavedPeek::locate(const uint8_t* data, int size, int video_channel,
                                              int video_payload_type) {
    Next next;
    int offset = 0;
    for (;;) {
        const int left = size - offset;
        if (left <= 0 || data[offset] != '$') {
            // Past the last whole frame: more may come. Anything else (an RTSP reply) is
            // read by FFmpeg as a message, not a packet.
            next.state = left <= 0 ? Next::State::NeedMore : Next::State::Unknown;
            return next;
        }
        const Header header = parse(data + offset, left);
        if (!header.known) {
            const bool short_header = left < kFrameHeader + kRtpHeader;
            next.state = short_header ? Next::State::NeedMore : Next::State::Unknown;
            return next;
        }
        const bool thrown_away = header.rtcp || (video_channel >= 0 && header.channel == video_channel &&
                                                 header.payload_type != video_payload_type);
        if (!thrown_away) {
            next.state = Next::State::Found;
            next.header = header;
            next.skipped_bytes = offset;
            return next;
        }
        offset += header.frame_bytes;
    }
}

bool InterleavedPeek::bytes_taken(uint64_t& taken) const {
    // Bytes received less bytes still queued: what the reader has taken. Bytes arriving
    // between the two readings would make the count too small and cast doubt on the frames
    // around it, so the queue is read between two readings of what was received, and only
    // a pair that agrees counts: nothing but arrivals changes either while we look.
    uint64_t received = 0;
    if (!bytes_received(received)) {
        return false;
    }
    for (int tries = 0; tries < kCountTries; ++tries) {
        int queued = 0;
        uint64_t received_after = 0;
        if (ioctl(socket_, SIOCINQ, &queued) != 0 || queued < 0 || !bytes_received(received_after)) {
            return false;
        }
        if (received_after == received) {
            if (received < static_cast<uint64_t>(queued)) {
                return false;
            }
            taken = received - static_cast<uint64_t>(queued);
            return true;
        }
        received = received_after;
    }
    return false;
}

bool InterleavedPeek::bytes_received(uint64_t& received) const {
    tcp_info tcp{};
    socklen_t tcp_size = sizeof tcp;
    if (getsockopt(socket_, IPPROTO_TCP, TCP_INFO, &tcp, &tcp_size) != 0 ||
        tcp_size < offsetof(tcp_info, tcpi_bytes_received) + sizeof tcp.tcpi_bytes_received) {
        return false;
    }
    received = tcp.tcpi_bytes_received;
    return true;
}

void InterleavedPeek::before_read(int64_t wait_ms, const std::function<bool()>& interrupted) {
    next_ = Next{};
    const int64_t deadline = now_ms() + wait_ms;
    uint8_t data[kPeekBytes];
    for (;;) {
        const ssize_t got = recv(socket_, data, sizeof data, MSG_PEEK | MSG_DONTWAIT);
        if (got > 0) {
            next_ = locate(data, static_cast<int>(got), video_channel_, video_payload_type_);
            // A header cut short by the network is completed within a moment.
            if (next_.state != Next::State::NeedMore || got >= kPeekBytes) {
                break;
            }
        } else if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            break;  // closed or failed: FFmpeg's own read reports it
        }
        const int64_t left = deadline - now_ms();
        if (left <= 0 || (interrupted && interrupted())) {
            break;
        }
        if (got > 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        } else {
            pollfd readable{socket_, POLLIN, 0};
            poll(&readable, 1, static_cast<int>(left < kPollSliceMs ? left : kPollSliceMs));
        }
    }
    if (next_.state == Next::State::Found && !taken_known_) {
        taken_known_ = bytes_taken(taken_);
    }
}

InterleavedPeek::Verdict InterleavedPeek::after_read(bool video_packet) {
    Verdict verdict;
    const uint64_t expected = taken_ + static_cast<uint64_t>(next_.skipped_bytes) +
                              static_cast<uint64_t>(next_.header.frame_bytes);
    const bool found = next_.state == Next::State::Found && taken_known_;
    const Header header = next_.header;
    next_ = Next{};
    taken_known_ = bytes_taken(taken_);
    if (!found || !taken_known_ || taken_ != expected) {
        // Some frame went by unseen: the next sequence number says nothing.
        last_sequence_ = -1;
        return verdict;
    }
    if (!video_packet) {
        if (header.channel == video_channel_) {
            last_sequence_ = -1;
        }
        return verdict;
    }
    if (video_channel_ < 0) {
        video_channel_ = header.channel;
        video_payload_type_ = header.payload_type;
    }
    if (header.channel != video_channel_ || header.payload_type != video_payload_type_) {
        last_sequence_ = -1;
        return verdict;
    }
    verdict.marker = header.marker;
    verdict.after_loss = last_sequence_ >= 0 && header.sequence != ((last_sequence_ + 1) & 0xffff);
    last_sequence_ = header.sequence;
    return verdict;
}

}  // namespace rtp
}  // namespace media
