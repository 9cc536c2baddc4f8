#include "capture.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>

namespace media {
namespace test {

CoutCapture::CoutCapture() : saved_(std::cout.rdbuf(buffer_.rdbuf())) {}

CoutCapture::~CoutCapture() { std::cout.rdbuf(saved_); }

std::vector<std::string> CoutCapture::lines() const {
    std::vector<std::string> result;
    std::istringstream in(buffer_.str());
    for (std::string line; std::getline(in, line);) {
        result.push_back(line);
    }
    return result;
}

std::size_t CoutCapture::count(const std::string& needle) const {
    std::size_t n = 0;
    for (const std::string& line : lines()) {
        if (line.find(needle) != std::string::npos) ++n;
    }
    return n;
}

FdCapture::FdCapture(int fd) : fd_(fd) {
    char name[] = "/tmp/media-unit-capture-XXXXXX";
    const int file = mkstemp(name);
    if (file < 0) throw std::runtime_error("mkstemp failed");
    path_ = name;
    std::cout.flush();
    std::fflush(nullptr);
    saved_fd_ = dup(fd_);
    dup2(file, fd_);
    ::close(file);
}

FdCapture::~FdCapture() { stop(); }

std::string FdCapture::stop() {
    if (saved_fd_ < 0) return text_;
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    dup2(saved_fd_, fd_);
    ::close(saved_fd_);
    saved_fd_ = -1;
    std::ifstream in(path_, std::ios::binary);
    text_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    std::remove(path_.c_str());
    return text_;
}

}  // namespace test
}  // namespace media
