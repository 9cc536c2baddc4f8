#include "memory_input.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace media {
namespace fuzz {

namespace {

constexpr int kBufferSize = 4096;

}  // namespace

MemoryInput::MemoryInput(const uint8_t* data, std::size_t size) : data_(data), size_(size) {
    auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
    if (buffer == nullptr) {
        return;
    }
    io_ = avio_alloc_context(buffer, kBufferSize, 0, this, &MemoryInput::read, nullptr, &MemoryInput::seek);
    if (io_ == nullptr) {
        av_free(buffer);
    }
}

MemoryInput::~MemoryInput() {
    if (io_ != nullptr) {
        // FFmpeg may have swapped in a buffer of its own: free the one it holds now.
        av_freep(&io_->buffer);
        avio_context_free(&io_);
    }
}

int MemoryInput::read(void* opaque, uint8_t* buffer, int capacity) {
    auto* self = static_cast<MemoryInput*>(opaque);
    if (self->position_ >= self->size_ || capacity <= 0) {
        return AVERROR_EOF;
    }
    const std::size_t count = std::min(static_cast<std::size_t>(capacity), self->size_ - self->position_);
    std::memcpy(buffer, self->data_ + self->position_, count);
    self->position_ += count;
    return static_cast<int>(count);
}

int64_t MemoryInput::seek(void* opaque, int64_t offset, int whence) {
    auto* self = static_cast<MemoryInput*>(opaque);
    const auto size = static_cast<int64_t>(self->size_);
    const int mode = whence & ~AVSEEK_FORCE;
    if (mode == AVSEEK_SIZE) {
        return size;
    }
    // Bounding the offset first keeps the sums below from overflowing.
    if (offset < -size || offset > size) {
        return AVERROR(EINVAL);
    }
    int64_t target = 0;
    switch (mode) {
        case SEEK_SET: target = offset; break;
        case SEEK_CUR: target = static_cast<int64_t>(self->position_) + offset; break;
        case SEEK_END: target = size + offset; break;
        default: return AVERROR(EINVAL);
    }
    if (target < 0 || target > size) {
        return AVERROR(EINVAL);
    }
    self->position_ = static_cast<std::size_t>(target);
    return target;
}

}  // namespace fuzz
}  // namespace media
