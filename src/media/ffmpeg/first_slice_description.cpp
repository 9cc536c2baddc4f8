#include "first_slice_description.h"

namespace media {
namespace ffmpeg {

void FirstSliceDescription::ParserCloser::operator()(AVCodecParserContext* parser) const { av_parser_close(parser); }

FirstSliceDescription::FirstSliceDescription(const AVCodecParameters& parameters)
    : parser_(av_parser_init(parameters.codec_id)), context_(avcodec_alloc_context3(nullptr)) {
    if (!parser_ || !context_ || avcodec_parameters_to_context(context_.get(), &parameters) < 0) {
        parser_.reset();
        return;
    }
    parser_->flags |= PARSER_FLAG_COMPLETE_FRAMES;
    // H.264 counts time in fields; its decoder says so, and the parser's rate relies on it.
    if (parameters.codec_id == AV_CODEC_ID_H264) {
        context_->ticks_per_frame = 2;
    }
}

FirstSliceDescription::~FirstSliceDescription() = default;

bool FirstSliceDescription::describe(const uint8_t* data, int size) {
    if (!parser_ || data == nullptr || size <= 0) {
        return false;
    }
    // FFmpeg's parsers read past the end of their input, up to its padding: the bytes
    // come from the network, and where the picture ends is theirs to choose.
    padded_.assign(data, data + size);
    padded_.resize(static_cast<size_t>(size) + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    uint8_t* out = nullptr;
    int out_size = 0;
    av_parser_parse2(parser_.get(), context_.get(), &out, &out_size, padded_.data(), size, AV_NOPTS_VALUE,
                     AV_NOPTS_VALUE, 0);
    if (parser_->width <= 0 || parser_->height <= 0 || parser_->format < 0) {
        return false;
    }
    width_ = parser_->width;
    height_ = parser_->height;
    format_ = parser_->format;
    if (context_->framerate.num > 0 && context_->framerate.den > 0) {
        frame_rate_ = context_->framerate;
    }
    return true;
}

}  // namespace ffmpeg
}  // namespace media
