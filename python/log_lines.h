#pragma once
// The reader's log lines wait here until a Python thread hands them to `logging`. The
// reader's own thread never touches the interpreter: it never waits for the GIL behind a
// busy model, and nothing of it can reach Python once the capture is closed.

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

#include "media/reader/camera_reader.h"

namespace media {
namespace python {

class LogLines {
public:
    // Any thread; the oldest lines give way when no one has forwarded for a long time.
    void add(reader::LogLevel level, std::string text);

    // Passes the waiting lines to logging.getLogger("media"), errors as warnings: the
    // reader recovers from them by itself. Needs the GIL.
    void forward();

private:
    static constexpr std::size_t kKept = 1000;

    std::mutex mutex_;
    std::deque<std::pair<reader::LogLevel, std::string>> lines_;
    std::size_t lost_ = 0;
};

}  // namespace python
}  // namespace media
