#pragma once
// Paths of the generated test media and small helpers shared by the demuxer and decoder tests.

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "media/ffmpeg/decoder.h"
#include "media/ffmpeg/demuxer.h"

namespace media {
namespace test {

inline std::string media_path(const std::string& name) { return std::string(MEDIA_TEST_MEDIA_DIR) + "/" + name; }

inline std::string av_error_text(int code) {
    char text[1024];
    av_strerror(code, text, sizeof(text));
    return text;
}

inline double elapsed_ms(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

// A fresh directory, removed with its contents at the end of the test.
class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/media-unit-XXXXXX";
        if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = name;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // A symbolic link named name inside the directory, pointing at target.
    std::string link(const std::string& target, const std::string& name) const {
        const std::filesystem::path at = path_ / name;
        std::filesystem::create_symlink(target, at);
        return at.string();
    }

private:
    std::filesystem::path path_;
};

// What one pass over an input gave: packets per kind, the status that ended the reads and,
// when a decoder took the video packets, the frames it delivered and their size.
struct StreamCount {
    int video_packets = 0;
    int other_packets = 0;
    int last_status = 0;
    int frames = 0;
    int width = 0;
    int height = 0;
};

// Reads until a read fails (or max_packets). Video packets go to decoder when one is given,
// frames are taken after each packet, and a null packet drains the decoder at the end.
inline StreamCount read_all(ffmpeg::Demuxer& demuxer, ffmpeg::Decoder* decoder, int max_packets = 100000) {
    StreamCount result;
    std::shared_ptr<AVFrame> frame = ffmpeg::make_frame();
    auto take_frames = [&] {
        while (decoder->receive(frame)) {
            ++result.frames;
            result.width = frame->width;
            result.height = frame->height;
        }
    };
    std::shared_ptr<AVPacket> packet = ffmpeg::make_packet();
    while (result.video_packets + result.other_packets < max_packets) {
        result.last_status = demuxer.read_packet(packet);
        if (result.last_status < 0) break;
        if (packet->stream_index == demuxer.get_video_stream_index()) {
            ++result.video_packets;
            if (decoder != nullptr && decoder->send(packet)) take_frames();
        } else {
            ++result.other_packets;
        }
        av_packet_unref(packet.get());
    }
    if (decoder != nullptr) {
        decoder->send(nullptr);
        take_frames();
    }
    return result;
}

}  // namespace test
}  // namespace media
