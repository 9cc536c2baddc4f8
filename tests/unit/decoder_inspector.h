#pragma once
// Read access to a decoder's codec context; the class is befriended by media::ffmpeg::Decoder.

#include "media/ffmpeg/decoder.h"

namespace media {
namespace ffmpeg {

class DecoderInspector {
public:
    static const AVCodecContext* context(const Decoder& decoder) { return decoder.m_codec_ctx.get(); }
};

}  // namespace ffmpeg
}  // namespace media
