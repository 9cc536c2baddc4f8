#pragma once
// A child process of a test (a run of the real media_demo binary, or a helper client):
// its own working directory, standard output and standard error in files, a hard limit
// after which it is killed.

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace media {
namespace e2e {

using Clock = std::chrono::steady_clock;

struct DemoOutcome {
    bool exited = false;     // false when killed by a signal (ours at the limit, or a crash)
    int exit_status = -1;    // valid when exited
    int term_signal = 0;     // valid when !exited
    bool timed_out = false;  // we killed it at the limit
    Clock::time_point ended{};
    std::chrono::milliseconds elapsed{0};
};

class DemoProcess {
public:
    DemoProcess() = default;
    ~DemoProcess();
    DemoProcess(const DemoProcess&) = delete;
    DemoProcess& operator=(const DemoProcess&) = delete;

    // argv[0] is what the program sees as its name; `program` is the file executed.
    // Throws std::runtime_error when the child cannot be spawned.
    void start(const std::string& program, const std::vector<std::string>& argv, const std::string& workdir,
               const std::string& stdout_path, const std::string& stderr_path);
    // Waits for the exit; past `limit` (counted from start) the child is killed by pid.
    DemoOutcome wait(std::chrono::milliseconds limit);
    // SIGTERM now, SIGKILL when it is still there after `grace`.
    DemoOutcome stop(std::chrono::milliseconds grace);
    // Whether the child has exited, without waiting; reaps it when it has.
    bool finished();
    void send_signal(int signum) const;

    bool spawned() const { return pid_ > 0; }
    Clock::time_point started() const { return started_; }

private:
    DemoOutcome reap_status(int status);
    DemoOutcome wait_until(Clock::time_point deadline);

    pid_t pid_ = -1;
    Clock::time_point started_{};
    bool reaped_ = false;
    DemoOutcome outcome_;
};

}  // namespace e2e
}  // namespace media
