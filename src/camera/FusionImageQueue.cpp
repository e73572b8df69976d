// Counting events into the fusion image and handing images out by pulse time.

#include "FusionImageQueue.h"

#include <algorithm>

#include "orvane/base/Logger.h"

namespace orvane {

namespace {
constexpr const char* kLogModule = "src/camera/FusionCameraPrivate";
}

FusionImageQueue::FusionImageQueue(uint32_t width, uint32_t height)
    : width_(width), counters_(size_t{width} * height * 2) {}

void FusionImageQueue::makeCurrent() {
    if (!pool_) {
        pool_ = std::make_unique<ObjectPool<Image, 1>>(kPoolSize, true, counters_);
    }
    current_ = pool_->acquire();
    std::fill(current_->begin(), current_->end(), 0);
}

void FusionImageQueue::count(const Event2D* begin, const Event2D* end) {
    std::lock_guard<std::mutex> lock(imageMutex_);
    if (!current_) {
        makeCurrent();
    }
    uint16_t* counters = current_->data();
    const uint32_t size = static_cast<uint32_t>(current_->size());
    for (const Event2D* e = begin; e < end; ++e) {
        const uint32_t i = indexOf(width_, *e);
        if (i < size && counters[i] < kCountCeiling) {
            ++counters[i];
        }
    }
}

void FusionImageQueue::close(uint64_t timestamp) {
    std::lock_guard<std::mutex> lock(imageMutex_);
    if (!current_) {
        makeCurrent();
    }
    std::shared_ptr<Image> closed = std::move(current_);
    {
        std::lock_guard<std::mutex> queueLock(queueMutex_);
        if (queue_.size() >= kQueueLength) {
            queue_.pop_front();  // its vector returns to the pool unless the application holds it
        }
        queue_.push_back({closed, timestamp});
    }
    closed.reset();
    // Waiting for the application to release an image would stall the event
    // thread, and with it every event, recording and stop(). Instead this pulse's
    // image is taken back out of the queue and restarted as the current one:
    // that pulse has no image, and the caller is told so once.
    if (pool_->freeCount() == 0) {
        {
            std::lock_guard<std::mutex> queueLock(queueMutex_);
            current_ = std::move(queue_.back().image);
            queue_.pop_back();
        }
        std::fill(current_->begin(), current_->end(), 0);
        if (skipped_++ == 0) {
            ORVANE_LOG(LOG_WARNING,
                       "The application holds every spare fusion image: the image of the pulse "
                       "at %llu us is skipped (release images after use)",
                       static_cast<unsigned long long>(timestamp));
        }
        return;
    }
    makeCurrent();  // only this thread takes from the pool: a free image stays free
}

bool FusionImageQueue::fetch(std::shared_ptr<Image>& image, uint64_t timestamp) {
    std::lock_guard<std::mutex> lock(queueMutex_);
    for (size_t n = queue_.size(); n > 0; --n) {
        Entry& oldest = queue_.front();
        if (oldest.image && oldest.timestamp > timestamp) {
            return false;
        }
        if (oldest.image && oldest.timestamp == timestamp) {
            image = std::move(oldest.image);
            queue_.pop_front();
            return true;
        }
        queue_.pop_front();
    }
    return false;
}

uint64_t FusionImageQueue::skippedImages() const {
    std::lock_guard<std::mutex> lock(imageMutex_);
    return skipped_;
}

}  // namespace orvane
