// The steps every decoded picture goes through: convert to BGR, keep in the bounded
// queue, write as the next numbered JPEG file.
#include <string>

#include "cpu_account.h"
#include "media/common/clogger.h"
#include "stream_decoder.h"

namespace {

constexpr std::size_t kQueueBound = 50;  // one image is dropped when more than this are held
constexpr int kLastImageIndex = 51;      // 0.jpg ... 51.jpg

}  // namespace

ImageOutcome Decoder::OutputImage(const std::shared_ptr<AVFrame>& frame, int& frame_index) {
    if (converter_.changes_picture(*frame)) {
        const char* format = av_get_pix_fmt_name(static_cast<AVPixelFormat>(frame->format));
        LOG_INFO("[Decoder] picture changed to {}x{} {}, new scaler", frame->width, frame->height,
                 std::string(format != nullptr ? format : "unknown"));
    }

    // A full queue drops its oldest image before the conversion rather than after it, so
    // the new picture reuses that image's memory: the queue never costs more than its
    // bound, and a fresh multi-megabyte image is not cleared by the kernel for nothing.
    if (mat_queue_.size() > kQueueBound) {
        mat_queue_.pop();
    }
    // A picture whose own planes the encoder takes goes to its file before the conversion:
    // the file shows the picture the image does, and it appears without waiting for the
    // conversion and the first touch of a new image's memory. Should the conversion then
    // fail, the picture is not counted and the next one takes over its file name.
    const std::string name = std::to_string(frame_index) + ".jpg";
    const bool from_planes = JpegEncoder::takes_planes_of(*frame);
    if (from_planes) {
        jpeg_writer_.write(name, *frame);
    }
    std::shared_ptr<cv::Mat> bgr_mat;
    if (!cpu_account::measured(cpu_account::Part::Convert, [&] { return converter_.convert(frame, bgr_mat); })) {
        return ImageOutcome::Skipped;
    }
    mat_queue_.push(bgr_mat);
    if (!from_planes) {
        jpeg_writer_.write(name, *bgr_mat);
    }

    cpu_account::image_written();
    const int written_index = frame_index++;
    return written_index > kLastImageIndex - 1 ? ImageOutcome::LimitReached : ImageOutcome::Written;
}
