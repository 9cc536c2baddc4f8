#include "media/pipeline/chain.h"

namespace media {
namespace pipeline {

Chain::Chain(const std::atomic<bool>& running, bool paced) : demuxer_(ffmpeg::Demuxer::createShare()) {
    demuxer_->set_running_flag(&running);
    demuxer_->set_paced(paced);
}

int Chain::open(const std::string& address) {
    if (!demuxer_->open(address)) {
        return demuxer_->open_status();
    }
    decoder_ = ffmpeg::Decoder::createShare(demuxer_);
    if (!decoder_->open()) {
        decoder_.reset();
        return AVERROR_DECODER_NOT_FOUND;
    }
    const AVStream& stream = *demuxer_->get_video_stream();
    video_index_ = demuxer_->get_video_stream_index();
    time_base_ = stream.time_base;
    AVRational rate = stream.avg_frame_rate;
    if (rate.num == 0 || rate.den == 0) {
        rate = stream.r_frame_rate;
    }
    const bool restates_time_base = stream.time_base.num > 0 && av_cmp_q(rate, av_inv_q(stream.time_base)) == 0;
    frame_rate_guessed_ = rate.num == 0 || rate.den == 0 || restates_time_base;
    frame_rate_ = frame_rate_guessed_ ? kDefaultFrameRate : av_q2d(rate);
    return 0;
}

GateNotes Chain::send(const std::shared_ptr<AVPacket>& packet) {
    GateNotes notes;
    if ((packet->flags & AV_PKT_FLAG_CORRUPT) != 0) {
        notes.picture_lost = gate_.note_damage(*packet);
    } else {
        notes.waiting_for_keyframe = gate_.note_packet(*packet);
    }
    if (!decoder_->send(packet) && decoder_->refused_last_packet()) {
        notes.picture_refused = gate_.note_damage(*packet);
    }
    return notes;
}

bool Chain::receive(std::shared_ptr<AVFrame>& admitted) {
    admitted = ffmpeg::make_frame();
    if (!admitted || decoder_->next_picture(admitted) != 0) {
        admitted.reset();
        return false;
    }
    if (!gate_.admits(*admitted)) {
        admitted.reset();
    }
    return true;
}

}  // namespace pipeline
}  // namespace media
