#include "stream_decoder.h"

#include "cpu_account.h"
#include "media/common/clogger.h"
#include "media/common/redact_url.h"
#include "running.h"

Decoder::Decoder(std::string open_source, bool cycle) : url_(std::move(open_source)), cycle_(cycle) {}

Decoder::~Decoder() {
    Stop();
    chain_.reset();
    converter_.reset();
}

bool Decoder::Init() {
    const cpu_account::Scope account(cpu_account::Part::Open);
    chain_ = std::make_unique<media::pipeline::Chain>(running, true);
    const int status = chain_->open(url_);
    if (status != 0) {
        if (status == AVERROR_DECODER_NOT_FOUND) {
            LOG_ERROR("[Decoder]open decoder failed");
        } else {
            LOG_ERROR("[Decoder]open url failed: {}", media::common::redact_url(url_));
        }
        return false;
    }
    media::ffmpeg::Demuxer& demuxer = chain_->demuxer();
    const std::shared_ptr<AVCodecParameters> parameters = demuxer.get_video_codec_parameters();
    width_ = parameters->width;
    height_ = parameters->height;
    bitrate_ = parameters->bit_rate;
    video_index_ = demuxer.get_video_stream_index();
    codec_id_ = demuxer.get_video_codec_id();
    fps_ = chain_->frame_rate();
    if (chain_->frame_rate_guessed()) {
        LOG_ERROR("[Decoder] use default fps 25");
    }
    return true;
}

void Decoder::Stop() { running.store(false); }

bool Decoder::Reconnect() {
    chain_.reset();
    converter_.reset();
    return Init();
}
