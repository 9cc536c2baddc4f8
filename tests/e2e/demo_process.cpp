#include "demo_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace media {
namespace e2e {

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(10);

// The child gets default SIGINT handling and an empty signal mask whatever the test
// runner set, so a SIGINT sent by a test reaches the program's own handler.
void reset_signals(posix_spawnattr_t& attr) {
    sigset_t empty;
    sigset_t defaults;
    sigemptyset(&empty);
    sigemptyset(&defaults);
    for (int sig : {SIGINT, SIGTERM, SIGPIPE, SIGCHLD}) sigaddset(&defaults, sig);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setsigmask(&attr, &empty);
    posix_spawnattr_setsigdefault(&attr, &defaults);
}

}  // namespace

DemoProcess::~DemoProcess() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

void DemoProcess::start(const std::string& program, const std::vector<std::string>& argv,
                        const std::string& workdir, const std::string& stdout_path,
                        const std::string& stderr_path) {
    if (pid_ > 0) throw std::logic_error("DemoProcess::start called twice");
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdout_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderr_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addchdir_np(&actions, workdir.c_str());
    reset_signals(attr);

    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    started_ = Clock::now();
    const int rc = posix_spawn(&pid_, program.c_str(), &actions, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot spawn " + program + ": " + std::strerror(rc));
    }
}

DemoOutcome DemoProcess::reap_status(int status) {
    reaped_ = true;
    outcome_.ended = Clock::now();
    outcome_.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(outcome_.ended - started_);
    if (WIFEXITED(status)) {
        outcome_.exited = true;
        outcome_.exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        outcome_.term_signal = WTERMSIG(status);
    }
    return outcome_;
}

bool DemoProcess::finished() {
    if (reaped_) return true;
    if (pid_ <= 0) return false;
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        reap_status(status);
        return true;
    }
    return false;
}

DemoOutcome DemoProcess::wait(std::chrono::milliseconds limit) { return wait_until(started_ + limit); }

DemoOutcome DemoProcess::stop(std::chrono::milliseconds grace) {
    send_signal(SIGTERM);
    return wait_until(Clock::now() + grace);
}

DemoOutcome DemoProcess::wait_until(Clock::time_point deadline) {
    if (pid_ <= 0) throw std::logic_error("DemoProcess: waiting without a start");
    while (!finished()) {
        if (Clock::now() >= deadline) {
            kill(pid_, SIGKILL);
            int status = 0;
            while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            reap_status(status);
            outcome_.timed_out = true;
            break;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    return outcome_;
}

void DemoProcess::send_signal(int signum) const {
    if (pid_ > 0 && !reaped_) kill(pid_, signum);
}

}  // namespace e2e
}  // namespace media
