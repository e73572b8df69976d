// EventBuffer: an anonymous mapping advised to use huge pages, grown and shrunk
// with mremap.

#include "EventBuffer.h"

#include <sys/mman.h>

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <new>

namespace orvane::python {

namespace {

constexpr size_t kPage = 4096;
constexpr size_t kHugePage = size_t{2} << 20;

size_t roundUp(size_t bytes, size_t to) {
    return (bytes + to - 1) / to * to;
}

void adviseHugePages(void* at, size_t bytes) {
    // Only a hint: without transparent huge pages the buffer works the same.
    if (bytes >= kHugePage) {
        ::madvise(at, bytes, MADV_HUGEPAGE);
    }
}

}  // namespace

EventBuffer::EventBuffer(size_t expected) {
    bytes_ = roundUp(std::max<size_t>(expected, 1) * sizeof(Event2D), kPage);
    // Mapped with a huge page of slack and trimmed to start on a huge-page
    // boundary: only aligned huge pages can back it.
    const size_t slack = bytes_ >= kHugePage ? kHugePage : 0;
    void* mapped =
        ::mmap(nullptr, bytes_ + slack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) {
        throw std::bad_alloc();
    }
    auto* start = static_cast<char*>(mapped);
    if (slack != 0) {
        const auto address = reinterpret_cast<uintptr_t>(start);
        const size_t head = roundUp(address, kHugePage) - address;
        if (head != 0) {
            ::munmap(start, head);
        }
        if (slack - head != 0) {
            ::munmap(start + head + bytes_, slack - head);
        }
        start += head;
    }
    events_ = reinterpret_cast<Event2D*>(start);
    adviseHugePages(events_, bytes_);
}

EventBuffer::~EventBuffer() {
    if (events_ != nullptr) {
        ::munmap(events_, bytes_);
    }
}

void EventBuffer::append(const Event2D* begin, const Event2D* end) {
    const auto count = static_cast<size_t>(end - begin);
    if ((size_ + count) * sizeof(Event2D) > bytes_) {
        grow(size_ + count);
    }
    std::memcpy(events_ + size_, begin, count * sizeof(Event2D));
    size_ += count;
}

void EventBuffer::grow(size_t atLeast) {
    const size_t bytes = roundUp(std::max(atLeast * sizeof(Event2D), bytes_ * 2), kPage);
    void* moved = ::mremap(events_, bytes_, bytes, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) {
        throw std::bad_alloc();
    }
    events_ = static_cast<Event2D*>(moved);
    bytes_ = bytes;
    adviseHugePages(events_, bytes_);
}

void EventBuffer::shrinkToFit() {
    const size_t bytes = roundUp(std::max<size_t>(size_, 1) * sizeof(Event2D), kPage);
    if (bytes < bytes_) {
        // Shrinking in place never moves the events.
        void* kept = ::mremap(events_, bytes_, bytes, 0);
        assert(kept == events_);
        (void)kept;
        bytes_ = bytes;
    }
}

}  // namespace orvane::python
