#include "log_lines.h"

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace media {
namespace python {

void LogLines::add(reader::LogLevel level, std::string text) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (lines_.size() == kKept) {
        lines_.pop_front();
        ++lost_;
    }
    lines_.emplace_back(level, std::move(text));
}

void LogLines::forward() {
    std::deque<std::pair<reader::LogLevel, std::string>> lines;
    std::size_t lost = 0;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        lines.swap(lines_);
        std::swap(lost, lost_);
    }
    if (lines.empty() && lost == 0) {
        return;
    }
    const py::module_ logging = py::module_::import("logging");
    const py::object logger = logging.attr("getLogger")("media");
    if (lost > 0) {
        logger.attr("warning")("%d log lines of the reader were lost: no thread read the capture meanwhile", lost);
    }
    const py::object info = logging.attr("INFO");
    const py::object warning = logging.attr("WARNING");
    for (const auto& [level, text] : lines) {
        // The text goes in as the format's argument: an address may hold a "%".
        logger.attr("log")(level == reader::LogLevel::Error ? warning : info, "%s", text);
    }
}

}  // namespace python
}  // namespace media
