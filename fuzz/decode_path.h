#pragma once
// The library path media_demo drives, run on bytes in memory: Demuxer, Decoder, then
// the BgrConverter to an 8-bit BGR image for every picture.

#include <cstddef>
#include <cstdint>

namespace media {
namespace fuzz {

struct DecodePathStats {
    bool opened = false;  // the demuxer found a video stream
    int packets = 0;
    int pictures = 0;     // decoded frames
    int images = 0;       // frames converted to BGR
};

DecodePathStats run_decode_path(const uint8_t* data, std::size_t size);

// Keeps the library's log lines and FFmpeg's messages out of the fuzzer's output.
void silence_logging();

}  // namespace fuzz
}  // namespace media
