#include "media/pipeline/keyframe_gate.h"

namespace media {
namespace pipeline {

namespace {

int64_t packet_time(const AVPacket& packet) { return packet.pts != AV_NOPTS_VALUE ? packet.pts : packet.dts; }

}  // namespace

// Some cameras send no IDR picture and no recovery point at all, only pictures made of
// intra slices, which FFmpeg's parser does not mark as keyframes.
bool starts_anew(const AVFrame& frame) {
#ifdef AV_FRAME_FLAG_KEY
    const bool key = (frame.flags & AV_FRAME_FLAG_KEY) != 0;
#else
    const bool key = frame.key_frame != 0;
#endif
    return key || frame.pict_type == AV_PICTURE_TYPE_I;
}

void KeyframeGate::reset() { *this = KeyframeGate{}; }

bool KeyframeGate::note_damage(const AVPacket& packet) {
    const bool closes = open_ || keyframe_seen_;
    keyframe_seen_ = false;
    open_ = false;
    damaged_ = true;
    damage_time_ = packet_time(packet);
    return closes;
}

bool KeyframeGate::note_packet(const AVPacket& packet) {
    if ((packet.flags & AV_PKT_FLAG_CORRUPT) != 0) {
        note_damage(packet);
        return false;
    }
    if (keyframe_seen_) {
        return false;
    }
    // The parsers mark recovery points (periodic intra refresh) as keyframes too.
    if ((packet.flags & AV_PKT_FLAG_KEY) != 0) {
        keyframe_seen_ = true;
        keyframe_time_ = packet_time(packet);
        return false;
    }
    if (waiting_reported_) {
        return false;
    }
    waiting_reported_ = true;
    return true;
}

bool KeyframeGate::admits(const AVFrame& frame) {
    if ((frame.flags & AV_FRAME_FLAG_CORRUPT) != 0 || frame.decode_error_flags != 0) {
        // What the decoder patched over is a reference of the pictures that follow: they
        // are as broken as a connection's first pictures until the next keyframe.
        keyframe_seen_ = false;
        open_ = false;
        return false;
    }
    if (!open_) {
        // Pictures decoded before the keyframe was sent, or leading pictures that
        // precede it on screen, still belong to the broken past. So does a damaged intra
        // picture, which the decoder may still call whole.
        const int64_t time = frame.best_effort_timestamp;
        const bool after_damage =
            !damaged_ || (time != AV_NOPTS_VALUE && damage_time_ != AV_NOPTS_VALUE && time > damage_time_);
        open_ = (starts_anew(frame) && after_damage) ||
                (keyframe_seen_ && (time == AV_NOPTS_VALUE || keyframe_time_ == AV_NOPTS_VALUE || time >= keyframe_time_));
        damaged_ = damaged_ && !open_;
    }
    return open_;
}

}  // namespace pipeline
}  // namespace media
