#include "media/pipeline/stream_loop.h"

#include <algorithm>
#include <thread>

namespace media {
namespace pipeline {

void StreamLoop::run() {
    int failures = 0;
    while (running_.load()) {
        std::shared_ptr<AVPacket> packet = ffmpeg::make_packet();
        if (!packet) {
            continue;
        }
        const int status = read_packet(packet);
        const Clock::time_point arrival = Clock::now();
        if (status == 0) {
            failures = 0;
            if (!chain().is_video(*packet)) {
                continue;
            }
            on_gate(send_packet(packet));
            if (!hand_on_pictures(arrival)) {
                return;
            }
            continue;
        }
        if (!running_.load()) {
            break;  // the read was given up for the owner's stop, not failed by the source
        }
        if (ends_with_file_ && status == AVERROR_EOF) {
            chain().flush();
            if (!hand_on_pictures(Clock::now()) || !on_file_end()) {
                return;
            }
            continue;
        }
        on_read_failed(failures);
        if (++failures <= kFailuresBeforeReconnect) {
            continue;
        }
        if (!rebuild()) {
            break;
        }
        on_rebuilt();
        failures = 0;
    }
}

bool StreamLoop::hand_on_pictures(Clock::time_point arrival) {
    std::shared_ptr<AVFrame> frame;
    do {
        if (!receive_picture(frame)) {
            break;
        }
        if (frame && !on_picture(frame, arrival)) {
            return false;
        }
    } while (drains_ && running_.load());
    return true;
}

bool StreamLoop::rebuild() {
    for (int tries = 0; running_.load(); ++tries) {
        on_rebuilding();
        if (try_rebuild()) {
            return true;
        }
        on_rebuild_failed(tries);
        if (!pause(kReconnectPause)) {
            break;
        }
    }
    return false;
}

bool StreamLoop::pause(std::chrono::milliseconds pause) {
    constexpr auto kStopCheck = std::chrono::milliseconds(50);
    const auto until = Clock::now() + pause;
    while (running_.load() && Clock::now() < until) {
        std::this_thread::sleep_for(std::min<Clock::duration>(kStopCheck, until - Clock::now()));
    }
    return running_.load();
}

}  // namespace pipeline
}  // namespace media
