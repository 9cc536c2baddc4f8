// Reads several cameras in one process, one media::reader::CameraReader each (newest
// only) and one consumer thread each that takes every image as it comes, and measures a
// window of wall-clock time: the process's CPU time, the images its consumers got, how
// old each image was when taken, and the process's memory (peak RSS, what is anonymous,
// what malloc holds). bench/reader_scale.py runs it once with N addresses and N times with
// one address, at the same moment, to set one process against separate ones.
//
//     reader_scale --result FILE [--start-at UNIX_S] [--seconds S] [--delay-ms MS]
//                  [--frame-code SQUARE:LEFT:TOP --samples FILE] <address>...
//
// The window starts at --start-at (wall clock, seconds since the epoch, so that separate
// processes measure the same interval), else two seconds after every camera's first
// image. --delay-ms waits before the first reader and between readers: a test source that
// starts an encoder per client answers many at once slowly. With --frame-code each
// image's frame number (bench/numbered_source.py, in a layout given in pixels) is read and
// "<camera> <number> <taken_ns>" written to the samples file, wall-clock nanoseconds, for
// the age against the source's log of send times.

#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "frame_code.h"
#include "media/reader/camera_reader.h"

namespace {

using media::reader::CameraReader;
using media::reader::Clock;
using WallClock = std::chrono::system_clock;

enum Phase { kBefore, kMeasuring, kAfter };

std::atomic<int> phase{kBefore};
std::atomic<bool> stopping{false};
std::atomic<uint64_t> error_lines{0};

struct Camera {
    std::unique_ptr<CameraReader> reader;
    std::thread consumer;
    std::atomic<bool> got_first{false};
    Clock::time_point started{};
    double first_image_ms = -1.0;  // from the reader's creation
    // Taken in the window.
    uint64_t images = 0;
    uint64_t dropped = 0;
    uint64_t unreadable = 0;                 // frame numbers that did not read back
    std::vector<int64_t> arrival_ages_us;    // taken minus the picture's last packet
    std::vector<std::pair<long, int64_t>> numbers;  // frame number, taken (wall ns)
    std::set<const unsigned char*> buffers;  // distinct image memory seen
    std::size_t image_bytes = 0;
    uint64_t images_total = 0;               // taken over the whole run
};

int64_t wall_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(WallClock::now().time_since_epoch()).count();
}

double seconds_of(const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

struct Heap {
    std::size_t arena = 0;    // bytes malloc took from the system outside its own mappings
    std::size_t mmapped = 0;  // bytes in chunks malloc mapped one by one
    std::size_t in_use = 0;   // bytes handed out and not freed
};

Heap heap_now() {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
    const struct mallinfo2 info = mallinfo2();
    return {info.arena, info.hblkhd, info.uordblks + info.hblkhd};
#else
    // Debian 11's glibc has only the int fields, which wrap above 2 GiB: far beyond this.
    const struct mallinfo info = mallinfo();
    const auto bytes = [](int value) { return static_cast<std::size_t>(static_cast<unsigned int>(value)); };
    return {bytes(info.arena), bytes(info.hblkhd), bytes(info.uordblks) + bytes(info.hblkhd)};
#endif
}

rusage usage_now() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage;
}

double cpu_seconds(const rusage& usage) { return seconds_of(usage.ru_utime) + seconds_of(usage.ru_stime); }

// A "Key:   value kB" field of /proc/self/status or smaps_rollup, in KiB; -1 when absent.
long proc_field(const char* path, const std::string& key) {
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        if (line.compare(0, key.size() + 1, key + ":") == 0) {
            return std::strtol(line.c_str() + key.size() + 1, nullptr, 10);
        }
    }
    return -1;
}

