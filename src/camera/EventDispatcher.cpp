// Callback fan-out and batching of decoded events, shared by the camera families.
#include "camera/EventDispatcher.h"

#include "orvane/base/Logger.h"
#include "orvane/hal/EventSearch.h"

namespace orvane {

namespace {
constexpr const char* kLogModule = "src/camera/EventDispatcher";
}  // namespace

// ---- callbacks ----------------------------------------------------------------

uint32_t EventDispatcher::addEventsCallback(EventsStreamHandleCallback callback) {
    std::lock_guard<std::mutex> lock(eventCallbacksMutex_);
    eventCallbacks_[nextEventCallbackId_] = std::move(callback);
    return nextEventCallbackId_++;
}

bool EventDispatcher::removeEventsCallback(uint32_t id) {
    std::lock_guard<std::mutex> lock(eventCallbacksMutex_);
    return eventCallbacks_.erase(id) != 0;
}

uint32_t EventDispatcher::addTriggerCallback(TriggerInCallback callback) {
    std::lock_guard<std::mutex> lock(triggerCallbacksMutex_);
    triggerCallbacks_[nextTriggerCallbackId_] = std::move(callback);
    return nextTriggerCallbackId_++;
}

bool EventDispatcher::removeTriggerCallback(uint32_t id) {
    std::lock_guard<std::mutex> lock(triggerCallbacksMutex_);
    return triggerCallbacks_.erase(id) != 0;
}

void EventDispatcher::dispatchTrigger(EventTriggerIn trigger) {
    std::lock_guard<std::mutex> lock(triggerCallbacksMutex_);
    for (auto& [id, callback] : triggerCallbacks_) {
        callback(trigger);
    }
}

void EventDispatcher::dispatchEvents(const Event2D* begin, const Event2D* end) {
    const BatchSettings batching = settings();
    if (begin < end) {
        if (batching.mode == kCountBatch) {
            countBatches(begin, end, batching.count);
        } else if (batching.mode == kTimeBatch) {
            timeBatches(begin, end, batching.microseconds);
        }
    }
    std::lock_guard<std::mutex> lock(eventCallbacksMutex_);
    for (auto& [id, callback] : eventCallbacks_) {
        callback(begin, end);
    }
}

// ---- batching -----------------------------------------------------------------

EventDispatcher::BatchSettings EventDispatcher::settings() {
    std::lock_guard<std::mutex> lock(batchSettingsMutex_);
    return {requestedBatchMode_, batchEventsNum_, batchEventsTime_};
}

// The full batch becomes the ready one; the storage of the previous ready batch
// is recycled as the next filling vector.
void EventDispatcher::BatchStore::handOver() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        ready.clear();
        ready.swap(filling);
        ++handOvers;
    }
    handedOver.notify_one();
}

void EventDispatcher::setBatchEventsNum(uint64_t count) {
    if (count == 0) {
        ORVANE_LOG(LOG_INFO, "Batch size 0 makes no batches; using 1 event");
        count = 1;
    }
    std::lock_guard<std::mutex> lock(batchSettingsMutex_);
    batchEventsNum_ = count;
    requestedBatchMode_ = kCountBatch;
}

void EventDispatcher::setBatchEventsTime(uint64_t microseconds) {
    if (microseconds == 0) {
        ORVANE_LOG(LOG_INFO, "Batch time 0 makes no batches; using 1 us");
        microseconds = 1;
    }
    std::lock_guard<std::mutex> lock(batchSettingsMutex_);
    batchEventsTime_ = microseconds;
    requestedBatchMode_ = kTimeBatch;
}

// A batch is handed over when an arriving event no longer fits, so each holds
// exactly `target` events.
void EventDispatcher::countBatches(const Event2D* p, const Event2D* end, uint64_t target) {
    std::vector<Event2D>& filling = countBatch_.filling;
    // The size was lowered below what is already filling: that batch goes at once.
    if (filling.size() > target) {
        countBatch_.handOver();
    }
    uint64_t n = static_cast<uint64_t>(end - p);
    while (n > 0) {
        const uint64_t room = target - filling.size();
        if (n <= room) {
            filling.insert(filling.end(), p, end);
            return;
        }
        filling.insert(filling.end(), p, p + room);
        countBatch_.handOver();
        n -= room;
        p += room;
    }
}

// Slices are anchored at the first event of a batch; an event at the boundary
// closes the batch. A gap of several slices hands over one (empty) batch per slice.
void EventDispatcher::timeBatches(const Event2D* p, const Event2D* end, uint64_t slice) {
    std::vector<Event2D>& filling = timeBatch_.filling;
    uint64_t boundary = (filling.empty() ? p->timestamp : filling.front().timestamp) + slice;
    while (p < end) {
        if (end[-1].timestamp <= boundary) {
            filling.insert(filling.end(), p, end);
            return;
        }
        const Event2D* q = binarySearchTimestamp(boundary, p, end);
        filling.insert(filling.end(), p, q);
        timeBatch_.handOver();
        boundary += slice;
        p = q;
    }
}

bool EventDispatcher::getNextBatch(std::vector<Event2D>& batch) {
    batch.clear();
    const BatchMode mode = settings().mode;
    if (mode == kNoBatch) {
        return false;
    }
    BatchStore& store = mode == kCountBatch ? countBatch_ : timeBatch_;
    std::unique_lock<std::mutex> lock(store.mutex);
    const uint64_t seen = store.handOvers, woken = store.wakeUps;
    // Counters, not a bare wait: a spurious wake-up never returns a batch twice.
    store.handedOver.wait(lock, [&] { return store.handOvers != seen || store.wakeUps != woken; });
    batch.swap(store.ready);
    return true;
}

void EventDispatcher::wakeWaiters() {
    for (BatchStore* store : {&countBatch_, &timeBatch_}) {
        {
            std::lock_guard<std::mutex> lock(store->mutex);
            ++store->wakeUps;
        }
        store->handedOver.notify_all();
    }
}

}  // namespace orvane
