#pragma once
// The reader as Python meets it: every wait is made without the GIL, in slices short
// enough to pass on log lines and to let Ctrl-C through, and ends at close() from any
// thread.

#include <atomic>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "log_lines.h"
#include "media/reader/camera_reader.h"

namespace media {
namespace python {

// The first open failed, or the capture is closed. `code`: FFmpeg's status for a failed
// open (a negative AVERROR code), 0 otherwise.
class OpenError : public std::runtime_error {
public:
    explicit OpenError(const std::string& text, int code = 0) : std::runtime_error(text), code_(code) {}
    int code() const { return code_; }

private:
    int code_;
};

struct CaptureOptions {
    reader::Delivery delivery = reader::Delivery::NewestOnly;
    long queue_capacity = 8;
    std::optional<std::string> name;
    bool realtime = false;
    bool loop = false;
    bool retry = false;
};

class Capture {
public:
    // Starts the reader at once; waits for nothing.
    Capture(const std::string& url, const CaptureOptions& options);
    // Stops the reader as close() does.
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // True once the first open succeeded, false while it is still under way after
    // `timeout_s` (none: as long as it takes). Throws OpenError when it failed or the
    // capture is closed.
    bool wait_opened(std::optional<double> timeout_s);

    // The next image (the newest one, or the oldest queued in every-image mode), waiting up
    // to `timeout_s`; false on timeout and at once when the capture is closed or failed.
    bool take(reader::Image& image, std::optional<double> timeout_s);

    // Stops the reader within about 100 ms whatever it is doing; later reads return
    // nothing. Safe to call again and from any thread.
    void close();

    bool closed() const { return closed_.load(); }
    reader::State state();
    reader::ReaderStats stats();
    std::string failure() const { return reader_->failure(); }
    const std::string& name() const { return reader_->name(); }

private:
    std::shared_ptr<LogLines> log_lines_;
    std::atomic<bool> closed_{false};
    // Last: stopped and joined first, while the log lines it writes to still exist.
    std::unique_ptr<reader::CameraReader> reader_;
};

}  // namespace python
}  // namespace media
