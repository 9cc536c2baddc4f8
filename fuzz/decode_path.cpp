#include "decode_path.h"

#include <iostream>
#include <memory>

#include <opencv2/core/mat.hpp>

#include "media/ffmpeg/decoder.h"
#include "media/ffmpeg/demuxer.h"
#include "media/image/bgr_converter.h"
#include "memory_input.h"

namespace media {
namespace fuzz {

namespace {

// Bounds the work one input can cause, so the fuzzer spends its time on new inputs.
constexpr int kMaxPackets = 256;
// Headers may claim pictures of any size; converting a giant one only measures memory.
constexpr int64_t kMaxPixels = 4096LL * 4096LL;

void drain(ffmpeg::Decoder& decoder, image::BgrConverter& converter, DecodePathStats& stats) {
    for (;;) {
        std::shared_ptr<AVFrame> frame = ffmpeg::make_frame();
        if (!frame || !decoder.receive(frame)) {
            return;
        }
        ++stats.pictures;
        std::shared_ptr<cv::Mat> image;
        if (static_cast<int64_t>(frame->width) * frame->height <= kMaxPixels && converter.convert(frame, image) &&
            !image->empty()) {
            ++stats.images;
        }
    }
}

}  // namespace

DecodePathStats run_decode_path(const uint8_t* data, std::size_t size) {
    DecodePathStats stats;
    // Declared first so it outlives the demuxer that reads through it.
    MemoryInput input(data, size);
    if (input.io() == nullptr) {
        return stats;
    }
    auto demuxer = ffmpeg::Demuxer::createShare();
    if (!demuxer->open(input.io())) {
        return stats;
    }
    stats.opened = true;

    ffmpeg::Decoder decoder(demuxer);
    if (decoder.open()) {
        image::BgrConverter converter;
        for (int i = 0; i < kMaxPackets; ++i) {
            std::shared_ptr<AVPacket> packet = ffmpeg::make_packet();
            if (!packet || demuxer->read_packet(packet) < 0) {
                break;
            }
            ++stats.packets;
            if (packet->stream_index != demuxer->get_video_stream_index()) {
                continue;
            }
            decoder.send(packet);
            drain(decoder, converter, stats);
        }
        decoder.send(nullptr);
        drain(decoder, converter, stats);
    }
    decoder.close();
    return stats;
}

void silence_logging() {
    av_log_set_level(AV_LOG_QUIET);
    std::cout.setstate(std::ios::badbit);
}

}  // namespace fuzz
}  // namespace media
