#include "media/pipeline/decode_steps.h"

namespace media {
namespace pipeline {

double frame_rate_of(const AVStream& stream, bool& guessed) {
    AVRational rate = stream.avg_frame_rate;
    if (rate.num == 0 || rate.den == 0) {
        rate = stream.r_frame_rate;
    }
    const bool restates_time_base = stream.time_base.num > 0 && av_cmp_q(rate, av_inv_q(stream.time_base)) == 0;
    guessed = rate.num == 0 || rate.den == 0 || restates_time_base;
    return guessed ? kDefaultFrameRate : av_q2d(rate);
}

std::shared_ptr<AVFrame> decode_gated(ffmpeg::Decoder& decoder, KeyframeGate& gate,
                                      const std::shared_ptr<AVPacket>& packet, GateNotes& notes) {
    notes = GateNotes{};
    if ((packet->flags & AV_PKT_FLAG_CORRUPT) != 0) {
        notes.picture_lost = gate.note_damage(*packet);
    } else {
        notes.waiting_for_keyframe = gate.note_packet(*packet);
    }
    if (!decoder.send(packet) && decoder.refused_last_packet()) {
        notes.picture_refused = gate.note_damage(*packet);
    }
    std::shared_ptr<AVFrame> frame = ffmpeg::make_frame();
    if (!frame || !decoder.receive(frame) || !gate.admits(*frame)) {
        return {};
    }
    return frame;
}

bool next_gated(ffmpeg::Decoder& decoder, KeyframeGate& gate, std::shared_ptr<AVFrame>& admitted, bool after_end) {
    admitted = ffmpeg::make_frame();
    if (!admitted || !(after_end ? decoder.receive_remaining(admitted) : decoder.receive(admitted))) {
        admitted.reset();
        return false;
    }
    if (!gate.admits(*admitted)) {
        admitted.reset();
    }
    return true;
}

}  // namespace pipeline
}  // namespace media
