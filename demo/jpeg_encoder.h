#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include <opencv2/core/mat.hpp>

struct AVFrame;

// Encodes 8-bit images as baseline JPEG with libjpeg at quality 95 and 4:2:0 chroma, the
// settings cv::imwrite uses by default, and gives the same bytes. Calling libjpeg directly
// lets it read BGR rows in place, where OpenCV copies every row into RGB order first, and
// keeps OpenCV's image codec library, whose start-up costs more than a picture, out of
// the program.
class JpegEncoder {
public:
    JpegEncoder();
    ~JpegEncoder();
    JpegEncoder(const JpegEncoder&) = delete;
    JpegEncoder& operator=(const JpegEncoder&) = delete;

    // Encodes a BGR (CV_8UC3) or grey (CV_8UC1) image into the encoder's buffer. False,
    // with the reason in `error`, for any other image or when libjpeg fails.
    bool encode(const cv::Mat& image, std::string& error);

    // Whether `encode` can take this decoded picture's own 4:2:0 planes (yuv420p, yuvj420p,
    // nv12), which spares libjpeg's colour conversion and chroma downsampling, and still
    // give the picture its BGR image shows: BT.601 pictures, whose YCbCr is JPEG's once the
    // range is full, and BT.709 ones, whose YCbCr the encoder re-expresses as JPEG's, at an
    // even height and a width that is a multiple of 16. Every other picture is to be
    // encoded from its BGR image.
    static bool takes_planes_of(const AVFrame& frame);

    // Encodes a picture `takes_planes_of` accepts, stretching limited range to JPEG's full
    // range and re-expressing BT.709's colours in JPEG's BT.601, with the BGR path's quality
    // and tables. False, with the reason in `error`, for any other picture or when libjpeg
    // fails. The frame is only read.
    bool encode(const AVFrame& frame, std::string& error);

    // The YCbCr that `encode(frame)` hands libjpeg, before any compression, made by the same
    // code: luma at the picture's size, Cb and Cr at half its width and height. False for
    // a picture `takes_planes_of` refuses. Lets the colour arithmetic be checked alone.
    static bool ycbcr_of(const AVFrame& frame, cv::Mat& luma, cv::Mat& cb, cv::Mat& cr);

    // The latest encoded picture; valid until the next `encode`.
    const unsigned char* data() const;
    std::size_t size() const;

private:
    // Runs `run` (one of libjpeg's passes over the picture), with the checks and the error
    // report both kinds of picture share.
    template <typename Compress>
    bool compress(Compress run, std::string& error);

    struct State;  // libjpeg's structures and the output buffer, reused for every picture
    std::unique_ptr<State> state_;
};
