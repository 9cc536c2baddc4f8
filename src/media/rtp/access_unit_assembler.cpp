#include "access_unit_assembler.h"

#include <cstring>

namespace media {
namespace rtp {

namespace {

// A marker bit is acted on only after this many were each followed by a new picture: a
// sender that marks the end of every slice, not of every picture, would otherwise have
// its pictures cut into pieces.
constexpr int kMarkersBeforeTrust = 2;
// No camera's picture comes near this; a stream that never begins a new picture must not
// grow the buffer without end.
constexpr size_t kLargestPicture = size_t{64} << 20;

bool starts_with_start_code(const uint8_t* data, int size) {
    return (size >= 3 && data[0] == 0 && data[1] == 0 && data[2] == 1) ||
           (size >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1);
}

// The next NAL unit after a start code at or after `from`, or null.
const uint8_t* next_nal(const uint8_t* from, const uint8_t* end) {
    for (const uint8_t* p = from; end - p >= 3; ++p) {
        p = static_cast<const uint8_t*>(std::memchr(p, 0, static_cast<size_t>(end - p)));
        if (p == nullptr || end - p < 3) {
            return nullptr;
        }
        if (p[1] == 0 && p[2] == 1) {
            return p + 3;
        }
    }
    return nullptr;
}

}  // namespace

AccessUnitAssembler::AccessUnitAssembler(AVCodecID codec) : codec_(codec) {}

AccessUnitAssembler::NalStart AccessUnitAssembler::classify(const uint8_t* nal, int size) const {
    NalStart start{false, false, false};
    if (codec_ == AV_CODEC_ID_H264) {
        if (size < 2) {
            return start;
        }
        const int type = nal[0] & 0x1f;
        start.coded_slice = type == 1 || type == 2 || type == 5;
        // first_mb_in_slice is the slice header's first Exp-Golomb number: 0 is a lone 1 bit.
        start.starts_picture = (start.coded_slice && (nal[1] & 0x80) != 0) || type == 6 || type == 7 ||
                               type == 8 || type == 9 || (type >= 14 && type <= 18);
        // An SEI whose first message is a recovery point (type 6) marks a random access
        // point, as FFmpeg's parser treats it.
        start.key = type == 5 || (type == 6 && nal[1] == 6);
    } else {
        if (size < 3) {
            return start;
        }
        const int type = (nal[0] >> 1) & 0x3f;
        start.coded_slice = type <= 31;
        // first_slice_segment_in_pic_flag is the slice header's first bit.
        start.starts_picture = (start.coded_slice && (nal[2] & 0x80) != 0) || (type >= 32 && type <= 35) ||
                               type == 39 || (type >= 41 && type <= 44) || (type >= 48 && type <= 55);
        start.key = type >= 16 && type <= 23;
    }
    return start;
}

void AccessUnitAssembler::push(const AVPacket& packet, bool ends_picture, bool after_loss) {
    first_slice_arrived_ = false;
    if (after_loss) {
        damaged_ = damaged_ || !building_.empty();
    }
    if (packet.data == nullptr || packet.size <= 0) {
        return;
    }
    const uint8_t* data = packet.data;
    const uint8_t* end = data + packet.size;
    const bool new_nal = starts_with_start_code(data, packet.size);
    const uint8_t* first = new_nal ? next_nal(data, end) : nullptr;
    const NalStart head = first != nullptr ? classify(first, static_cast<int>(end - first)) : NalStart{false, false, false};
    const bool new_picture =
        first != nullptr && (head.starts_picture || (packet.pts != AV_NOPTS_VALUE && packet.pts != pts_));

    if (just_ended_by_marker_) {
        just_ended_by_marker_ = false;
        if (new_picture) {
            ++markers_confirmed_;
        } else {
            // The marker came in the middle of a picture. If the picture went out on it, what
            // follows would make a picture of its own tail, so it is dropped up to the next.
            skipping_rest_ = building_.empty();
            trusts_markers_ = false;
        }
    }
    if (skipping_rest_) {
        if (!new_picture) {
            return;
        }
        skipping_rest_ = false;
    }
    if (new_picture && has_slice_) {
        emit();
    }
    if (after_loss) {
        damaged_ = true;
    }
    const bool had_slice = has_slice_;
    if (building_.empty()) {
        pts_ = packet.pts;
        dts_ = packet.dts;
        stream_index_ = packet.stream_index;
    }
    if (new_nal) {
        for (const uint8_t* nal = first; nal != nullptr; nal = next_nal(nal, end)) {
            const NalStart kind = nal == first ? head : classify(nal, static_cast<int>(end - nal));
            has_slice_ = has_slice_ || kind.coded_slice;
            key_ = key_ || kind.key;
            if (kind.coded_slice) {
                break;  // a slice runs to the end of its packet; no start code hides in it
            }
        }
    }
    if (building_.size() + static_cast<size_t>(packet.size) > kLargestPicture) {
        building_.clear();
        has_slice_ = false;
        key_ = false;
        damaged_ = false;
        skipping_rest_ = true;
        return;
    }
    building_.insert(building_.end(), data, end);
    first_slice_arrived_ = has_slice_ && !had_slice;

    if (ends_picture && has_slice_) {
        if (trusts_markers_ && markers_confirmed_ >= kMarkersBeforeTrust) {
            emit();
        }
        just_ended_by_marker_ = trusts_markers_;
    }
}

bool AccessUnitAssembler::ends_pictures_at_markers() const {
    return trusts_markers_ && markers_confirmed_ >= kMarkersBeforeTrust;
}

void AccessUnitAssembler::emit() {
    std::shared_ptr<AVPacket> unit = ffmpeg::make_packet();
    if (unit && av_new_packet(unit.get(), static_cast<int>(building_.size())) == 0) {
        std::memcpy(unit->data, building_.data(), building_.size());
        unit->pts = pts_;
        unit->dts = dts_;
        unit->stream_index = stream_index_;
        if (key_) {
            unit->flags |= AV_PKT_FLAG_KEY;
        }
        if (damaged_) {
            unit->flags |= AV_PKT_FLAG_CORRUPT;
        }
        ready_.push_back(std::move(unit));
    }
    building_.clear();
    has_slice_ = false;
    key_ = false;
    damaged_ = false;
}

const uint8_t* AccessUnitAssembler::first_slice_picture(int& size) const {
    size = 0;
    if (!first_slice_arrived_) {
        return nullptr;
    }
    if (has_slice_ || ready_.empty()) {
        size = static_cast<int>(building_.size());
        return building_.data();
    }
    size = ready_.back()->size;
    return ready_.back()->data;
}

bool AccessUnitAssembler::pop(std::shared_ptr<AVPacket>& unit) {
    if (ready_.empty()) {
        return false;
    }
    unit = std::move(ready_.front());
    ready_.pop_front();
    return true;
}

}  // namespace rtp
}  // namespace media
