#pragma once
// The program's own parsers of bytes that come off the network, run on bytes in memory:
// the picture joiner with the first-slice description, and the interleaved-frame locator.

#include <cstddef>
#include <cstdint>

namespace media {
namespace fuzz {

// The first byte picks the codec (odd: HEVC, even: H.264). Then records of a flags byte
// (1: marker bit, 2: packets lost before it, 4: a new timestamp, 8: no timestamp), a
// 16-bit big-endian length and that many bytes of depacketized packet, as FFmpeg's RTP
// depacketizer hands them out. Returns the pictures joined.
int join_pictures(const uint8_t* data, std::size_t size);

// The first byte gives the video channel (0x80 and up: not known yet), the second the
// video payload type; the rest is what a peek at an RTSP connection saw. Returns 1 when a
// packet's frame was found.
int locate_frames(const uint8_t* data, std::size_t size);

}  // namespace fuzz
}  // namespace media
