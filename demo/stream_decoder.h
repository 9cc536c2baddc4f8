#pragma once
// The demo's stream: one source address tied to the library's chain (demuxer, decoder,
// keyframe gate) and a converter made on the first picture, plus the bounded queue of the
// latest images.

#include <cstdint>
#include <memory>
#include <queue>
#include <string>

#include <opencv2/core/mat.hpp>

#include "jpeg_file.h"
#include "media/image/bgr_converter.h"
#include "media/pipeline/chain.h"

enum class ImageOutcome { Skipped, Written, LimitReached };

class Decoder {
public:
    Decoder(std::string open_source, bool cycle);
    ~Decoder();
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    bool Init();
    void Stop();
    void Worker();
    bool Reconnect();

    // The image output steps for one decoded picture; frame_index numbers the next file.
    ImageOutcome OutputImage(const std::shared_ptr<AVFrame>& frame, int& frame_index);

    media::pipeline::Chain& chain() { return *chain_; }

private:
    std::string url_;
    bool cycle_;
    double fps_ = 0.0;
    int video_index_ = 0;
    int width_ = 0;
    int height_ = 0;
    int64_t bitrate_ = 0;
    AVCodecID codec_id_ = AV_CODEC_ID_NONE;
    std::unique_ptr<media::pipeline::Chain> chain_;
    std::queue<std::shared_ptr<cv::Mat>> mat_queue_;

    media::image::BgrConverter converter_;  // forgets the picture it last saw at each reconnection
    JpegFileWriter jpeg_writer_;
};
