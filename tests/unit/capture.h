#pragma once
// Captures what the code under test writes, so tests can assert on log lines.

#include <cstddef>
#include <sstream>
#include <string>
#include <vector>

namespace media {
namespace test {

// Redirects std::cout (where every log line goes) into memory for the object's lifetime.
class CoutCapture {
public:
    CoutCapture();
    ~CoutCapture();
    CoutCapture(const CoutCapture&) = delete;
    CoutCapture& operator=(const CoutCapture&) = delete;

    std::string text() const { return buffer_.str(); }
    std::vector<std::string> lines() const;
    // Number of lines containing needle.
    std::size_t count(const std::string& needle) const;

private:
    std::ostringstream buffer_;
    std::streambuf* saved_;
};

// Redirects a file descriptor (1 or 2) into a temporary file, so that output written
// by C code such as FFmpeg's logging is seen too. stop() ends the capture early.
class FdCapture {
public:
    explicit FdCapture(int fd);
    ~FdCapture();
    FdCapture(const FdCapture&) = delete;
    FdCapture& operator=(const FdCapture&) = delete;

    // Restores the descriptor (once) and returns everything written meanwhile.
    std::string stop();

private:
    int fd_;
    int saved_fd_ = -1;
    std::string path_;
    std::string text_;
};

}  // namespace test
}  // namespace media
