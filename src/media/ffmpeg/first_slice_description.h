#pragma once
// Learns an H.264 or HEVC stream's picture size, pixel format and frame rate from its
// parameter sets and its first slice header, as FFmpeg's parser does, without decoding a
// picture. Each picture is looked at once, when its first slice is in, so the work grows
// with what arrives, not with how long the description takes.

#include <cstdint>
#include <memory>
#include <vector>

#include "media/ffmpeg/av.h"

namespace media {
namespace ffmpeg {

class FirstSliceDescription {
public:
    // `parameters`: the stream as the session described it (codec, parameter sets).
    explicit FirstSliceDescription(const AVCodecParameters& parameters);
    ~FirstSliceDescription();
    FirstSliceDescription(const FirstSliceDescription&) = delete;
    FirstSliceDescription& operator=(const FirstSliceDescription&) = delete;

    // Reads a picture's leading NAL units (parameter sets, SEI, the start of its first
    // slice). True once size and format are known.
    bool describe(const uint8_t* data, int size);

    int width() const { return width_; }
    int height() const { return height_; }
    int format() const { return format_; }
    // {0, 1} when the parameter sets give no rate.
    AVRational frame_rate() const { return frame_rate_; }

private:
    struct ParserCloser {
        void operator()(AVCodecParserContext* parser) const;
    };
    std::unique_ptr<AVCodecParserContext, ParserCloser> parser_;
    std::unique_ptr<AVCodecContext, CodecContextDeleter> context_;
    std::vector<uint8_t> padded_;  // the latest input, with the padding parsers read into
    int width_ = 0;
    int height_ = 0;
    int format_ = -1;
    AVRational frame_rate_{0, 1};
};

}  // namespace ffmpeg
}  // namespace media
