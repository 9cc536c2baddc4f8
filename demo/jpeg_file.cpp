#include "jpeg_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "cpu_account.h"
#include "media/common/clogger.h"

namespace {

// Names already taken are skipped; this many in a row means someone is filling the
// directory on purpose, and the image is given up rather than waited for.
constexpr int kNameAttempts = 100;

// Creates a new file next to `path` under a name no one can predict (".N.jpg.<random>.tmp").
// The output directory may be writable by others: a fixed temporary name would let anyone
// plant a link there in advance and have the picture written into a file of their choice.
// O_EXCL refuses any name that exists, a link included, so the file is always our own.
// Mode 0666 leaves the rest to the umask, as for any new file the user creates.
int create_temporary(const std::string& path, std::string& temporary) {
    const std::size_t slash = path.rfind('/');
    const std::size_t name_start = slash == std::string::npos ? 0 : slash + 1;
    const std::string prefix = path.substr(0, name_start) + "." + path.substr(name_start) + ".";
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::uint64_t random = 0;
        if (::getrandom(&random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
            if (errno == EINTR) continue;
            return -1;
        }
        char suffix[17];
        std::snprintf(suffix, sizeof suffix, "%016" PRIx64, random);
        temporary = prefix + suffix + ".tmp";
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
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

template <typename Picture>
bool JpegFileWriter::encode_and_write(const std::string& path, const Picture& picture) {
    std::string reason;
    if (!cpu_account::measured(cpu_account::Part::Encode, [&] { return encoder_.encode(picture, reason); })) {
        LOG_ERROR("write image {} failed: {}", path, reason);
        return false;
    }
    return write_encoded(path);
}

bool JpegFileWriter::write(const std::string& path, const cv::Mat& image) { return encode_and_write(path, image); }

bool JpegFileWriter::write(const std::string& path, const AVFrame& frame) { return encode_and_write(path, frame); }

bool JpegFileWriter::write(const std::string& path, const AVFrame& frame, const cv::Mat& image) {
    return JpegEncoder::takes_planes_of(frame) ? write(path, frame) : write(path, image);
}

// Writes the encoder's latest picture to `path`.
bool JpegFileWriter::write_encoded(const std::string& path) {
    const cpu_account::Scope account(cpu_account::Part::Write);
    std::string temporary;
    const int fd = create_temporary(path, temporary);
    if (fd < 0) {
        LOG_ERROR("write image {} failed: {}", path, std::string(std::strerror(errno)));
        return false;
    }
    const bool written = write_all(fd, encoder_.data(), encoder_.size());
    const int write_errno = errno;
    const bool closed = ::close(fd) == 0;
    // rename replaces whatever stands at `path`, a link included, without following it.
    if (!written || !closed || std::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = written ? errno : write_errno;
        LOG_ERROR("write image {} failed: {}", path, std::string(std::strerror(error)));
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}
