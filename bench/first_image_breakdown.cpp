// Where media_demo's time to its first image goes. Drives the classes the program uses
// (Demuxer, Decoder, Scaler, KeyframeGate, JpegFileWriter) in the order its worker does
// and stamps each step with the wall clock; bench/compare.py turns the stamps into
// phases and sets them against the spawn time and against media_demo's own first image.
//
// Demuxer::open is one call that connects, sends the RTSP requests and probes. FFmpeg
// names those steps in its log whatever the level (the connection attempt, each request
// sent, each reply line, each interleaved packet read, the stream dump after probing), so
// a log callback of our own, installed after the library's, stamps them: the library code
// stays exactly as the program runs it.
//
// After the first image it reads on while packets come without waiting: those pictures
// had already arrived, complete, when the image was written, and the newest of them tells
// how far behind the live stream the first image was.
//
// Usage: first_image_breakdown <url>     (writes 0.jpg into the current directory)
// Prints one line per event after the run, "<event> <wall clock ns> [fields]":
//   main, open, tcp_connect, tcp_connected, request <method>, reply <status line>,
//   interleaved <channel> <bytes> (one RTSP-interleaved packet read), concealed (the
//   decoder made up part of a picture), probed (the stream dump after probing), opened,
//   decoder_opened, packet <key> <bytes> <pts>, waiting (the program's "waiting for a
//   keyframe"), decoded 0 | decoded 1 <key> <corrupt> <error flags> <pts> <admitted>,
//   converted, written, behind_ms <how much newer the newest arrived picture was>.
// The library's own log lines, which start with "[", come in between.
#include <time.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "jpeg_file.h"
#include "media/pipeline/keyframe_gate.h"
#include "media/ffmpeg/decoder.h"
#include "media/ffmpeg/demuxer.h"
#include "media/ffmpeg/log_redaction.h"
#include "media/ffmpeg/scaler.h"

namespace {

constexpr int kFailuresBeforeGivingUp = 20;  // the program reconnects after as many
constexpr int64_t kDeadlineNs = 30'000'000'000;
constexpr int64_t kBufferedReadNs = 5'000'000;  // a read this quick found its data there
constexpr int kFreshnessReads = 30;

int64_t now_ns() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

struct Event {
    int64_t at;
    std::string name;
    std::string detail;
};

std::mutex events_mutex;
std::vector<Event> events;
bool reply_pending = false;

void record(const char* name, std::string detail = {}, int64_t at = now_ns()) {
    std::lock_guard<std::mutex> lock(events_mutex);
    events.push_back({at, name, std::move(detail)});
}

bool starts_with(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// Stamps the messages that mark a step, then prints as FFmpeg would (the library's own
// callback only redacts passwords, and these addresses have none).
void timing_callback(void* context, int level, const char* format, va_list args) {
    const int64_t at = now_ns();
    char text[256];
    va_list copy;
    va_copy(copy, args);
    std::vsnprintf(text, sizeof text, format, copy);
    va_end(copy);
    const std::string message(text);
    if (starts_with(message, "Starting connection attempt")) {
        record("tcp_connect", {}, at);
    } else if (starts_with(message, "Successfully connected")) {
        record("tcp_connected", {}, at);
    } else if (starts_with(message, "Sending:")) {
        const std::string request = message.substr(9, message.find(' ', 9) - 9);
        record("request", request, at);
        std::lock_guard<std::mutex> lock(events_mutex);
        reply_pending = true;
    } else if (starts_with(message, "line='")) {
        bool first_line = false;
        {
            std::lock_guard<std::mutex> lock(events_mutex);
            first_line = reply_pending;
            reply_pending = false;
        }
        if (first_line) {
            record("reply", message.substr(6, message.find('\'', 6) - 6), at);
        }
    } else if (starts_with(message, "id=")) {
        int id = -1;
        int length = 0;
        if (std::sscanf(message.c_str(), "id=%d len=%d", &id, &length) == 2) {
            record("interleaved", std::to_string(id) + " " + std::to_string(length), at);
        }
    } else if (starts_with(message, "Input #")) {
        record("probed", {}, at);
    } else if (starts_with(message, "concealing")) {
        record("concealed", {}, at);
    }
    av_log_default_callback(context, level, format, args);
}

int64_t packet_time(const AVPacket& packet) { return packet.pts != AV_NOPTS_VALUE ? packet.pts : packet.dts; }

std::string packet_fields(const AVPacket& packet) {
    return std::to_string((packet.flags & AV_PKT_FLAG_KEY) != 0) + " " + std::to_string(packet.size) + " " +
           std::to_string(packet_time(packet));
}

bool is_keyframe(const AVFrame& frame) {
#ifdef AV_FRAME_FLAG_KEY
    return (frame.flags & AV_FRAME_FLAG_KEY) != 0;
#else
    return frame.key_frame != 0;
#endif
}

}  // namespace

int main(int argc, char** argv) {
    record("main");
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <url>\n", argv[0]);
        return 2;
    }
    const std::string url = argv[1];
    // The library installs its callback once per process; ours must come after it.
    media::ffmpeg::install_log_redaction();
    av_log_set_callback(timing_callback);

