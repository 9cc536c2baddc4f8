#include "interleaved_peek.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace media {
namespace ffmpeg {

namespace {

constexpr int kPeekBytes = 128;  // "$", channel, length, an RTP header with room for extensions
constexpr int kStartCode = 4;    // what FFmpeg's depacketizers put before every NAL unit
constexpr int kH264FuA = 28;
constexpr int kHevcFu = 49;

int read16(const uint8_t* p) { return (p[0] << 8) | p[1]; }

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

int InterleavedPeek::depacketized_size(const uint8_t* payload, int payload_size) const {
    if (codec_ == AV_CODEC_ID_H264) {
        const int type = payload[0] & 0x1f;
        if (type >= 1 && type <= 23) {
            return payload_size + kStartCode;
        }
        if (type == kH264FuA && payload_size >= 2) {
            const bool first = (payload[1] & 0x80) != 0;  // the fragment header's start bit
            return payload_size - 2 + (first ? kStartCode + 1 : 0);
        }
        return -1;  // aggregation packets: their sizes are not all in the header
    }
    const int type = (payload[0] >> 1) & 0x3f;
    if (type <= 47) {
        return payload_size + kStartCode;
    }
    if (type == kHevcFu && payload_size >= 3) {
        const bool first = (payload[2] & 0x80) != 0;
        return payload_size - 3 + (first ? kStartCode + 2 : 0);
    }
    return -1;
}

InterleavedPeek::Next InterleavedPeek::parse(const uint8_t* data, int size) const {
    Next next;
    if (size < 4 + 12 || data[0] != '$') {
        return next;
    }
    const int length = read16(data + 2);
    const uint8_t* rtp = data + 4;
    // Version 2; and not RTCP (sender and receiver reports, 200 to 204 where RTP keeps its
    // marker bit and payload type), which shares the connection on the odd channels.
    if ((rtp[0] >> 6) != 2 || length < 12 || (rtp[1] >= 200 && rtp[1] <= 204)) {
        return next;
    }
    int header = 12 + 4 * (rtp[0] & 0x0f);
    if ((rtp[0] & 0x10) != 0) {  // a header extension: its length in 32-bit words
        if (size < 4 + header + 4) {
            return next;
        }
        header += 4 + 4 * read16(rtp + header + 2);
    }
    const bool padded = (rtp[0] & 0x20) != 0;  // its length is in the last byte, not yet here
    if (size < 4 + header + 3 || length < header + 3) {
        return next;
    }
    next.known = true;
    next.channel = data[1];
    next.marker = (rtp[1] & 0x80) != 0;
    next.depacketized_size = padded ? -1 : depacketized_size(rtp + header, length - header);
    return next;
}

InterleavedPeek::Next InterleavedPeek::next(int64_t wait_ms) const {
    const int64_t deadline = now_ms() + wait_ms;
    uint8_t data[kPeekBytes];
    for (;;) {
        const ssize_t got = recv(socket_, data, sizeof data, MSG_PEEK | MSG_DONTWAIT);
        if (got > 0) {
            const Next next = parse(data, static_cast<int>(got));
            // A header cut short by the network is completed within a moment; anything else
            // (a reply to a keep-alive, a control packet) leaves the marker unknown.
            const bool partial = !next.known && data[0] == '$' && got < kPeekBytes &&
                                 (got < 4 || got < 4 + read16(data + 2));
            if (next.known || !partial) {
                return next;
            }
        } else if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            return {};  // closed or failed: FFmpeg's own read reports it
        }
        const int64_t left = deadline - now_ms();
        if (left <= 0) {
            return {};
        }
        if (got > 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        } else {
            pollfd readable{socket_, POLLIN, 0};
            poll(&readable, 1, static_cast<int>(left));
        }
    }
}

}  // namespace ffmpeg
}  // namespace media
