#pragma once
// Console log lines and the "{}" placeholder formatter used by every part of the system.
//
// A line reads: [timestamp][media][level][file:line]: message
// Every line is flushed as soon as it is complete.

#include <chrono>
#include <ctime>
#include <functional>
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

// Where the calling thread's log lines go. A thread that serves one stream among several
// (a camera reader's) names its stream in each line, and may hand the lines to its owner
// instead of standard output.
struct LogRoute {
    std::string stream;                                                 // "[stream] " begins each message
    std::function<void(bool error, const std::string& message)> sink;  // empty: standard output
};

inline LogRoute*& thread_log_route() {
    thread_local LogRoute* route = nullptr;
    return route;
}

// The line is assembled first and written with one insertion, so lines logged at the same
// moment from two threads (the worker, the signal watcher) never interleave.
inline void write_log_line(bool error, const char* file, int line, const std::string& message) {
    LogRoute* route = thread_log_route();
    const std::string text = route == nullptr || route->stream.empty() ? message : "[" + route->stream + "] " + message;
    if (route != nullptr && route->sink) {
        route->sink(error, text);
        return;
    }
    std::ostringstream out;
    out << "[" << get_current_time_formatted() << "]" << "[" << "media" << "]" << (error ? "[error]" : "[info]") << "["
        << file << ":" << line << "]: " << text << '\n';
    std::cout << out.str() << std::flush;
}

}  // namespace common
}  // namespace media

#define LOG_INFO(...) ::media::common::write_log_line(false, __FILE__, __LINE__, ::media::common::fmt(__VA_ARGS__))
#define LOG_ERROR(...) ::media::common::write_log_line(true, __FILE__, __LINE__, ::media::common::fmt(__VA_ARGS__))
