// media_demo's per-picture stages, each alone on the same pictures, for the limit the
// whole program is compared against: decoding (the program's decoder set-up, packets
// already in memory), conversion to a BGR image, JPEG encoding (the program's encoder
// and its reused buffer) from the BGR image and from the decoded picture's own planes,
// and encoding plus writing the file from whichever of the two the program takes. Apart
// from those, the price of the fresh memory the program's queue of images needs: that
// many new images, each page touched once.
// Usage: stage_bench <video file> [runs] [pictures]
// Prints "<stage> cpu_ms=<median per picture> wall_ms=<median per picture>
// first_cpu_ms=<first run>" per stage; CPU time is the whole process's (every thread).
// The first run shows what memory the process has never touched costs: on a virtual
// machine that can be many times the later runs'.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "jpeg_encoder.h"
#include "jpeg_file.h"
#include "media/ffmpeg/decoder.h"
#include "media/ffmpeg/demuxer.h"
#include "media/image/frame_converter.h"
#include "media/image/picture_allocator.h"

namespace {

using media::ffmpeg::make_frame;
using media::ffmpeg::make_packet;

double seconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2.0;
}

// Runs `stage` `runs` times and prints the median CPU and wall time per picture.
void measure(const char* name, int runs, int pictures, const std::function<void()>& stage) {
    std::vector<double> cpu;
    std::vector<double> wall;
    for (int run = 0; run < runs; ++run) {
        const double cpu_start = seconds(CLOCK_PROCESS_CPUTIME_ID);
        const double wall_start = seconds(CLOCK_MONOTONIC);
        stage();
        cpu.push_back((seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu_start) * 1000.0 / pictures);
        wall.push_back((seconds(CLOCK_MONOTONIC) - wall_start) * 1000.0 / pictures);
    }
    std::printf("%s cpu_ms=%.4f wall_ms=%.4f first_cpu_ms=%.4f\n", name, median(cpu), median(wall), cpu.front());
    std::fflush(stdout);
}

std::shared_ptr<media::ffmpeg::Demuxer> open_source(const std::string& path) {
    auto demuxer = media::ffmpeg::Demuxer::createShare();
    if (!demuxer->open(path)) {
        std::fprintf(stderr, "cannot open %s\n", path.c_str());
        std::exit(1);
    }
    return demuxer;
}

// The video packets from the first keyframe on, read once so decoding is timed alone.
std::vector<std::shared_ptr<AVPacket>> read_packets(const std::string& path) {
    auto demuxer = open_source(path);
    std::vector<std::shared_ptr<AVPacket>> packets;
    for (;;) {
        auto packet = make_packet();
        if (av_read_frame(demuxer->get_format_ctx(), packet.get()) < 0) {
            break;
        }
        const bool video = packet->stream_index == demuxer->get_video_stream_index();
        if (video && (!packets.empty() || (packet->flags & AV_PKT_FLAG_KEY) != 0)) {
            packets.push_back(packet);
        }
    }
    return packets;
}

// Decodes like the program's worker: one send, then one receive, per packet.
std::vector<std::shared_ptr<AVFrame>> decode(const std::string& path,
                                              const std::vector<std::shared_ptr<AVPacket>>& packets,
                                              int pictures, bool keep) {
    auto demuxer = open_source(path);
    media::ffmpeg::Decoder decoder(demuxer);
    if (!decoder.open()) {
        std::exit(1);
    }
    std::vector<std::shared_ptr<AVFrame>> frames;
    int decoded = 0;
    for (std::size_t i = 0; decoded < pictures && i <= packets.size(); ++i) {
        decoder.send(i < packets.size() ? packets[i] : std::shared_ptr<AVPacket>());
        for (;;) {
            auto frame = make_frame();
            if (!decoder.receive(frame)) {
                break;
            }
            ++decoded;
            if (keep) {
                frames.push_back(frame);
            }
            if (i < packets.size() || decoded >= pictures) {
                break;  // the worker takes at most one picture per packet
            }
        }
    }
    if (decoded < pictures) {
        std::fprintf(stderr, "%s: only %d pictures\n", path.c_str(), decoded);
        std::exit(1);
    }
    return frames;
}

bool convert(const std::shared_ptr<AVFrame>& frame, cv::Mat& image) {
    static media::image::FrameConverter converter;
    return converter.to_bgr(*frame, image);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <video file> [runs] [pictures]\n", argv[0]);
        return 2;
    }
    const std::string path = argv[1];
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
    const int pictures = argc > 3 ? std::max(1, std::atoi(argv[3])) : 52;

    // First, while the process has touched little memory, as the program's queue fills.
    const auto geometry = open_source(path)->get_video_codec_parameters();
    const int rows = geometry->height;
    const int cols = geometry->width;
    // The queue holds 51 images; the program's last picture reuses the oldest one's memory.
    const int queued = std::min(pictures, 51);
    measure("queue_memory", runs, pictures, [&] {
        std::vector<cv::Mat> held;
        for (int i = 0; i < queued; ++i) {
            held.push_back(media::image::new_bgr_image(rows, cols));
            volatile unsigned char* bytes = held.back().data;
            for (std::size_t at = 0; at < held.back().total() * 3; at += 4096) bytes[at] = 1;
        }
    });

    const auto packets = read_packets(path);
    const auto frames = decode(path, packets, pictures, true);

    measure("decode", runs, pictures, [&] { decode(path, packets, pictures, false); });

    cv::Mat image = media::image::new_bgr_image(rows, cols);
    measure("convert", runs, pictures, [&] {
        for (const auto& frame : frames) {
            if (!convert(frame, image)) std::exit(1);
        }
    });

    std::vector<cv::Mat> images;
    for (const auto& frame : frames) {
        images.push_back(media::image::new_bgr_image(rows, cols));
        convert(frame, images.back());
    }
    JpegEncoder encoder;
    std::string error;
    measure("encode", runs, pictures, [&] {
        for (const auto& picture : images) {
            if (!encoder.encode(picture, error)) std::exit(1);
        }
    });
    if (JpegEncoder::takes_planes_of(*frames.front())) {
        measure("encode_planes", runs, pictures, [&] {
            for (const auto& frame : frames) {
                if (!encoder.encode(*frame, error)) std::exit(1);
            }
        });
    }

    char directory[] = "/tmp/stage_bench.XXXXXX";
    if (mkdtemp(directory) == nullptr) {
        return 1;
    }
    JpegFileWriter writer;
    measure("encode_write", runs, pictures, [&] {
        for (std::size_t i = 0; i < images.size(); ++i) {
            writer.write(std::string(directory) + "/" + std::to_string(i) + ".jpg", *frames[i], images[i]);
        }
    });
    for (std::size_t i = 0; i < images.size(); ++i) {
        unlink((std::string(directory) + "/" + std::to_string(i) + ".jpg").c_str());
    }
    rmdir(directory);
    images.clear();

    return 0;
}
