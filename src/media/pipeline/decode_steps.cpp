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

bool BgrConverter::changes_picture(const AVFrame& frame) const {
    return scaler_ && (frame.width != width_ || frame.height != height_ || frame.format != format_);
}

bool BgrConverter::convert(const std::shared_ptr<AVFrame>& frame, std::shared_ptr<cv::Mat>& bgr) {
    // A stream whose picture size or format changes would otherwise be rejected by the
    // scaler built for its first picture until a reconnection that never comes.
    if (!scaler_ || changes_picture(*frame)) {
        const auto format = static_cast<AVPixelFormat>(frame->format);
        scaler_ = ffmpeg::Scaler::createShare(frame->width, frame->height, format, frame->width, frame->height,
                                              AV_PIX_FMT_BGR24);
        width_ = frame->width;
        height_ = frame->height;
        format_ = frame->format;
    }
    return scaler_->scale(frame, bgr);
}

}  // namespace pipeline
}  // namespace media
