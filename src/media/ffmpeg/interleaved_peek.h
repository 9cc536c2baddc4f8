#pragma once
// Reads, without taking it, the header of the next RTP packet an RTSP session's TCP
// connection holds. FFmpeg's depacketizer drops the RTP marker bit, the sender's word that
// a packet ends a picture; FFmpeg reads the connection one interleaved packet at a time
// with no buffer of its own, so the next packet in the socket is the next one it hands out.

#include <cstdint>

#include "media/ffmpeg/av.h"

namespace media {
namespace ffmpeg {

class InterleavedPeek {
public:
    struct Next {
        bool known = false;
        int channel = -1;
        bool marker = false;
        // The size of the packet FFmpeg's depacketizer makes of it, so the packet then read
        // can be told to be this one; -1 when it cannot be worked out.
        int depacketized_size = -1;
    };

    // `socket`: the session's connection; `codec`: H.264 or HEVC.
    InterleavedPeek(int socket, AVCodecID codec) : socket_(socket), codec_(codec) {}

    // Waits at most `wait_ms` for the next packet's header to arrive.
    Next next(int64_t wait_ms) const;

    // The header of an interleaved packet at the start of `data`; unknown when the bytes do
    // not hold one whole header.
    Next parse(const uint8_t* data, int size) const;

private:
    int depacketized_size(const uint8_t* payload, int payload_size) const;

    int socket_;
    AVCodecID codec_;
};

}  // namespace ffmpeg
}  // namespace media
