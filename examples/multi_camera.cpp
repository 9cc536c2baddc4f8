// Reads several cameras in one process, one reader each, and prints for every camera once
// a second: images per second, the age of the newest image, and reconnections so far.
//
//     media_cameras rtsp://camera-1/main rtsp://camera-1/sub rtsp://camera-2/main ...
//
// Ctrl-C ends it.

#include <csignal>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "media/reader/camera_reader.h"

namespace {

using media::reader::CameraReader;
using media::reader::Clock;

std::atomic<bool> interrupted{false};

void on_signal(int) { interrupted = true; }

// What the consumer of one camera saw over the last second.
struct Tally {
    std::atomic<int> images{0};
    std::atomic<int64_t> newest_arrival_ns{0};
};

void consume(CameraReader& reader, Tally& tally) {
    media::reader::Image image;
    while (!interrupted.load()) {
        if (reader.take(image, std::chrono::milliseconds(200))) {
            ++tally.images;
            tally.newest_arrival_ns = image.arrival.time_since_epoch().count();
        } else if (reader.state() == media::reader::State::Failed) {
            return;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <address> [<address> ...]\n", argv[0]);
        return 2;
    }
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);

    std::vector<std::unique_ptr<CameraReader>> readers;
    std::vector<std::unique_ptr<Tally>> tallies;
    std::vector<std::thread> consumers;
    for (int i = 1; i < argc; ++i) {
        readers.push_back(std::make_unique<CameraReader>(argv[i]));
        tallies.push_back(std::make_unique<Tally>());
    }
    for (std::size_t i = 0; i < readers.size(); ++i) {
        consumers.emplace_back(consume, std::ref(*readers[i]), std::ref(*tallies[i]));
    }

    while (!interrupted.load()) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const int64_t now = Clock::now().time_since_epoch().count();
        for (std::size_t i = 0; i < readers.size(); ++i) {
            const CameraReader& reader = *readers[i];
            const int images = tallies[i]->images.exchange(0);
            const int64_t newest = tallies[i]->newest_arrival_ns.load();
            const std::string age =
                newest == 0 ? "no image yet" : std::to_string((now - newest) / 1000000) + " ms since the newest image";
            std::printf("camera %zu %s: %d images/s, %s, %u reconnections, %s\n", i, reader.name().c_str(), images,
                        age.c_str(), reader.stats().reconnections, media::reader::to_string(reader.state()));
            if (reader.state() == media::reader::State::Failed) {
                std::printf("camera %zu: %s\n", i, reader.failure().c_str());
            }
        }
        std::fflush(stdout);
    }
    for (auto& thread : consumers) {
        thread.join();
    }
    return 0;
}
