#pragma once
// Converts pictures between FFmpeg frames, raw byte buffers and OpenCV images for one
// fixed source geometry and one fixed destination geometry.

#include <cstdint>
#include <memory>
#include <type_traits>

#include <opencv2/core/mat.hpp>

#include "media/ffmpeg/av.h"

namespace media {
namespace image {
class FrameConverter;
}
namespace ffmpeg {

class Scaler {
public:
    Scaler(int src_width, int src_height, AVPixelFormat src_format, int dst_width, int dst_height,
           AVPixelFormat dst_format);

    static std::shared_ptr<Scaler> createShare(int src_width, int src_height, AVPixelFormat src_format,
                                               int dst_width, int dst_height, AVPixelFormat dst_format) {
        return std::make_shared<Scaler>(src_width, src_height, src_format, dst_width, dst_height, dst_format);
    }

    // The argument types choose the conversion at compile time:
    //   frame -> frame, frame -> buffer, buffer -> frame, buffer -> buffer  (libswscale)
    //   frame -> new cv::Mat, cv::Mat -> new frame                          (image layer)
    // A raw buffer destination holds at least dst_width * dst_height * 3 bytes.
    template <typename F, typename T>
    bool scale(const F& src, T& dst) {
        using Frame = std::shared_ptr<AVFrame>;
        using Image = std::shared_ptr<cv::Mat>;
        if constexpr (std::is_same_v<F, Frame> && std::is_same_v<T, Frame>) {
            return scale_avframe_to_avframe(src, dst);
        } else if constexpr (std::is_same_v<F, Frame> && std::is_same_v<T, uint8_t*>) {
            return scale_avframe_to_uint8(src, dst);
        } else if constexpr (std::is_same_v<F, uint8_t*> && std::is_same_v<T, Frame>) {
            return scale_uint8_to_avframe(src, dst);
        } else if constexpr (std::is_same_v<F, uint8_t*> && std::is_same_v<T, uint8_t*>) {
            return scale_uint8_to_uint8(src, dst);
        } else if constexpr (std::is_same_v<F, Frame> && std::is_same_v<T, Image>) {
            return scale_avframe_to_cvmat(src, dst);
        } else if constexpr (std::is_same_v<F, Image> && std::is_same_v<T, Frame>) {
            return scale_cvmat_to_avframe(src, dst);
        } else {
            static_assert(!std::is_same_v<F, F>, "Scaler::scale has no conversion for this pair of types");
            return false;
        }
    }

private:
    bool scale_avframe_to_avframe(std::shared_ptr<AVFrame> src, std::shared_ptr<AVFrame>& dst);
    bool scale_avframe_to_uint8(std::shared_ptr<AVFrame> src, uint8_t* dst);
    bool scale_uint8_to_avframe(uint8_t* src, std::shared_ptr<AVFrame>& dst);
    bool scale_uint8_to_uint8(uint8_t* src, uint8_t* dst);
    bool scale_avframe_to_cvmat(std::shared_ptr<AVFrame> src, std::shared_ptr<cv::Mat>& dst);
    bool scale_cvmat_to_avframe(std::shared_ptr<cv::Mat> src, std::shared_ptr<AVFrame>& dst);

    std::shared_ptr<AVFrame> frame_over_buffer(uint8_t* buffer) const;
    std::shared_ptr<AVFrame> new_destination_frame() const;
    bool copy_to_buffer(const AVFrame& frame, uint8_t* dst) const;
    SwsContext* context();

    int32_t dst_width_;
    int32_t dst_height_;
    AVPixelFormat dst_format_;
    int32_t src_width_;
    int32_t src_height_;
    AVPixelFormat src_format_;
    std::shared_ptr<SwsContext> sws_ctx_;  // made when a libswscale pair is first used
    std::shared_ptr<image::FrameConverter> images_;
};

}  // namespace ffmpeg
}  // namespace media
