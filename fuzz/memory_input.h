#pragma once
// An FFmpeg input over bytes in memory, so a demuxer can read them without a file.

#include <cstddef>
#include <cstdint>

#include "media/ffmpeg/av.h"

namespace media {
namespace fuzz {

class MemoryInput {
public:
    // The bytes are borrowed: they must outlive the input.
    MemoryInput(const uint8_t* data, std::size_t size);
    ~MemoryInput();
    MemoryInput(const MemoryInput&) = delete;
    MemoryInput& operator=(const MemoryInput&) = delete;

    // Null when FFmpeg could not allocate.
    AVIOContext* io() const { return io_; }

private:
    static int read(void* opaque, uint8_t* buffer, int capacity);
    static int64_t seek(void* opaque, int64_t offset, int whence);

    const uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
    AVIOContext* io_ = nullptr;
};

}  // namespace fuzz
}  // namespace media
