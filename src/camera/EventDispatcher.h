// The event side that every camera family shares: callback registries, the
// fan-out of decoded ranges and trigger edges, and batching for getNextBatch.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "orvane/Callbacks.h"

namespace orvane {

// Threads: application threads register callbacks, choose the batching and
// wait in getNextBatch; one acquisition thread calls dispatchEvents and
// dispatchTrigger. A camera adds its own work (a fusion image, say) before
// calling them.
class EventDispatcher {
  public:
    EventDispatcher() = default;
    EventDispatcher(const EventDispatcher&) = delete;
    EventDispatcher& operator=(const EventDispatcher&) = delete;

    // Ids count from 0 per kind and are not reused.
    uint32_t addEventsCallback(EventsStreamHandleCallback callback);
    bool removeEventsCallback(uint32_t id);
    uint32_t addTriggerCallback(TriggerInCallback callback);
    bool removeTriggerCallback(uint32_t id);

    // The most recent call chooses the batching; 0 counts as 1.
    void setBatchEventsNum(uint64_t count);
    void setBatchEventsTime(uint64_t microseconds);
    // Waits for the next batch and swaps it into `batch`; false at once when no
    // batching was chosen.
    bool getNextBatch(std::vector<Event2D>& batch);
    // Wakes every waiter of getNextBatch (they return what the ready vector holds).
    void wakeWaiters();

    // Acquisition thread: batches a decoded range, then hands it whole to every
    // events callback.
    void dispatchEvents(const Event2D* begin, const Event2D* end);
    void dispatchTrigger(EventTriggerIn trigger);

  protected:
    enum BatchMode { kNoBatch = 0, kCountBatch = 1, kTimeBatch = 2 };
    // One batching kind: the vector being filled, the last handed-over batch,
    // and counters so that waiters never take a batch twice.
    struct BatchStore {
        std::vector<Event2D> filling, ready;
        std::mutex mutex;
        std::condition_variable handedOver;
        uint64_t handOvers = 0;
        uint64_t wakeUps = 0;  // wakeWaiters() releases waiters without a batch
        void handOver();
    };

    BatchStore countBatch_;
    BatchStore timeBatch_;

  private:
    struct BatchSettings {
        BatchMode mode;
        uint64_t count;
        uint64_t microseconds;
    };
    BatchSettings settings();
    void countBatches(const Event2D* begin, const Event2D* end, uint64_t count);
    void timeBatches(const Event2D* begin, const Event2D* end, uint64_t microseconds);

    std::unordered_map<uint32_t, EventsStreamHandleCallback> eventCallbacks_;
    uint32_t nextEventCallbackId_ = 0;
    std::mutex eventCallbacksMutex_;
    std::unordered_map<uint32_t, TriggerInCallback> triggerCallbacks_;
    uint32_t nextTriggerCallbackId_ = 0;
    std::mutex triggerCallbacksMutex_;

    BatchMode requestedBatchMode_ = kNoBatch;
    std::mutex batchSettingsMutex_;
    uint64_t batchEventsNum_ = 131072;  // under batchSettingsMutex_
    uint64_t batchEventsTime_ = 10000;  // microseconds, under batchSettingsMutex_
};

}  // namespace orvane
