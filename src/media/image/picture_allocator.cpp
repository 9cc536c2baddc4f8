#include "picture_allocator.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <vector>

namespace media {
namespace image {

namespace {

std::atomic<long long> fresh_memory_ns{0};

long long thread_cpu_ns() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// Touches every page of memory no one has used yet, so that its price (the faults, the
// kernel clearing it) is paid, and counted, in one place rather than inside whatever first
// writes it.
void touch_fresh(uchar* memory, size_t size) {
    const long long started = thread_cpu_ns();
    constexpr size_t kPage = 4096;
    for (size_t offset = 0; offset < size; offset += kPage) {
        *static_cast<volatile uchar*>(memory + offset) = 0;
    }
    fresh_memory_ns += thread_cpu_ns() - started;
}

// Images are the program's largest allocations, and the queue holds about fifty at once.
// Each fresh 4 KiB page faults on first touch, and those faults plus clearing the image
// were half of the program's CPU time. Images are therefore carved from 2 MiB-aligned
// blocks the kernel may back with huge pages, whose fresh memory is already zero; the
// buffer of an image the queue dropped serves a later image of the same size.
class PictureAllocator final : public cv::MatAllocator {
public:
    cv::UMatData* allocate(int dims, const int* sizes, int type, void* data, size_t* step,
                           cv::AccessFlag /*flags*/, cv::UMatUsageFlags /*usage*/) const override {
        size_t total = CV_ELEM_SIZE(type);
        for (int i = dims - 1; i >= 0; --i) {
            if (step != nullptr) {
                if (data != nullptr && step[i] != cv::Mat::AUTO_STEP) {
                    total = step[i];
                } else {
                    step[i] = total;
                }
            }
            total *= static_cast<size_t>(sizes[i]);
        }
        uchar* memory = data != nullptr ? static_cast<uchar*>(data) : take(total);
        if (memory == nullptr) {
            CV_Error(cv::Error::StsNoMem, "no memory for an image");
        }
        auto* u = new cv::UMatData(this);
        u->data = u->origdata = memory;
        u->size = total;
        if (data != nullptr) {
            u->flags |= cv::UMatData::USER_ALLOCATED;
        }
        return u;
    }

    bool allocate(cv::UMatData* u, cv::AccessFlag /*flags*/, cv::UMatUsageFlags /*usage*/) const override {
        return u != nullptr;
    }

    void deallocate(cv::UMatData* u) const override {
        if (u == nullptr) {
            return;
        }
        CV_Assert(u->urefcount == 0 && u->refcount == 0);
        if ((u->flags & cv::UMatData::USER_ALLOCATED) == 0) {
            give(u->origdata, u->size);
        }
        delete u;
    }

private:
    static constexpr size_t kHugePage = size_t{2} << 20;
    static constexpr size_t kBlockTarget = size_t{64} << 20;  // several images per mapping
    static constexpr size_t kAlign = 64;

    struct Block {
        uchar* base;
        size_t bytes;
        size_t used;
        size_t live;
    };
    struct Spare {
        uchar* data;
        size_t size;
        Block* block;
    };

    static size_t round_up(size_t value, size_t unit) { return (value + unit - 1) / unit * unit; }

    // Zero-filled memory of `size` bytes, or null.
    uchar* take(size_t size) const {
        if (size == 0) {
            size = 1;
        }
        uchar* recycled = nullptr;
        uchar* fresh = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const auto spare = std::find_if(spares_.begin(), spares_.end(),
                                            [size](const Spare& s) { return s.size == size; });
            if (spare != spares_.end()) {
                recycled = spare->data;
                ++spare->block->live;
                spares_.erase(spare);
            } else {
                const size_t slot = round_up(size, kAlign);
                if (current_ == nullptr || current_->bytes - current_->used < slot) {
                    Block* previous = current_;
                    current_ = map_block(std::max<size_t>(1, kBlockTarget / slot) * slot);
                    if (previous != nullptr && previous->live == 0) {
                        release_block(previous);  // kept only while it was the one being carved
                    }
                    if (current_ == nullptr) {
                        return nullptr;
                    }
                }
                fresh = current_->base + current_->used;
                current_->used += slot;
                ++current_->live;
            }
        }
        if (fresh != nullptr) {
            touch_fresh(fresh, size);
            return fresh;
        }
        std::memset(recycled, 0, size);
        return recycled;
    }

    void give(uchar* data, size_t size) const {
        if (size == 0) {
            size = 1;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        const auto owner = std::find_if(blocks_.begin(), blocks_.end(), [data](const std::unique_ptr<Block>& b) {
            return data >= b->base && data < b->base + b->bytes;
        });
        CV_Assert(owner != blocks_.end());
        Block* block = owner->get();
        if (--block->live > 0 || block == current_) {
            spares_.push_back(Spare{data, size, block});
            return;
        }
        release_block(block);
    }

    // Called with the mutex held, for a block no image uses any more.
    void release_block(Block* block) const {
        spares_.erase(std::remove_if(spares_.begin(), spares_.end(),
                                     [block](const Spare& s) { return s.block == block; }),
                      spares_.end());
        munmap(block->base, block->bytes);
        blocks_.erase(std::find_if(blocks_.begin(), blocks_.end(),
                                   [block](const std::unique_ptr<Block>& b) { return b.get() == block; }));
    }

    Block* map_block(size_t wanted) const {
        // Only whole huge pages get huge pages; the block's tail keeps small ones rather
        // than a partly used huge page, which would count in full towards resident memory.
        const size_t bytes = round_up(wanted, 4096);
        // Over-map by one huge page and trim, so the block starts on a huge-page boundary.
        void* mapped = mmap(nullptr, bytes + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) {
            return nullptr;
        }
        auto* start = static_cast<uchar*>(mapped);
        auto* base = reinterpret_cast<uchar*>(round_up(reinterpret_cast<uintptr_t>(start), kHugePage));
        if (base > start) {
            munmap(start, static_cast<size_t>(base - start));
        }
        const size_t tail = kHugePage - static_cast<size_t>(base - start);
        if (tail > 0) {
            munmap(base + bytes, tail);
        }
        madvise(base, bytes, MADV_HUGEPAGE);  // advice only: without huge pages it still works
        blocks_.push_back(std::make_unique<Block>(Block{base, bytes, 0, 0}));
        return blocks_.back().get();
    }

    mutable std::mutex mutex_;
    mutable std::vector<std::unique_ptr<Block>> blocks_;
    mutable std::vector<Spare> spares_;
    mutable Block* current_ = nullptr;
};

// Never destroyed: images may outlive every static object.
cv::MatAllocator& picture_allocator() {
    static auto* allocator = new PictureAllocator();
    return *allocator;
}

}  // namespace

long long fresh_image_cpu_ns() { return fresh_memory_ns.load(); }

cv::Mat new_bgr_image(int rows, int cols) {
    cv::Mat image;
    image.allocator = &picture_allocator();
    image.create(rows, cols, CV_8UC3);
    // OpenCV falls back to its own allocator when ours fails, and that memory is not cleared.
    if (image.u != nullptr && image.u->currAllocator != image.allocator) {
        image.setTo(cv::Scalar::all(0));
    }
    return image;
}

}  // namespace image
}  // namespace media
