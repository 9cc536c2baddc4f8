#include "cpu_account.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "media/common/clogger.h"
#include "media/image/picture_allocator.h"

namespace cpu_account {

namespace {

const char* account_path() {
    static const char* const path = std::getenv("MEDIA_DEMO_CPU_ACCOUNT");
    return path != nullptr && *path != '\0' ? path : nullptr;
}

long long cpu_ns(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

std::array<std::atomic<long long>, static_cast<int>(Part::Count)> spent_ns{};
std::atomic<long long> open_on_main_ns{0};  // opening before the worker starts
std::atomic<long long> startup_ns{0};
std::atomic<long long> main_started_ns{0};
std::atomic<long long> worker_ns{0};
std::atomic<int> images_written{0};
thread_local bool on_main_thread = false;

long long spent(Part part) { return spent_ns[static_cast<int>(part)].load(); }

}  // namespace

bool enabled() { return account_path() != nullptr; }

Scope::Scope(Part part) : part_(part), started_ns_(enabled() ? cpu_ns(CLOCK_THREAD_CPUTIME_ID) : 0) {}

Scope::~Scope() {
    if (!enabled()) {
        return;
    }
    const long long used = cpu_ns(CLOCK_THREAD_CPUTIME_ID) - started_ns_;
    spent_ns[static_cast<int>(part_)] += used;
    if (part_ == Part::Open && on_main_thread) {
        open_on_main_ns += used;
    }
}

void program_started() {
    if (enabled()) {
        startup_ns = cpu_ns(CLOCK_PROCESS_CPUTIME_ID);
        main_started_ns = cpu_ns(CLOCK_THREAD_CPUTIME_ID);
        on_main_thread = true;
    }
}

void worker_finished() {
    if (enabled()) {
        worker_ns = cpu_ns(CLOCK_THREAD_CPUTIME_ID);
    }
}

void image_written() { ++images_written; }

void write() {
    const char* path = account_path();
    if (path == nullptr) {
        return;
    }
    const long long process = cpu_ns(CLOCK_PROCESS_CPUTIME_ID);
    const long long main_thread = cpu_ns(CLOCK_THREAD_CPUTIME_ID) - main_started_ns;
    const long long first_touch = media::image::fresh_image_cpu_ns();
    const long long worker_measured = spent(Part::Open) - open_on_main_ns + spent(Part::Read) +
                                      spent(Part::Decode) + spent(Part::Convert) + spent(Part::Encode) +
                                      spent(Part::Write);
    // Every part is measured but the last: the threads the program did not start itself
    // (OpenCV's workers, the signal watcher's) are what remains of the process's time.
    const std::pair<const char*, long long> parts[] = {
        {"start-up", startup_ns},
        {"open", spent(Part::Open)},
        {"read", spent(Part::Read)},
        {"decode", spent(Part::Decode)},
        {"queue first touch", first_touch},
        {"convert", spent(Part::Convert) - first_touch},
        {"encode", spent(Part::Encode)},
        {"write", spent(Part::Write)},
        {"worker rest", worker_ns - worker_measured},
        {"exit", main_thread - open_on_main_ns},
        {"other threads", process - startup_ns - main_thread - worker_ns},
    };
    std::FILE* out = std::fopen(path, "w");
    if (out == nullptr) {
        LOG_ERROR("cannot write the CPU account to {}", std::string(path));
        return;
    }
    std::fprintf(out, "{\"images\": %d, \"process_cpu_s\": %.6f, \"parts\": {", images_written.load(), static_cast<double>(process) * 1e-9);
    const char* separator = "";
    for (const auto& part : parts) {
        std::fprintf(out, "%s\"%s\": %.6f", separator, part.first, static_cast<double>(part.second) * 1e-9);
        separator = ", ";
    }
    std::fprintf(out, "}}\n");
    std::fclose(out);
}

}  // namespace cpu_account
