#pragma once

#include <opencv2/core/mat.hpp>

#include "media/ffmpeg/av.h"

namespace media {
namespace image {

// Whether bgr_from_420 takes the picture: 8-bit 4:2:0 (yuv420p, yuvj420p, nv12) at an even
// width and height.
bool bgr_from_420_takes(const AVFrame& frame);

// The picture as 8-bit BGR, each chroma sample serving its 2x2 block of pixels, within
// 0.6 of a level of the equations of BT.709 or else BT.601 on every channel; `bgr` is
// CV_8UC3 at the picture's size.
void bgr_from_420(const AVFrame& frame, bool full_range, bool bt709, cv::Mat& bgr);

}  // namespace image
}  // namespace media