void consume(Camera& camera, const frame_code::Layout* layout) {
    media::reader::Image image;
    while (!stopping.load()) {
        if (!camera.reader->take(image, std::chrono::milliseconds(100))) {
            // A reader whose first open failed has stopped for good, and take() no longer
            // waits: this thread would spin and be counted as the readers' CPU time.
            if (camera.reader->state() == media::reader::State::Failed) {
                return;
            }
            continue;
        }
        const Clock::time_point taken = Clock::now();
        const int64_t taken_wall = wall_ns();
        ++camera.images_total;
        if (!camera.got_first.load()) {
            camera.first_image_ms =
                std::chrono::duration<double, std::milli>(taken - camera.started).count();
            camera.got_first = true;
        }
        if (phase.load() != kMeasuring) {
            continue;
        }
        ++camera.images;
        camera.dropped += image.dropped;
        camera.arrival_ages_us.push_back(
            std::chrono::duration_cast<std::chrono::microseconds>(taken - image.arrival).count());
        camera.buffers.insert(image.bgr->data);
        camera.image_bytes = image.bgr->total() * image.bgr->elemSize();
        if (layout != nullptr) {
            const long number = frame_code::read_number(*image.bgr, *layout);
            if (number < 0) {
                ++camera.unreadable;
            } else {
                camera.numbers.emplace_back(number, taken_wall);
            }
        }
    }
}

template <typename T>
std::string json_list(const std::vector<T>& values) {
    std::ostringstream out;
    out << '[';
    for (std::size_t i = 0; i < values.size(); ++i) {
        out << (i ? "," : "") << values[i];
    }
    out << ']';
    return out.str();
}

int usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s --result FILE [--start-at UNIX_S] [--seconds S] "
                 "[--delay-ms MS] [--frame-code SQUARE:LEFT:TOP --samples FILE] <address>...\n",
                 program);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string result_path;
    std::string samples_path;
    double start_at = 0.0;
    double seconds = 20.0;
    int delay_ms = 0;
    bool numbered = false;
    frame_code::Layout layout;
    std::vector<std::string> addresses;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--result" && has_value) {
            result_path = argv[++i];
        } else if (arg == "--samples" && has_value) {
            samples_path = argv[++i];
        } else if (arg == "--start-at" && has_value) {
            start_at = std::atof(argv[++i]);
        } else if (arg == "--seconds" && has_value) {
            seconds = std::atof(argv[++i]);
        } else if (arg == "--delay-ms" && has_value) {
            delay_ms = std::atoi(argv[++i]);
        } else if (arg == "--frame-code" && has_value) {
            numbered = true;
            if (std::sscanf(argv[++i], "%d:%d:%d", &layout.square, &layout.left, &layout.top) != 3) {
                return usage(argv[0]);
            }
        } else if (arg.rfind("--", 0) == 0) {
            return usage(argv[0]);
        } else {
            addresses.push_back(arg);
        }
    }
    if (result_path.empty() || addresses.empty() || seconds <= 0.0 || (numbered && samples_path.empty())) {
        return usage(argv[0]);
    }

    // The process before any reader: libraries loaded, nothing opened.
    const long base_rss_kb = proc_field("/proc/self/status", "VmRSS");
    const long base_anon_kb = proc_field("/proc/self/smaps_rollup", "Anonymous");

    std::vector<std::unique_ptr<Camera>> cameras;
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        auto camera = std::make_unique<Camera>();
        media::reader::ReaderOptions options;
        options.delivery = media::reader::Delivery::NewestOnly;
        options.name = "camera " + std::to_string(i);
        // Info lines are the library's business; errors go to standard error and count, so
        // a run with failed reads is visible in its figures.
        options.log = [](media::reader::LogLevel level, const std::string& line) {
            if (level == media::reader::LogLevel::Error) {
                ++error_lines;
                std::fprintf(stderr, "%s\n", line.c_str());
            }
        };
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        camera->started = Clock::now();
        camera->reader = std::make_unique<CameraReader>(addresses[i], std::move(options));
        camera->consumer = std::thread(consume, std::ref(*camera), numbered ? &layout : nullptr);
        cameras.push_back(std::move(camera));
    }

    if (start_at > 0.0) {
        const auto start = WallClock::time_point(std::chrono::duration_cast<WallClock::duration>(
            std::chrono::duration<double>(start_at)));
        std::this_thread::sleep_until(start);
    } else {
        const auto give_up = Clock::now() + std::chrono::seconds(15);
        while (Clock::now() < give_up &&
               !std::all_of(cameras.begin(), cameras.end(), [](const auto& c) { return c->got_first.load(); })) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        std::this_thread::sleep_for(std::chrono::seconds(2));
    }

    const long rss_before_window_kb = proc_field("/proc/self/status", "VmRSS");
    const rusage start_usage = usage_now();
    const auto window_start = Clock::now();
    phase = kMeasuring;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    phase = kAfter;
    const rusage end_usage = usage_now();
    const double window_s = std::chrono::duration<double>(Clock::now() - window_start).count();
    const long hwm_kb = proc_field("/proc/self/status", "VmHWM");
    const long rss_kb = proc_field("/proc/self/status", "VmRSS");
    const long anon_kb = proc_field("/proc/self/smaps_rollup", "Anonymous");
    const long anon_huge_kb = proc_field("/proc/self/smaps_rollup", "AnonHugePages");
    const long threads = proc_field("/proc/self/status", "Threads");
    // Everything FFmpeg allocates goes through malloc; the images do not (the library's
    // picture allocator maps its own blocks), so this is the rest of the readers' memory.
    const Heap heap = heap_now();

    stopping = true;
    for (auto& camera : cameras) {
        camera->consumer.join();
    }
    std::set<const unsigned char*> buffers;
    std::size_t image_bytes = 0;
    std::ostringstream per_camera;
    for (std::size_t i = 0; i < cameras.size(); ++i) {
        Camera& camera = *cameras[i];
        const media::reader::ReaderStats stats = camera.reader->stats();
        buffers.insert(camera.buffers.begin(), camera.buffers.end());
        image_bytes = std::max(image_bytes, camera.image_bytes);
        per_camera << (i ? ",\n  " : "") << "{\"address\": \"" << addresses[i] << "\", \"state\": \""
                   << media::reader::to_string(camera.reader->state()) << "\", \"images\": " << camera.images
                   << ", \"dropped\": " << camera.dropped << ", \"unreadable\": " << camera.unreadable
                   << ", \"images_total\": " << camera.images_total << ", \"first_image_ms\": " << camera.first_image_ms
                   << ", \"failed_reads\": " << stats.failed_reads << ", \"reconnections\": " << stats.reconnections
                   << ", \"end_at_marker\": " << (stats.pictures_end_at_marker ? "true" : "false")
                   << ", \"arrival_ages_us\": " << json_list(camera.arrival_ages_us) << "}";
    }
    const double cpu_total = cpu_seconds(usage_now());
    for (auto& camera : cameras) {
        camera->reader->stop();
    }

    if (numbered) {
        std::ofstream samples(samples_path);
        for (std::size_t i = 0; i < cameras.size(); ++i) {
            for (const auto& [number, taken] : cameras[i]->numbers) {
                samples << i << ' ' << number << ' ' << taken << '\n';
            }
        }
    }
    std::ofstream result(result_path);
    result << "{\"cameras\": " << cameras.size() << ", \"window_s\": " << window_s
           << ", \"cpu_s\": " << (cpu_seconds(end_usage) - cpu_seconds(start_usage))
           << ", \"user_s\": " << (seconds_of(end_usage.ru_utime) - seconds_of(start_usage.ru_utime))
           << ", \"voluntary_switches\": " << (end_usage.ru_nvcsw - start_usage.ru_nvcsw)
           << ", \"involuntary_switches\": " << (end_usage.ru_nivcsw - start_usage.ru_nivcsw)
           << ", \"cpu_total_s\": " << cpu_total
           << ", \"base_rss_kb\": " << base_rss_kb << ", \"base_anon_kb\": " << base_anon_kb
           << ", \"rss_before_window_kb\": " << rss_before_window_kb
           << ", \"hwm_kb\": " << hwm_kb << ", \"rss_kb\": " << rss_kb << ", \"anon_kb\": " << anon_kb
           << ", \"anon_huge_kb\": " << anon_huge_kb << ", \"heap_arena_kb\": " << heap.arena / 1024
           << ", \"heap_mmapped_kb\": " << heap.mmapped / 1024 << ", \"heap_in_use_kb\": " << heap.in_use / 1024
           << ", \"threads\": " << threads << ", \"image_buffers\": " << buffers.size()
           << ", \"image_bytes\": " << image_bytes << ", \"error_lines\": " << error_lines.load()
           << ",\n \"per_camera\": [" << per_camera.str() << "]}\n";
    result.close();
    return result ? 0 : 1;
}
