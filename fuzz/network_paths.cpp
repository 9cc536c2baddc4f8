#include "network_paths.h"

#include <cstdlib>
#include <memory>
#include <vector>

#include "media/rtp/access_unit_assembler.h"
#include "media/ffmpeg/first_slice_description.h"
#include "media/rtp/interleaved_peek.h"

namespace media {
namespace fuzz {

namespace {

struct ParametersDeleter {
    void operator()(AVCodecParameters* parameters) const { avcodec_parameters_free(&parameters); }
};

// A finding, not a crash: the sanitizers see an abort.
void check(bool holds) {
    if (!holds) std::abort();
}

}  // namespace

int join_pictures(const uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const AVCodecID codec = (data[0] & 1) != 0 ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
    std::unique_ptr<AVCodecParameters, ParametersDeleter> parameters(avcodec_parameters_alloc());
    if (!parameters) {
        return 0;
    }
    parameters->codec_type = AVMEDIA_TYPE_VIDEO;
    parameters->codec_id = codec;
    rtp::AccessUnitAssembler assembler(codec);
    ffmpeg::FirstSliceDescription description(*parameters);
    int pictures = 0;
    int64_t pts = 0;
    std::size_t at = 1;
    while (at + 3 <= size) {
        const uint8_t flags = data[at];
        std::size_t length = (static_cast<std::size_t>(data[at + 1]) << 8) | data[at + 2];
        at += 3;
        if (length > size - at) length = size - at;
        // A buffer of its own, exactly as long, so a read past the packet is seen.
        const std::vector<uint8_t> bytes(data + at, data + at + length);
        at += length;
        AVPacket packet{};
        packet.data = const_cast<uint8_t*>(bytes.data());
        packet.size = static_cast<int>(bytes.size());
        if ((flags & 4) != 0) pts += 3600;
        packet.pts = (flags & 8) != 0 ? AV_NOPTS_VALUE : pts;
        packet.dts = packet.pts;
        assembler.push(packet, (flags & 1) != 0, (flags & 2) != 0);
        if (assembler.first_slice_just_arrived()) {
            int picture_size = 0;
            const uint8_t* picture = assembler.first_slice_picture(picture_size);
            check(picture != nullptr && picture_size > 0);
            if (description.describe(picture, picture_size)) {
                check(description.width() > 0 && description.height() > 0);
            }
        }
        std::shared_ptr<AVPacket> unit;
        while (assembler.pop(unit)) {
            check(unit && unit->size > 0);
            ++pictures;
        }
    }
    return pictures;
}

int locate_frames(const uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const int channel = data[0] >= 0x80 ? -1 : data[0];
    const int payload_type = channel < 0 ? -1 : data[1] & 0x7f;
    const std::vector<uint8_t> peeked(data + 2, data + size);
    const int peeked_size = static_cast<int>(peeked.size());
    const rtp::InterleavedPeek::Next next =
        rtp::InterleavedPeek::locate(peeked.data(), peeked_size, channel, payload_type);
    if (next.state != rtp::InterleavedPeek::Next::State::Found) {
        return 0;
    }
    // What was found lies in what was peeked, and parses the same there alone.
    check(next.skipped_bytes >= 0 && next.skipped_bytes < peeked_size && next.header.known && !next.header.rtcp);
    const rtp::InterleavedPeek::Header again =
        rtp::InterleavedPeek::parse(peeked.data() + next.skipped_bytes, peeked_size - next.skipped_bytes);
    check(again.known && again.sequence == next.header.sequence && again.frame_bytes == next.header.frame_bytes);
    return 1;
}

}  // namespace fuzz
}  // namespace media
