#include "stream_decoder.h"

#include "cpu_account.h"
#include "media/common/clogger.h"
#include "media/common/redact_url.h"
#include "running.h"

Decoder::Decoder(std::string open_source, bool cycle) : url_(std::move(open_source)), cycle_(cycle) {}

Decoder::~Decoder() {
    Stop();
    demuxer_.reset();
    decoder_.reset();
    converter_.reset();
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

    bool guessed = false;
    fps_ = media::pipeline::frame_rate_of(*demuxer_->get_video_stream(), guessed);
    if (guessed) {
        LOG_ERROR("[Decoder] use default fps 25");
    }
    keyframe_gate_.reset();
    return true;
}

void Decoder::Stop() { running.store(false); }

bool Decoder::Reconnect() {
    demuxer_.reset();
    decoder_.reset();
    converter_.reset();
    return Init();
}
