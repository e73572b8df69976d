// Callback fan-out and batching of decoded events, shared by the camera families.
#include "camera/EventDispatcher.h"

#include <algorithm>
#include <cstdint>

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

// A callback that throws (anything) costs the others nothing: the next one gets
// the same range and decoding goes on. Each callback's first failure is logged.
template <typename Callback, typename... Args>
void EventDispatcher::callContained(std::unordered_set<uint32_t>& failed, uint32_t id,
                                    const char* kind, Callback& callback, Args... args) {
    const char* what = nullptr;
    try {
        callback(args...);
        return;
    } catch (const std::exception& e) {
        what = e.what();
        ++callbackFailures_;
        if (failed.insert(id).second) {
            ORVANE_LOG(LOG_ERROR, "The %s callback %u threw: %s; it keeps being called", kind, id,
                       what);
        }
    } catch (...) {
        ++callbackFailures_;
        if (failed.insert(id).second) {
            ORVANE_LOG(LOG_ERROR,
                       "The %s callback %u threw a value that is no std::exception; it "
                       "keeps being called",
                       kind, id);
        }
    }
}

void EventDispatcher::dispatchTrigger(EventTriggerIn trigger) {
    std::lock_guard<std::mutex> lock(triggerCallbacksMutex_);
    for (auto& [id, callback] : triggerCallbacks_) {
        callContained(failedTriggerCallbacks_, id, "trigger", callback, trigger);
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
        callContained(failedEventCallbacks_, id, "events", callback, begin, end);
    }
}

// ---- batching -----------------------------------------------------------------

EventDispatcher::BatchSettings EventDispatcher::settings() {
    std::lock_guard<std::mutex> lock(batchSettingsMutex_);
    return {requestedBatchMode_, batchEventsNum_, batchEventsTime_};
}

// The full batch joins the queue; its storage comes back through `spare` once
// it was taken or replaced.
bool EventDispatcher::BatchStore::handOver(size_t most, size_t capacity) {
    bool replaced = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        while (queued.size() >= capacity) {
            queued.front().clear();
            spare.push_back(std::move(queued.front()));
            queued.pop_front();
            replaced = true;
        }
        largest = std::max(largest, filling.size());
        queued.push_back(std::move(filling));
        filling = {};
        if (!spare.empty()) {
            filling = std::move(spare.back());
            spare.pop_back();
        }
        // The next batch starts with room for twice the largest batch yet, in
        // powers of two: time batches vary in size, and a steady stream then never
        // allocates, not even for a batch a little larger than every one before.
        size_t room = 1024;
        while (room < 2 * largest && room < most) {
            room *= 2;
        }
        filling.reserve(std::min(room, most));
        ++handOvers;
    }
    handedOver.notify_one();
    return replaced;
}

void EventDispatcher::BatchStore::clear() {
    filling.clear();
    while (!queued.empty()) {
        queued.front().clear();
        spare.push_back(std::move(queued.front()));
        queued.pop_front();
    }
}

// A full queue loses its oldest batch to the new one; that loss is counted and,
// once per run, logged.
void EventDispatcher::handOver(BatchStore& store, size_t most) {
    if (!store.handOver(most, batchQueueSize_)) {
        return;
    }
    ++droppedBatches_;
    if (!replacementLogged_) {
        replacementLogged_ = true;
        ORVANE_LOG(LOG_WARNING,
                   "A batch was replaced before getNextBatch took it: %zu finished batches were "
                   "waiting, the consumer is slower than the stream (the oldest goes; "
                   "droppedBatches() counts them, setBatchQueueSize() keeps more)",
                   batchQueueSize_.load());
    }
}

void EventDispatcher::setBatchQueueSize(size_t batches) {
    batchQueueSize_ = std::max<size_t>(batches, 1);
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
        handOver(countBatch_, target);
    }
    uint64_t n = static_cast<uint64_t>(end - p);
    while (n > 0) {
        const uint64_t room = target - filling.size();
        if (n <= room) {
            filling.insert(filling.end(), p, end);
            return;
        }
        filling.insert(filling.end(), p, p + room);
        handOver(countBatch_, target);
        n -= room;
        p += room;
    }
}

namespace {

uint64_t saturatingAdd(uint64_t a, uint64_t b) {
    uint64_t sum;
    return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

// The first boundary of the grid `boundary` + k * `slice` (k >= 1) at or after `t`.
uint64_t boundaryReaching(uint64_t boundary, uint64_t slice, uint64_t t) {
    const uint64_t gap = t - boundary;
    const uint64_t steps = gap / slice + (gap % slice != 0);
    uint64_t span;
    return __builtin_mul_overflow(steps, slice, &span) ? UINT64_MAX : saturatingAdd(boundary, span);
}

}  // namespace

// Slices are anchored at the first event of a batch; an event at the boundary
// closes the batch. Slices that a gap in the stream leaves empty are skipped
// rather than handed over one by one: the next batch is the slice that holds the
// next event, however long the gap. Boundaries saturate at the end of time.
void EventDispatcher::timeBatches(const Event2D* p, const Event2D* end, uint64_t slice) {
    std::vector<Event2D>& filling = timeBatch_.filling;
    uint64_t boundary =
        saturatingAdd(filling.empty() ? p->timestamp : filling.front().timestamp, slice);
    while (p < end) {
        if (end[-1].timestamp <= boundary) {
            filling.insert(filling.end(), p, end);
            return;
        }
        const Event2D* q = binarySearchTimestamp(boundary, p, end);
        if (q != p || !filling.empty()) {
            filling.insert(filling.end(), p, q);
            handOver(timeBatch_, SIZE_MAX);
        }
        boundary = boundaryReaching(boundary, slice, q->timestamp);
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
    // endRun() takes this lock after clearing the flag: a run that ends from here
    // on wakes this waiter.
    if (!streaming_) {
        return false;
    }
    if (store.queued.empty()) {
        const uint64_t seen = store.handOvers, woken = store.wakeUps;
        // Counters, not a bare wait: a spurious wake-up never returns a batch twice.
        store.handedOver.wait(lock,
                              [&] { return store.handOvers != seen || store.wakeUps != woken; });
        if (store.queued.empty()) {
            return true;  // woken by the end of the run
        }
    }
    // The caller's old storage fills a later batch.
    batch.swap(store.queued.front());
    store.spare.push_back(std::move(store.queued.front()));
    store.queued.pop_front();
    return true;
}

void EventDispatcher::beginRun() {
    for (BatchStore* store : {&countBatch_, &timeBatch_}) {
        std::lock_guard<std::mutex> lock(store->mutex);
        store->clear();
    }
    replacementLogged_ = false;
    streaming_ = true;
}

void EventDispatcher::endRun() {
    streaming_ = false;
    for (BatchStore* store : {&countBatch_, &timeBatch_}) {
        {
            std::lock_guard<std::mutex> lock(store->mutex);
            ++store->wakeUps;
        }
        store->handedOver.notify_all();
    }
}

}  // namespace orvane
