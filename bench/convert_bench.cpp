// Frame -> BGR image conversion: libswscale against OpenCV's own colour conversion, for
// the two layouts decoders emit most (yuv420p, nv12), at common picture sizes.
// Decoded planes carry padded line sizes, so the frames here are padded the same way.
#include <benchmark/benchmark.h>

#include <opencv2/imgproc.hpp>

#include "media/ffmpeg/scaler.h"

namespace {

using media::ffmpeg::make_frame;

const std::pair<int, int> kSizes[] = {{640, 360}, {854, 480}, {1280, 720}, {1920, 1080}, {3840, 2160}};

std::shared_ptr<AVFrame> padded_frame(int width, int height, AVPixelFormat format) {
    std::shared_ptr<AVFrame> frame = make_frame();
    frame->width = width;
    frame->height = height;
    frame->format = format;
    av_frame_get_buffer(frame.get(), 64);
    for (int plane = 0; plane < 4 && frame->buf[plane]; ++plane) {
        for (std::size_t i = 0; i < frame->buf[plane]->size; ++i) frame->buf[plane]->data[i] = uint8_t(i * 7);
    }
    return frame;
}

void set_pixels(benchmark::State& state, int width, int height) {
    state.counters["ns_per_pixel"] = benchmark::Counter(
        double(state.iterations()) * width * height,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The library path: Scaler::scale(frame, mat), a new image per picture as the pipeline does.
void BM_Scaler(benchmark::State& state, AVPixelFormat format) {
    const int width = int(state.range(0)), height = int(state.range(1));
    const auto frame = padded_frame(width, height, format);
    auto scaler = media::ffmpeg::Scaler::createShare(width, height, format, width, height, AV_PIX_FMT_BGR24);
    for (auto _ : state) {
        std::shared_ptr<cv::Mat> image;
        benchmark::DoNotOptimize(scaler->scale(frame, image));
    }
    set_pixels(state, width, height);
}

// libswscale's fast path alone: not correct at every width, shown for what it would gain.
void BM_SwsFastBilinear(benchmark::State& state, AVPixelFormat format) {
    const int width = int(state.range(0)), height = int(state.range(1));
    const auto frame = padded_frame(width, height, format);
    SwsContext* context = sws_getContext(width, height, format, width, height, AV_PIX_FMT_BGR24,
                                         SWS_FAST_BILINEAR, nullptr, nullptr, nullptr);
    cv::Mat image(height, width + 16, CV_8UC3);  // room for the overrun it is known for
    for (auto _ : state) {
        uint8_t* data[4] = {image.data};
        int linesize[4] = {width * 3};
        benchmark::DoNotOptimize(sws_scale(context, frame->data, frame->linesize, 0, height, data, linesize));
    }
    sws_freeContext(context);
    set_pixels(state, width, height);
}

// OpenCV: needs the planes packed as one I420 block (a copy), or two planes for nv12.
void BM_CvtColor(benchmark::State& state, AVPixelFormat format) {
    const int width = int(state.range(0)), height = int(state.range(1));
    const auto frame = padded_frame(width, height, format);
    for (auto _ : state) {
        cv::Mat image(height, width, CV_8UC3);
        if (format == AV_PIX_FMT_NV12) {
            cv::Mat y(height, width, CV_8UC1, frame->data[0], size_t(frame->linesize[0]));
            cv::Mat uv(height / 2, width / 2, CV_8UC2, frame->data[1], size_t(frame->linesize[1]));
            cv::cvtColorTwoPlane(y, uv, image, cv::COLOR_YUV2BGR_NV12);
        } else {
            cv::Mat packed(height * 3 / 2, width, CV_8UC1);
            av_image_copy_to_buffer(packed.data, int(packed.total()), frame->data, frame->linesize,
                                    AV_PIX_FMT_YUV420P, width, height, 1);
            cv::cvtColor(packed, image, cv::COLOR_YUV2BGR_I420);
        }
        benchmark::DoNotOptimize(image.data);
    }
    set_pixels(state, width, height);
}

void sizes(benchmark::internal::Benchmark* bench) {
    for (const auto& size : kSizes) bench->Args({size.first, size.second});
    bench->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMillisecond);
}

BENCHMARK_CAPTURE(BM_Scaler, yuv420p, AV_PIX_FMT_YUV420P)->Apply(sizes);
BENCHMARK_CAPTURE(BM_Scaler, nv12, AV_PIX_FMT_NV12)->Apply(sizes);
BENCHMARK_CAPTURE(BM_SwsFastBilinear, yuv420p, AV_PIX_FMT_YUV420P)->Apply(sizes);
BENCHMARK_CAPTURE(BM_SwsFastBilinear, nv12, AV_PIX_FMT_NV12)->Apply(sizes);
BENCHMARK_CAPTURE(BM_CvtColor, yuv420p, AV_PIX_FMT_YUV420P)->Apply(sizes);
BENCHMARK_CAPTURE(BM_CvtColor, nv12, AV_PIX_FMT_NV12)->Apply(sizes);

}  // namespace

BENCHMARK_MAIN();
