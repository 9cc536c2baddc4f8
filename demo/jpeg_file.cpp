#include "jpeg_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "media/common/clogger.h"

namespace {

std::string temporary_name(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::size_t name_start = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(0, name_start) + "." + path.substr(name_start) + ".tmp";
}

bool write_all(int fd, const unsigned char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

bool JpegFileWriter::write(const std::string& path, const cv::Mat& image) {
    std::string reason;
    if (!encoder_.encode(image, reason)) {
        LOG_ERROR("write image {} failed: {}", path, reason);
        return false;
    }

    const std::string temporary = temporary_name(path);
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        LOG_ERROR("write image {} failed: {}", path, std::string(std::strerror(errno)));
        return false;
    }
    const bool written = write_all(fd, encoder_.data(), encoder_.size());
    const int write_errno = errno;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || std::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = written ? errno : write_errno;
        LOG_ERROR("write image {} failed: {}", path, std::string(std::strerror(error)));
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}
