#include "stream_decoder.h"

#include "cpu_account.h"
#include "media/common/clogger.h"
#include "media/common/redact_url.h"
#include "running.h"

namespace {

constexpr double kDefaultFps = 25.0;

// A rate that only restates the stream's time base (90000 for RTP) is a guess FFmpeg
// makes when nothing describes the rate, not a rate.
bool usable_rate(AVRational rate, const AVStream& stream) {
    if (rate.num == 0 || rate.den == 0) {
        return false;
    }
    return !(stream.time_base.num > 0 && av_cmp_q(rate, av_inv_q(stream.time_base)) == 0);
}

}  // namespace

Decoder::Decoder(std::string open_source, bool cycle) : url_(std::move(open_source)), cycle_(cycle) {}

Decoder::~Decoder() {
    Stop();
    demuxer_.reset();
    decoder_.reset();
    scaler_.reset();
}

bool Decoder::Init() {
    const cpu_account::Scope account(cpu_account::Part::Open);
    if (!demuxer_) {
        demuxer_ = media::ffmpeg::Demuxer::createShare();
        demuxer_->set_running_flag(&running);
    }
    if (!demuxer_->open(url_)) {
        LOG_ERROR("[Decoder]open url failed: {}", media::common::redact_url(url_));
        return false;
    }
    if (!decoder_) {
        decoder_ = media::ffmpeg::Decoder::createShare(demuxer_);
    }
    if (!decoder_->open()) {
        LOG_ERROR("[Decoder]open decoder failed");
        return false;
    }

    const std::shared_ptr<AVCodecParameters> parameters = demuxer_->get_video_codec_parameters();
    width_ = parameters->width;
    height_ = parameters->height;
    bitrate_ = parameters->bit_rate;
    video_index_ = demuxer_->get_video_stream_index();
    codec_id_ = demuxer_->get_video_codec_id();

    const AVStream* stream = demuxer_->get_video_stream();
    AVRational frame_rate = stream->avg_frame_rate;
    if (frame_rate.num == 0 || frame_rate.den == 0) {
        frame_rate = stream->r_frame_rate;
    }
    if (usable_rate(frame_rate, *stream)) {
        fps_ = av_q2d(frame_rate);
    } else {
        LOG_ERROR("[Decoder] use default fps 25");
        fps_ = kDefaultFps;
    }
    keyframe_gate_.reset();
    return true;
}

void Decoder::Stop() { running.store(false); }

bool Decoder::Reconnect() {
    demuxer_.reset();
    decoder_.reset();
    scaler_.reset();
    return Init();
}
