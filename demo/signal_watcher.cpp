#include "signal_watcher.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>

#include "media/common/clogger.h"
#include "running.h"

namespace {

// Written by the handler, read by the watcher. -1 while no watcher is installed.
std::atomic<int> signal_pipe_write{-1};
std::atomic<unsigned long> signals_received{0};
static_assert(std::atomic<unsigned long>::is_always_lock_free, "counted from a signal handler");
int signal_pipe_read = -1;

constexpr unsigned char kStopWatcher = 0;

}  // namespace

void signal_handler(int signum) {
    running.store(false);
    signals_received.fetch_add(1);
    const int fd = signal_pipe_write.load();
    if (fd >= 0) {
        const int saved_errno = errno;
        const unsigned char byte = static_cast<unsigned char>(signum);
        // A full pipe means lines are already pending; dropping one more is harmless.
        ssize_t ignored = write(fd, &byte, 1);
        (void)ignored;
        errno = saved_errno;
    }
}

SignalWatcher::SignalWatcher() = default;

SignalWatcher::~SignalWatcher() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    const int fd = signal_pipe_write.exchange(-1);
    if (thread_.joinable()) {
        const unsigned char stop = kStopWatcher;
        ssize_t ignored = write(fd, &stop, 1);
        (void)ignored;
        thread_.join();
    }
    if (fd >= 0) close(fd);
    if (signal_pipe_read >= 0) close(signal_pipe_read);
    signal_pipe_read = -1;
}

bool SignalWatcher::install() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        LOG_ERROR("cannot create the signal pipe");
        return false;
    }
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    signal_pipe_read = fds[0];
    signal_pipe_write.store(fds[1]);
    thread_ = std::thread(&SignalWatcher::watch, this);

    struct sigaction action {};
    action.sa_handler = signal_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    return true;
}

void SignalWatcher::watch() {
    for (;;) {
        unsigned char signum = 0;
        const ssize_t n = read(signal_pipe_read, &signum, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || signum == kStopWatcher) return;
        LOG_INFO("Received signal {}, exiting...", static_cast<int>(signum));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++signal_count_;
        }
        signalled_.notify_all();
    }
}

void SignalWatcher::await_report(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    signalled_.wait_for(lock, limit, [&] { return signal_count_ >= signals_received.load(); });
}

void SignalWatcher::pause(std::chrono::milliseconds duration) {
    std::unique_lock<std::mutex> lock(mutex_);
    signalled_.wait_for(lock, duration, [&] { return signal_count_ != 0; });
}
