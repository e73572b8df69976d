// Cutting a camera's event ranges into count or time batches for Python.

#include "BatchQueue.h"

#include <algorithm>
#include <utility>

#include "orvane/base/Logger.h"
#include "orvane/hal/EventSearch.h"

namespace orvane::python {

namespace {
constexpr const char* kLogModule = "python/BatchQueue";
}

BatchQueue::BatchQueue(Mode mode, uint64_t size, size_t capacity)
    : mode_(mode), size_(std::max<uint64_t>(size, 1)), capacity_(std::max<size_t>(capacity, 1)) {}

void BatchQueue::add(const Event2D* begin, const Event2D* end) {
    std::lock_guard<std::mutex> lock(mutex_);
    while (begin < end) {
        if (mode_ == Mode::Count) {
            const uint64_t take =
                std::min<uint64_t>(size_ - filling_.size(), static_cast<uint64_t>(end - begin));
            filling_.insert(filling_.end(), begin, begin + take);
            begin += take;
            if (filling_.size() == size_) {
                handOver();
            }
            continue;
        }
        // Time: the batch holds the events before first + size.
        const uint64_t first = filling_.empty() ? begin->timestamp : filling_.front().timestamp;
        const Event2D* beyond = binarySearchTimestamp(first + size_ - 1, begin, end);
        filling_.insert(filling_.end(), begin, beyond);
        begin = beyond;
        if (beyond < end) {
            handOver();
        }
    }
}

void BatchQueue::handOver() {
    if (batches_.size() >= capacity_) {
        batches_.pop_front();
        // Warned at 1, 2, 4, 8, ... drops so a slow consumer does not flood the log.
        ++dropped_;
        if ((dropped_ & (dropped_ - 1)) == 0) {
            ORVANE_LOG(LOG_WARNING, "batches(): consumer too slow, %llu batches dropped so far",
                       static_cast<unsigned long long>(dropped_));
        }
    }
    batches_.push_back(std::move(filling_));
    filling_ = {};
    if (mode_ == Mode::Count && size_ <= (1u << 22)) {
        filling_.reserve(size_);
    }
    ready_.notify_one();
}

void BatchQueue::addTrigger(const EventTriggerIn& trigger) {
    std::lock_guard<std::mutex> lock(mutex_);
    triggers_.push_back(trigger);
}

bool BatchQueue::take(std::vector<Event2D>& batch, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!ready_.wait_for(lock, timeout, [this] { return !batches_.empty(); })) {
        return false;
    }
    batch = std::move(batches_.front());
    batches_.pop_front();
    return true;
}

std::vector<Event2D> BatchQueue::takePartial() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(filling_, {});
}

std::vector<EventTriggerIn> BatchQueue::takeTriggers() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(triggers_, {});
}

uint64_t BatchQueue::dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

}  // namespace orvane::python
