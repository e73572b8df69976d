#include "orvane/hal/BufferQueue.h"

#include <cassert>

#include "orvane/base/Logger.h"

namespace orvane {

namespace {
constexpr const char* kLogModule = "hal/transport/BufferQueue";
}

BufferQueue::BufferQueue(size_t capacity, uint32_t maxBufferBytes, std::string name)
    : capacity_(capacity == 0 ? 1 : capacity),
      maxBufferBytes_(maxBufferBytes),
      name_(std::move(name)) {}

bool BufferQueue::push(RawBuffer buffer) {
    assert(buffer && buffer->size() <= maxBufferBytes_);
    uint64_t droppedNow = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) {
            return false;
        }
        if (buffers_.size() >= capacity_) {
            buffers_.pop_front();
            droppedNow = ++dropped_;
        }
        buffers_.push_back(std::move(buffer));
    }
    ready_.notify_one();
    // One line for the first drop, then one per power of two: a consumer that
    // stays behind is reported without flooding the log.
    if (droppedNow != 0 && (droppedNow & (droppedNow - 1)) == 0) {
        ORVANE_LOG(LOG_WARNING, "%s: consumer too slow, %llu buffer(s) dropped so far",
                   name_.c_str(), static_cast<unsigned long long>(droppedNow));
    }
    return true;
}

bool BufferQueue::pushWait(RawBuffer& buffer, std::chrono::microseconds timeout) {
    assert(buffer && buffer->size() <= maxBufferBytes_);
    {
        std::unique_lock<std::mutex> lock(mutex_);
        room_.wait_for(lock, timeout, [this] { return closed_ || buffers_.size() < capacity_; });
        if (closed_ || buffers_.size() >= capacity_) {
            return false;
        }
        buffers_.push_back(std::move(buffer));
    }
    ready_.notify_one();
    return true;
}

bool BufferQueue::wait(std::chrono::microseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait_for(lock, timeout, [this] { return closed_ || !buffers_.empty(); });
    return !buffers_.empty();
}

RawBuffer BufferQueue::pop() {
    RawBuffer buffer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (buffers_.empty()) {
            return nullptr;
        }
        buffer = std::move(buffers_.front());
        buffers_.pop_front();
        ++delivered_;
    }
    room_.notify_one();
    return buffer;
}

void BufferQueue::close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    ready_.notify_all();
    room_.notify_all();
}

void BufferQueue::reopen() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = false;
    buffers_.clear();
}

bool BufferQueue::closed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}

uint64_t BufferQueue::dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

uint64_t BufferQueue::delivered() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return delivered_;
}

}  // namespace orvane
