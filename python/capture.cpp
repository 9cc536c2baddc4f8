#include "capture.h"

#include <pybind11/pybind11.h>

#include <algorithm>
#include <chrono>
#include <cmath>

namespace py = pybind11;

namespace media {
namespace python {

namespace {

using reader::Clock;
using reader::State;

// How long a wait goes without the GIL before it forwards log lines and checks for
// Ctrl-C. An image that comes in ends the wait at once, whatever the slice.
constexpr auto kSlice = std::chrono::milliseconds(100);

// A wait's end; none when it has no timeout.
std::optional<Clock::time_point> deadline_after(std::optional<double> timeout_s) {
    if (!timeout_s) {
        return std::nullopt;
    }
    if (std::isnan(*timeout_s)) {
        throw py::value_error("timeout must be a number of seconds or None, not NaN");
    }
    // Beyond about thirty years a wait has no end worth telling apart from none.
    const double seconds = std::clamp(*timeout_s, 0.0, 1e9);
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

std::chrono::milliseconds next_slice(const std::optional<Clock::time_point>& deadline) {
    if (!deadline) {
        return kSlice;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
    return std::clamp(left, std::chrono::milliseconds(0), kSlice);
}

bool passed(const std::optional<Clock::time_point>& deadline) { return deadline && Clock::now() >= *deadline; }

void raise_on_signal() {
    if (PyErr_CheckSignals() != 0) {
        throw py::error_already_set();
    }
}

reader::ReaderOptions reader_options(const CaptureOptions& options, const std::shared_ptr<LogLines>& log_lines) {
    if (options.queue_capacity < 1) {
        throw py::value_error("queue_capacity must be at least 1");
    }
    reader::ReaderOptions built;
    built.delivery = options.delivery;
    built.queue_capacity = static_cast<std::size_t>(options.queue_capacity);
    built.name = options.name.value_or("");
    built.realtime = options.realtime;
    built.loop = options.loop;
    built.retry = options.retry;
    // Every event has a log line in the same words, and the lines reach `logging`.
    built.on_event = [](const reader::Event&) {};
    built.log = [log_lines](reader::LogLevel level, const std::string& text) { log_lines->add(level, text); };
    return built;
}

}  // namespace

Capture::Capture(const std::string& url, const CaptureOptions& options)
    : log_lines_(std::make_shared<LogLines>()),
      reader_(std::make_unique<reader::CameraReader>(url, reader_options(options, log_lines_))) {}

Capture::~Capture() {
    // Holding the GIL is safe here: the reader's thread never asks for it.
    reader_->stop();
}

bool Capture::wait_opened(std::optional<double> timeout_s) {
    const std::optional<Clock::time_point> deadline = deadline_after(timeout_s);
    for (;;) {
        State state;
        {
            const py::gil_scoped_release release;
            state = reader_->wait_opened(next_slice(deadline));
        }
        log_lines_->forward();
        switch (state) {
            case State::Running:
            case State::Reconnecting:
            case State::Ended:
                return true;
            case State::Failed:
                throw OpenError(reader_->failure(), reader_->failure_code());
            case State::Stopped:
                throw OpenError("capture of " + reader_->name() + " was closed");
            case State::Opening:
                break;
        }
        if (passed(deadline)) {
            return false;
        }
        raise_on_signal();
    }
}

bool Capture::take(reader::Image& image, std::optional<double> timeout_s) {
    const std::optional<Clock::time_point> deadline = deadline_after(timeout_s);
    for (;;) {
        if (closed_.load()) {
            return false;
        }
        bool taken = false;
        {
            const py::gil_scoped_release release;
            taken = reader_->take(image, next_slice(deadline));
        }
        log_lines_->forward();
        if (taken) {
            return true;
        }
        const State state = reader_->state();
        if (state == State::Failed || state == State::Stopped || state == State::Ended) {
            // The last images may have come between the wait and the look at the state.
            return reader_->take(image, std::chrono::milliseconds(0));
        }
        if (passed(deadline)) {
            return false;
        }
        raise_on_signal();
    }
}

void Capture::close() {
    closed_ = true;
    {
        // Other threads go on during the join, a read that the stop ends among them.
        const py::gil_scoped_release release;
        reader_->stop();
    }
    log_lines_->forward();
}

State Capture::state() {
    log_lines_->forward();
    return reader_->state();
}

reader::ReaderStats Capture::stats() {
    log_lines_->forward();
    return reader_->stats();
}

}  // namespace python
}  // namespace media
