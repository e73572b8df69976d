// The event side that every camera family shares: callback registries, the
// fan-out of decoded ranges and trigger edges, and batching for getNextBatch.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
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
    // Swaps the oldest finished batch into `batch`, waiting for one when none is
    // queued; false at once when no batching was chosen or no run is on. A
    // waiter woken by endRun() returns true with an empty batch.
    bool getNextBatch(std::vector<Event2D>& batch);
    // How many finished batches wait for getNextBatch (0 counts as 1); when one
    // more is finished, the oldest is replaced. Applies from the next hand-over.
    void setBatchQueueSize(size_t batches);
    static constexpr size_t kDefaultBatchQueueSize = 4;
    // A run of the stream begins: events left filling from the last run go.
    void beginRun();
    // The run ended (stop, or the device is gone): every waiter wakes.
    void endRun();

    // Finished batches replaced before anyone took them (the oldest queued one
    // goes; the first replacement of a run is logged).
    uint64_t droppedBatches() const { return droppedBatches_; }
    // Callback calls that threw (each callback's first failure is logged).
    uint64_t callbackFailures() const { return callbackFailures_; }

    // Acquisition thread: batches a decoded range, then hands it whole to every
    // events callback.
    void dispatchEvents(const Event2D* begin, const Event2D* end);
    void dispatchTrigger(EventTriggerIn trigger);

  protected:
    enum BatchMode { kNoBatch = 0, kCountBatch = 1, kTimeBatch = 2 };
    // One batching kind: the vector being filled, the finished batches oldest
    // first, and counters so that waiters never take a batch twice.
    struct BatchStore {
        std::vector<Event2D> filling;
        std::deque<std::vector<Event2D>> queued;  // under mutex
        // Storage of taken and replaced batches, reused for filling: a steady
        // stream allocates nothing.
        std::vector<std::vector<Event2D>> spare;  // under mutex
        std::mutex mutex;
        std::condition_variable handedOver;
        uint64_t handOvers = 0;
        uint64_t wakeUps = 0;  // endRun() releases waiters without a batch
        size_t largest = 0;    // the largest batch handed over yet
        // Queues the filling batch; returns true when that replaced the oldest
        // queued one, never taken, because `capacity` batches were waiting. No
        // batch holds more than `most` events.
        bool handOver(size_t most, size_t capacity);
        void clear();  // caller holds mutex
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
    void handOver(BatchStore& store, size_t most);
    template <typename Callback, typename... Args>
    void callContained(std::unordered_set<uint32_t>& failed, uint32_t id, const char* kind,
                       Callback& callback, Args... args);
    void countBatches(const Event2D* begin, const Event2D* end, uint64_t count);
    void timeBatches(const Event2D* begin, const Event2D* end, uint64_t microseconds);

    std::unordered_map<uint32_t, EventsStreamHandleCallback> eventCallbacks_;
    uint32_t nextEventCallbackId_ = 0;
    std::mutex eventCallbacksMutex_;
    std::unordered_map<uint32_t, TriggerInCallback> triggerCallbacks_;
    uint32_t nextTriggerCallbackId_ = 0;
    std::mutex triggerCallbacksMutex_;

    std::unordered_set<uint32_t> failedEventCallbacks_;    // under eventCallbacksMutex_
    std::unordered_set<uint32_t> failedTriggerCallbacks_;  // under triggerCallbacksMutex_
    std::atomic<uint64_t> callbackFailures_{0};

    BatchMode requestedBatchMode_ = kNoBatch;
    std::mutex batchSettingsMutex_;
    uint64_t batchEventsNum_ = 131072;  // under batchSettingsMutex_
    uint64_t batchEventsTime_ = 10000;  // microseconds, under batchSettingsMutex_
    std::atomic<size_t> batchQueueSize_{kDefaultBatchQueueSize};

    std::atomic<bool> streaming_{false};
    std::atomic<uint64_t> droppedBatches_{0};
    bool replacementLogged_ = false;  // acquisition thread; reset by beginRun
};

}  // namespace orvane
