#pragma once
// SIGINT handling that is safe inside the handler: the handler only clears `running` and
// writes the signal number into a pipe; a watcher thread logs the line and wakes waiters.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

void signal_handler(int signum);

class SignalWatcher {
public:
    SignalWatcher();
    ~SignalWatcher();
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

    // Installs signal_handler for SIGINT. False (with a line) when the pipe or thread failed.
    bool install();
    // Waits up to `duration`; returns at once when a signal has arrived, before the wait
    // or during it: Ctrl-C ends the program, whatever it was doing.
    void pause(std::chrono::milliseconds duration);
    // When a signal has come, waits (up to `limit`) until the watcher has logged it, so
    // that the line comes before the shutdown's own lines, as it did for the user.
    void await_report(std::chrono::milliseconds limit);

private:
    void watch();

    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable signalled_;
    unsigned long signal_count_ = 0;
};
