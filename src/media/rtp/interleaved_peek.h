#pragma once
// Reads, without taking them, the headers of the next RTP packets an RTSP session's TCP
// connection holds. FFmpeg's depacketizer drops the RTP marker bit, the sender's word that
// a packet ends a picture, and says nothing of packets lost on the way. FFmpeg reads the
// connection one interleaved frame at a time with no buffer of its own, so the frames in
// the socket are the next ones it takes; the connection's count of bytes taken then tells
// which of them the packet it handed out came from.

#include <cstdint>
#include <functional>

namespace media {
namespace rtp {

class InterleavedPeek {
public:
    // One interleaved frame's header: "$", channel, length, then the RTP header.
    struct Header {
        bool known = false;
        int channel = -1;
        bool marker = false;
        int payload_type = -1;
        int sequence = -1;
        bool rtcp = false;    // RTCP by its packet type (RFC 5761: 192 to 223), never a packet of ours
        int frame_bytes = 0;  // "$", channel, length and body
    };

    // Where the frame FFmpeg will hand out as a packet begins in what was peeked.
    struct Next {
        enum class State { Found, NeedMore, Unknown } state = State::Unknown;
        Header header;
        int skipped_bytes = 0;  // frames before it that FFmpeg reads and throws away
    };

    // What the connection said of the packet FFmpeg has just handed out.
    struct Verdict {
        bool marker = false;      // known to carry the marker bit
        bool after_loss = false;  // the video channel's sequence numbers skipped before it
    };

    // `socket`: the session's connection.
    explicit InterleavedPeek(int socket) : socket_(socket) {}

    // The header of an interleaved frame at the start of `data`; unknown when the bytes do
    // not hold one whole RTP header.
    static Header parse(const uint8_t* data, int size);

    // The first frame in `data` that FFmpeg does not throw away: RTCP, and once the video
    // stream's channel and payload type are known, its packets of another payload type, are
    // skipped. -1 for what is not known yet.
    static Next locate(const uint8_t* data, int size, int video_channel, int video_payload_type);

    // Before FFmpeg's read: waits at most `wait_ms` for the next packet's header, giving up
    // early once `interrupted` says so.
    void before_read(int64_t wait_ms, const std::function<bool()>& interrupted);

    // After every FFmpeg read; `video_packet`: it handed out a packet of the video stream.
    // Anything in doubt (a frame FFmpeg read that was not the one peeked, a reply between
    // frames, a count the system cannot give) leaves the marker unknown and the sequence
    // unjudged.
    Verdict after_read(bool video_packet);

private:
    bool bytes_taken(uint64_t& taken) const;
    bool bytes_received(uint64_t& received) const;

    int socket_;
    Next next_;
    // Bytes FFmpeg has taken off the connection, as of the end of its latest read: nothing
    // else reads the connection between two reads.
    bool taken_known_ = false;
    uint64_t taken_ = 0;
    int video_channel_ = -1;
    int video_payload_type_ = -1;
    int last_sequence_ = -1;  // of the video channel's latest packet, -1 when not followed
};

}  // namespace rtp
}  // namespace media