    auto demuxer = media::ffmpeg::Demuxer::createShare();
    JpegFileWriter writer;  // a member of the program's stream, made before it opens
    media::pipeline::KeyframeGate gate;
    record("open");
    if (!demuxer->open(url)) {
        std::fprintf(stderr, "cannot open %s\n", url.c_str());
        return 1;
    }
    record("opened");
    const AVStream* stream = demuxer->get_video_stream();
    const double tick_ms = av_q2d(stream->time_base) * 1000.0;
    auto decoder = media::ffmpeg::Decoder::createShare(demuxer);
    if (!decoder->open()) {
        return 1;
    }
    gate.reset();
    record("decoder_opened");

    const int64_t deadline = now_ns() + kDeadlineNs;
    int failures = 0;
    int64_t written_time = AV_NOPTS_VALUE;
    bool written = false;
    while (!written && now_ns() < deadline) {
        auto packet = media::ffmpeg::make_packet();
        if (demuxer->read_packet(packet) != 0) {
            if (++failures > kFailuresBeforeGivingUp) {
                std::fprintf(stderr, "reads failed %d times in a row\n", failures);
                return 1;
            }
            continue;
        }
        failures = 0;
        if (packet->stream_index != demuxer->get_video_stream_index()) {
            continue;
        }
        record("packet", packet_fields(*packet));
        if (gate.note_packet(*packet)) {
            record("waiting");
        }
        decoder->send(packet);
        auto frame = media::ffmpeg::make_frame();
        if (!decoder->receive(frame)) {
            record("decoded", "0");
            continue;
        }
        const bool admitted = gate.admits(*frame);
        record("decoded", "1 " + std::to_string(is_keyframe(*frame)) + " " +
                              std::to_string((frame->flags & AV_FRAME_FLAG_CORRUPT) != 0) + " " +
                              std::to_string(frame->decode_error_flags) + " " +
                              std::to_string(frame->best_effort_timestamp) + " " + std::to_string(admitted));
        if (!admitted) {
            continue;
        }
        auto scaler = media::ffmpeg::Scaler::createShare(frame->width, frame->height,
                                                          static_cast<AVPixelFormat>(frame->format), frame->width,
                                                          frame->height, AV_PIX_FMT_BGR24);
        std::shared_ptr<cv::Mat> image;
        if (!scaler->scale(frame, image)) {
            std::fprintf(stderr, "conversion failed\n");
            return 1;
        }
        record("converted");
        if (!writer.write("0.jpg", *image)) {
            return 1;
        }
        record("written");
        written_time = frame->best_effort_timestamp;
        written = true;
    }
    if (!written) {
        std::fprintf(stderr, "no image within %lld s\n", static_cast<long long>(kDeadlineNs / 1'000'000'000));
        return 1;
    }

    // Pictures that had arrived by the time the image was written.
    int64_t newest = written_time;
    for (int i = 0; i < kFreshnessReads; ++i) {
        auto packet = media::ffmpeg::make_packet();
        const int64_t before = now_ns();
        if (demuxer->read_packet(packet) != 0) {
            break;
        }
        const int64_t after = now_ns();
        if (after - before > kBufferedReadNs) {
            break;
        }
        if (packet->stream_index == demuxer->get_video_stream_index() && packet_time(*packet) != AV_NOPTS_VALUE) {
            newest = std::max(newest, packet_time(*packet));
        }
    }
    record("behind_ms", std::to_string(written_time == AV_NOPTS_VALUE ? 0.0 : static_cast<double>(newest - written_time) * tick_ms));
    decoder->close();  // closes the demuxer too: the server sees the session end

    std::lock_guard<std::mutex> lock(events_mutex);
    for (const Event& event : events) {
        std::printf("%s %lld%s%s\n", event.name.c_str(), static_cast<long long>(event.at),
                    event.detail.empty() ? "" : " ", event.detail.c_str());
    }
    return 0;
}
