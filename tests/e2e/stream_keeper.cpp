#include "stream_keeper.h"

#include <cstdio>
#include <stdexcept>
#include <thread>

#include "log_lines.h"

namespace media {
namespace e2e {

namespace {

constexpr auto kFlowLimit = std::chrono::seconds(30);
constexpr auto kPollInterval = std::chrono::milliseconds(50);
constexpr auto kStopGrace = std::chrono::seconds(8);  // timeout's own -k 5 plus slack
// No test runs longer than its ctest limit; the client must not outlive a crashed test.
constexpr const char* kClientLifetime = "180";

// ffmpeg's progress report carries "frame=N" lines; a nonzero N means pictures arrive.
bool pictures_arrived(const std::string& progress) {
    for (const auto& line : split_lines(progress)) {
        if (line.rfind("frame=", 0) == 0 && line.size() > 6 && line[6] >= '1' && line[6] <= '9') return true;
    }
    return false;
}

}  // namespace

StreamKeeper::StreamKeeper(const std::string& url, const std::string& scratch) {
    static int serial = 0;
    const std::string name = scratch + "/keeper" + std::to_string(serial++);
    const std::string progress = name + ".progress";
    std::remove(progress.c_str());
    // timeout bounds ffmpeg, which can ignore SIGTERM while blocked on a stalled stream;
    // copying instead of decoding leaves the processors to media_demo.
    client_.start("/usr/bin/timeout",
                  {"timeout", "-k", "5", kClientLifetime, "ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error",
                   "-rtsp_transport", "tcp", "-i", url, "-progress", progress, "-c", "copy", "-f", "null", "-"},
                  scratch, name + ".out", name + ".err");
    const auto deadline = Clock::now() + kFlowLimit;
    while (!pictures_arrived(read_text(progress))) {
        if (client_.finished() || Clock::now() >= deadline) {
            client_.stop(kStopGrace);
            throw std::runtime_error("the stream at " + url + " never flowed to its keeper: " + read_text(name + ".err"));
        }
        std::this_thread::sleep_for(kPollInterval);
    }
}

StreamKeeper::~StreamKeeper() {
    if (!client_.finished()) client_.stop(kStopGrace);
}

}  // namespace e2e
}  // namespace media
