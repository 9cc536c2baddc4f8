#pragma once
// Joins what FFmpeg's RTP depacketizer hands out for H.264 and HEVC (one packet per RTP
// packet: whole NAL units with start codes, or the pieces of a fragmented one) into whole
// pictures, one access unit per packet.
//
// FFmpeg's own parser ends a picture only when the next one begins, a whole frame
// interval late. Here a picture ends as soon as the packet that carried its last slice
// is known to be the last (the RTP marker bit), and otherwise, as with the parser, when
// the next picture begins.

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "media/ffmpeg/av.h"

namespace media {
namespace rtp {

class AccessUnitAssembler {
public:
    static bool handles(AVCodecID codec) { return codec == AV_CODEC_ID_H264 || codec == AV_CODEC_ID_HEVC; }

    explicit AccessUnitAssembler(AVCodecID codec);

    // Takes one depacketized packet. `ends_picture`: the RTP packet it came from carried
    // the marker bit, the sender's word that it ends a picture. `after_loss`: packets were
    // lost just before it, from the end of the picture being joined or the start of the
    // one it begins; both are then marked corrupt.
    void push(const AVPacket& packet, bool ends_picture, bool after_loss = false);
    // Moves the oldest whole picture into `unit` (its own buffer, its first packet's
    // timestamps, the key flag when it holds an IDR/IRAP picture or a recovery point, the
    // corrupt flag when some of it was lost). False when none is complete.
    bool pop(std::shared_ptr<AVPacket>& unit);

    // Whether the latest push brought a picture its first slice: the moment its parameter
    // sets and first slice header are all there.
    bool first_slice_just_arrived() const { return first_slice_arrived_; }
    // That picture so far: still being joined, or already out when the same packet ended
    // it. Valid while first_slice_just_arrived(), until the next push or pop.
    const uint8_t* first_slice_picture(int& size) const;

    // False once a marker bit was seen in the middle of a picture: markers are ignored
    // from then on.
    bool trusts_markers() const { return trusts_markers_; }
    // Whether pictures now go out on their marker: markers have proved true often enough.
    bool ends_pictures_at_markers() const;

private:
    struct NalStart {
        bool starts_picture;  // an access unit delimiter, parameter set, SEI, or a first slice
        bool coded_slice;
        bool key;             // IDR/IRAP slice or recovery point
    };

    NalStart classify(const uint8_t* nal, int size) const;
    void emit();

    AVCodecID codec_;
    std::vector<uint8_t> building_;
    int64_t pts_ = AV_NOPTS_VALUE;
    int64_t dts_ = AV_NOPTS_VALUE;
    int stream_index_ = 0;
    bool has_slice_ = false;
    bool key_ = false;
    bool damaged_ = false;
    bool first_slice_arrived_ = false;
    bool just_ended_by_marker_ = false;
    int markers_confirmed_ = 0;
    bool skipping_rest_ = false;  // the tail of a picture a false marker cut short
    bool trusts_markers_ = true;
    std::deque<std::shared_ptr<AVPacket>> ready_;
};

}  // namespace rtp
}  // namespace media
