#pragma once
// The image layer between decoded frames and OpenCV images. A board build backs these
// calls with its device-aware OpenCV; this build implements them on stock FFmpeg and
// OpenCV. Only the Scaler calls them.

#include <opencv2/core/mat.hpp>

#include "media/ffmpeg/av.h"

namespace media {
namespace image {

// Frame kinds, as the image layer numbers them.
constexpr int kDecodedFrame = 0x100000;
constexpr int kNewFrame = 0x400;

// An image over a frame's own picture, in the frame's own pixel layout. It borrows the
// frame (the caller's handle still frees it) and is empty when the frame's layout cannot
// be represented.
class FrameImage {
public:
    FrameImage(AVFrame* frame, int kind);
    bool empty() const { return frame_ == nullptr; }
    void release() { frame_ = nullptr; }
    AVFrame* frame() const { return frame_; }

private:
    AVFrame* frame_ = nullptr;
};

// A rows x cols 8-bit BGR image set to zero, usable as the output of to_bgr.
cv::Mat new_bgr_image(int rows, int cols);

// Writes the frame's picture into bgr (same size, CV_8UC3), honouring the colour range
// and matrix the frame declares. False when the picture could not be converted.
bool to_bgr(const FrameImage& source, cv::Mat& bgr);

// Makes the image's device-side copy current; host memory is the only copy here.
void upload(cv::Mat& bgr);

// A newly allocated frame of that size, with picture buffers; av_frame_free releases it.
AVFrame* create_frame(int rows, int cols, int kind);

// Writes a BGR image into the frame's buffers, in the frame's pixel format.
bool from_bgr(const cv::Mat& bgr, FrameImage& target);

}  // namespace image
}  // namespace media
