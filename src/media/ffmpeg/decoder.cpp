#include "media/ffmpeg/decoder.h"

#include <atomic>
#include <string>

#include "media/common/clogger.h"
#include "media/ffmpeg/safe_avformat.h"

#ifndef MEDIA_H264_DECODER
#define MEDIA_H264_DECODER "h264_soc"
#endif
#ifndef MEDIA_HEVC_DECODER
#define MEDIA_HEVC_DECODER "hevc_soc"
#endif
#ifndef MEDIA_MJPEG_DECODER
#define MEDIA_MJPEG_DECODER "jpeg_soc"
#endif

namespace media {
namespace ffmpeg {

namespace {

constexpr const char* kDecoderFrameRate = "25";

// The named hardware decoder for the codecs the board accelerates, or null for the rest.
const char* hardware_decoder_name(AVCodecID id) {
    switch (id) {
        case AV_CODEC_ID_MJPEG: return MEDIA_MJPEG_DECODER;
        case AV_CODEC_ID_H264: return MEDIA_H264_DECODER;
        case AV_CODEC_ID_HEVC: return MEDIA_HEVC_DECODER;
        default: return nullptr;
    }
}

#ifdef AV_CODEC_CAP_TRUNCATED
// FFmpeg 5's MPEG-1/2 decoder assembles frames in a buffer of its own when the input may
// be truncated, and frees it only once it has seen a sequence header: a decoder closed
// before that leaks it, once per reconnection to a damaged stream
// (fuzz/regressions/mpeg2-before-sequence-header.mkv). Demuxed packets hold whole
// frames, so that decoder does without the flag.
bool loses_truncated_buffer(AVCodecID id) { return id == AV_CODEC_ID_MPEG1VIDEO || id == AV_CODEC_ID_MPEG2VIDEO; }
#endif

// Releases the open options whether avcodec_open2 succeeds or AV_CHECK returns early.
struct DictionaryGuard {
    AVDictionary* dict = nullptr;
    ~DictionaryGuard() { av_dict_free(&dict); }
};

// As AV_CHECK says it.
void log_status(int status) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(status, text, sizeof text);
    LOG_ERROR("[AV_STRERROR]: {} {}", std::string(text), status);
}

}  // namespace

Decoder::Decoder(std::shared_ptr<Demuxer> demux) : m_demux(std::move(demux)) {}

Decoder::~Decoder() { close(); }

const AVCodec* Decoder::find_decoder(AVCodecID dec_id) {
    const char* name = hardware_decoder_name(dec_id);
    if (name == nullptr) {
        return avcodec_find_decoder(dec_id);
    }
    const AVCodec* codec = avcodec_find_decoder_by_name(name);
    if (codec != nullptr) {
        return codec;
    }
    // Without the board's decoders (a development machine, a CI runner) FFmpeg's own
    // decoder for the codec serves instead; say which, so a slow board is explained.
    codec = avcodec_find_decoder(dec_id);
    if (codec != nullptr) {
        LOG_INFO("decoder {} not available, using {}", std::string(name), std::string(codec->name));
    }
    return codec;
}

bool Decoder::open() {
    // Decoders alternate between the board's two devices, process-wide: several streams
    // opening at once each take the next.
    static std::atomic<unsigned> gpu_id{0};

    if (!m_demux) {
        LOG_ERROR("avcodec_find_decoder failed");
        return false;
    }
    const AVCodecID codec_id = m_demux->get_video_codec_id();
    const AVCodec* codec = find_decoder(codec_id);
    if (codec == nullptr) {
        LOG_ERROR("avcodec_find_decoder failed");
        return false;
    }

    m_codec_ctx.reset(avcodec_alloc_context3(codec), CodecContextDeleter{});
    if (!m_codec_ctx) {
        LOG_ERROR("alloc_av_codec_context failed");
        return false;
    }

    const AVCodecParameters* stream_info = m_demux->get_video_stream()->codecpar;
    AV_CHECK(avcodec_parameters_to_context(m_codec_ctx.get(), stream_info));

    m_codec_ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
    m_codec_ctx->flags2 |= AV_CODEC_FLAG2_FAST;
    m_codec_ctx->width = stream_info->width;
    m_codec_ctx->height = stream_info->height;
#ifdef AV_CODEC_CAP_TRUNCATED
    // Gone from FFmpeg 6; in 5.x still there but deprecated.
    if ((codec->capabilities & AV_CODEC_CAP_TRUNCATED) && !loses_truncated_buffer(codec->id)) {
        m_codec_ctx->flags |= AV_CODEC_FLAG_TRUNCATED;
    }
#endif

    DictionaryGuard options;
    av_dict_set(&options.dict, "framerate", kDecoderFrameRate, 0);
    const int gpu = static_cast<int>(gpu_id.fetch_add(1) % 2);
    av_dict_set(&options.dict, "gpu", std::to_string(gpu).c_str(), 0);

    AV_CHECK(avcodec_open2(m_codec_ctx.get(), codec, &options.dict));
    LOG_INFO("decoder {} opened, gpu {}", std::string(codec->name), gpu);
    return true;
}

bool Decoder::send(std::shared_ptr<AVPacket> packet) {
    refused_ = false;
    if (!m_codec_ctx) {
        LOG_ERROR("m_codec_ctx is nullptr");
        return false;
    }
    const int status = avcodec_send_packet(m_codec_ctx.get(), packet.get());
    refused_ = status < 0 && status != AVERROR(EAGAIN) && status != AVERROR_EOF;
    AV_CHECK(status);
    return true;
}

bool Decoder::receive(std::shared_ptr<AVFrame>& frame) {
    const int status = next_picture(frame);
    if (status == AVERROR_EOF) {
        log_status(status);  // after the last picture: a failure to one who expected another
    }
    return status == 0;
}

int Decoder::next_picture(std::shared_ptr<AVFrame>& frame) {
    if (!m_codec_ctx) {
        LOG_ERROR("m_codec_ctx is nullptr");
        return AVERROR(EINVAL);
    }
    const int status = avcodec_receive_frame(m_codec_ctx.get(), frame.get());
    if (status < 0 && status != AVERROR(EAGAIN) && status != AVERROR_EOF) {
        log_status(status);
    }
    return status;
}

void Decoder::close() {
    if (m_demux) {
        m_demux->close();
    }
    m_codec_ctx.reset();
}

}  // namespace ffmpeg
}  // namespace media
