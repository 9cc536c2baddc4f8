#pragma once
// Console log lines and the "{}" placeholder formatter used by every part of the system.
//
// A line reads: [timestamp][media][level][file:line]: message
// Every line is flushed as soon as it is complete.

#include <chrono>
#include <ctime>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>

namespace media {
namespace common {

template <typename T>
std::string to_string(const T& arg) {
    std::ostringstream out;
    out << arg;
    return out.str();
}

inline std::string fmt_impl(const std::string& format) { return format; }

// Arguments fill placeholders strictly left to right; an argument's own text is never
// searched again, because the search always continues in the rest of the format.
template <typename T, typename... Rest>
std::string fmt_impl(const std::string& format, const T& first, Rest... rest) {
    const std::size_t index = format.find("{}");
    if (index == std::string::npos) {
        return format;
    }
    return format.substr(0, index) + to_string(first) + fmt_impl(format.substr(index + 2), rest...);
}

template <typename... Args>
std::string fmt(const std::string& format, Args... args) {
    return fmt_impl(format, args...);
}

// Local calendar time with the fraction of the second in milliseconds: 2024-03-05 09:07:03.042
inline std::string get_current_time_formatted() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&seconds, &local);
    const auto since_epoch = now.time_since_epoch();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count() % 1000;
    std::ostringstream out;
    out << std::put_time(&local, "%Y-%m-%d %H:%M:%S.") << std::setfill('0') << std::setw(3) << ms;
    return out.str();
}

}  // namespace common
}  // namespace media

// The line is assembled first and written with one insertion, so lines logged at the same
// moment from two threads (the worker, the signal watcher) never interleave.
#define MEDIA_LOG_LINE_(level, ...)                                                                  \
    do {                                                                                             \
        std::ostringstream media_log_line_;                                                          \
        media_log_line_ << "[" << ::media::common::get_current_time_formatted() << "]" << "["        \
                        << "media" << "]" << level << "[" << __FILE__ << ":" << __LINE__ << "]: "   \
                        << ::media::common::fmt(__VA_ARGS__) << '\n';                               \
        std::cout << media_log_line_.str() << std::flush;                                            \
    } while (0)

#define LOG_INFO(...) MEDIA_LOG_LINE_("[info]", __VA_ARGS__)
#define LOG_ERROR(...) MEDIA_LOG_LINE_("[error]", __VA_ARGS__)
