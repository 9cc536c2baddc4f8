#include <string>
#include <thread>

#include "cpu_account.h"
#include "media/common/clogger.h"
#include "signal_watcher.h"
#include "stream_decoder.h"

namespace {

constexpr auto kFinalPause = std::chrono::seconds(5);
constexpr auto kReportWait = std::chrono::milliseconds(500);

}  // namespace

int main(int argc, const char* argv[]) {
    cpu_account::program_started();
    if (argc < 2) {
        LOG_ERROR("Usage: {} <rtsp_url>", argv[0]);
        return -1;
    }
    std::string rtsp = argv[1];

    SignalWatcher signals;
    if (!signals.install()) {
        return -1;
    }
    if (rtsp.empty()) {
        LOG_ERROR("RTSP URL cannot be empty");
        return -1;
    }

    {
        Decoder decoder(rtsp, false);
        if (!decoder.Init()) {
            LOG_ERROR("[Decoder] initialization failed");
            return -1;
        }
        LOG_INFO("[Decoder] initialization successful, start worker");
        std::thread worker([&decoder] {
            decoder.Worker();
            cpu_account::worker_finished();
        });
        if (worker.joinable()) {
            worker.join();
        }
        // Ctrl-C stops the worker at once; the line saying so comes from the watcher thread.
        signals.await_report(kReportWait);
        LOG_INFO("[Decoder] worker thread finished");
    }
    LOG_INFO("[Decoder] finished");
    signals.pause(kFinalPause);
    cpu_account::write();
    return 0;
}
