#include "orvane/DvsCameraPrivate.h"

#include <stdexcept>

#include "orvane/RawFileHeader.h"
#include "orvane/base/Logger.h"
#include "orvane/hal/EventSearch.h"

namespace orvane {

namespace {
constexpr const char* kLogModule = "src/camera/DvsCameraPrivate";
constexpr size_t kRecordPoolBuffers = 10;
}  // namespace

const std::string DvsCameraPrivate::kRecordingHeader = RawFileHeader::kLiveRecordingHeader;

DvsCameraPrivate::DvsCameraPrivate(CameraDescription description)
    : DvsCamera(std::move(description)) {}

DvsCameraPrivate::~DvsCameraPrivate() {
    // A camera destroyed while recording first finishes its file.
    try {
        if (recording_) {
            stopRecording();
        }
        stop();
    } catch (const std::exception& e) {
        ORVANE_LOG(LOG_ERROR, "Camera %s: %s while closing", description_.serial.c_str(), e.what());
    }
    sensor_.reset();
}

void DvsCameraPrivate::requireInited() const {
    if (!inited_) {
        throw std::runtime_error("Camera is not inited");
    }
}

// ---- callbacks ----------------------------------------------------------------

uint32_t DvsCameraPrivate::addEventsStreamHandleCallback(EventsStreamHandleCallback callback) {
    std::lock_guard<std::mutex> lock(eventCallbacksMutex_);
    eventCallbacks_[nextEventCallbackId_] = std::move(callback);
    return nextEventCallbackId_++;
}

bool DvsCameraPrivate::removeEventsStreamHandleCallback(uint32_t id) {
    std::lock_guard<std::mutex> lock(eventCallbacksMutex_);
    return eventCallbacks_.erase(id) != 0;
}

uint32_t DvsCameraPrivate::addTriggerInCallback(TriggerInCallback callback) {
    std::lock_guard<std::mutex> lock(triggerCallbacksMutex_);
    triggerCallbacks_[nextTriggerCallbackId_] = std::move(callback);
    return nextTriggerCallbackId_++;
}

bool DvsCameraPrivate::removeTriggerInCallback(uint32_t id) {
    std::lock_guard<std::mutex> lock(triggerCallbacksMutex_);
    return triggerCallbacks_.erase(id) != 0;
}

void DvsCameraPrivate::triggerInArrvied(EventTriggerIn trigger) {
    std::lock_guard<std::mutex> lock(triggerCallbacksMutex_);
    for (auto& [id, callback] : triggerCallbacks_) {
        callback(trigger);
    }
}

void DvsCameraPrivate::eventStreamArrvied(const Event2D* begin, const Event2D* end) {
    BatchMode mode;
    {
        std::lock_guard<std::mutex> lock(batchSettingsMutex_);
        batchMode_ = requestedBatchMode_;
        mode = batchMode_;
    }
    if (begin < end) {
        if (mode == kCountBatch) {
            countBatches(begin, end);
        } else if (mode == kTimeBatch) {
            timeBatches(begin, end);
        }
    }
    std::lock_guard<std::mutex> lock(eventCallbacksMutex_);
    for (auto& [id, callback] : eventCallbacks_) {
        callback(begin, end);
    }
}

// ---- batching -----------------------------------------------------------------

// The full batch becomes the ready one; the storage of the previous ready batch
// is recycled as the next filling vector.
void DvsCameraPrivate::BatchStore::handOver() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        ready.clear();
        ready.swap(filling);
        ++handOvers;
    }
    handedOver.notify_one();
}

void DvsCameraPrivate::setBatchEventsNum(uint64_t count) {
    if (count == 0) {
        ORVANE_LOG(LOG_INFO, "Batch size 0 makes no batches; using 1 event");
        count = 1;
    }
    batchEventsNum_ = count;
    std::lock_guard<std::mutex> lock(batchSettingsMutex_);
    requestedBatchMode_ = kCountBatch;
}

void DvsCameraPrivate::setBatchEventsTime(uint64_t microseconds) {
    if (microseconds == 0) {
        ORVANE_LOG(LOG_INFO, "Batch time 0 makes no batches; using 1 us");
        microseconds = 1;
    }
    batchEventsTime_ = microseconds;
    std::lock_guard<std::mutex> lock(batchSettingsMutex_);
    requestedBatchMode_ = kTimeBatch;
}

// A batch is handed over when an arriving event no longer fits, so each holds
// exactly batchEventsNum events.
void DvsCameraPrivate::countBatches(const Event2D* p, const Event2D* end) {
    const uint64_t target = batchEventsNum_;
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
void DvsCameraPrivate::timeBatches(const Event2D* p, const Event2D* end) {
    const uint64_t slice = batchEventsTime_;
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

bool DvsCameraPrivate::waitForBatch(BatchStore& store, std::vector<Event2D>& batch) {
    std::unique_lock<std::mutex> lock(store.mutex);
    const uint64_t seen = store.handOvers, woken = store.wakeUps;
    // Counters, not a bare wait: a spurious wake-up never returns a batch twice.
    store.handedOver.wait(lock, [&] { return store.handOvers != seen || store.wakeUps != woken; });
    batch.swap(store.ready);
    return true;
}

bool DvsCameraPrivate::getNextBatch(std::vector<Event2D>& batch) {
    batch.clear();
    BatchMode mode;
    {
        std::lock_guard<std::mutex> lock(batchSettingsMutex_);
        batchMode_ = requestedBatchMode_;
        mode = batchMode_;
    }
    if (mode == kNoBatch) {
        return false;
    }
    return waitForBatch(mode == kCountBatch ? countBatch_ : timeBatch_, batch);
}

// ---- acquisition --------------------------------------------------------------

int DvsCameraPrivate::start() {
    requireInited();
    if (running_ == 1) {
        ORVANE_LOG(LOG_INFO, "Camera is running.");
        return 0;
    }
    sensor_->start();
    running_.exchange(1);
    cameraThread_ = std::thread(&DvsCameraPrivate::cameraLoop, this);
    return 0;
}

void DvsCameraPrivate::cameraLoop() {
    if (running_ != 1) {
        return;
    }
    EventStream* stream = sensor_->eventStream();
    while (true) {
        std::optional<RawBuffer> buffer = sensor_->getNextBuffer();
        if (buffer && *buffer) {
            if (recording_) {
                prepareData2Save(**buffer);
            }
            try {
                decoder_->decode(**buffer);
            } catch (const std::exception& e) {
                ORVANE_LOG(LOG_ERROR, "Camera %s: a callback failed: %s",
                           description_.serial.c_str(), e.what());
            }
        } else if (stream != nullptr && stream->isDeviceGone()) {
            // Nothing more will come: wait for stop() instead of spinning.
            ORVANE_LOG(LOG_ERROR, "Camera %s was unplugged while streaming",
                       description_.serial.c_str());
            std::unique_lock<std::mutex> lock(idleMutex_);
            idle_.wait(lock, [this] { return running_ != 1; });
            return;
        }
        if (running_ != 1) {
            return;
        }
    }
}

int DvsCameraPrivate::stop() {
    if (!inited_ || running_ == 0) {
        return 0;
    }
    {
        std::lock_guard<std::mutex> lock(idleMutex_);
        running_.exchange(0);
    }
    idle_.notify_all();
    try {
        if (cameraThread_.joinable()) {
            cameraThread_.join();
        }
        for (BatchStore* store : {&countBatch_, &timeBatch_}) {
            {
                std::lock_guard<std::mutex> lock(store->mutex);
                ++store->wakeUps;
            }
            store->handedOver.notify_all();
        }
        if (uint64_t dropped = droppedBuffers()) {
            ORVANE_LOG(LOG_WARNING,
                       "Camera %s: %llu raw buffers were dropped so far because the "
                       "callbacks fell behind the device",
                       description_.serial.c_str(), static_cast<unsigned long long>(dropped));
        }
        sensor_->stop();
    } catch (const std::exception& e) {
        ORVANE_LOG(LOG_ERROR, "Camera %s: %s while stopping", description_.serial.c_str(),
                   e.what());
        return -1;
    }
    return 0;
}

uint64_t DvsCameraPrivate::droppedBuffers() const {
    return sensor_ && sensor_->eventStream() ? sensor_->eventStream()->droppedBuffers() : 0;
}

// ---- recording ----------------------------------------------------------------

int DvsCameraPrivate::startRecording(std::string path) {
    requireInited();
    if (recording_) {
        ORVANE_LOG(LOG_INFO, "Do not save again while saving.");
        return -1;
    }
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file.is_open()) {
        throw std::runtime_error("Unable to open " + path + " for writing");
    }
    recordFile_ = std::move(file);
    recordPath_ = path;
    recordWriteFailures_ = 0;
    saveBuffer2File(reinterpret_cast<const uint8_t*>(kRecordingHeader.data()),
                    kRecordingHeader.size());
    {
        std::lock_guard<std::mutex> lock(recordStateMutex_);
        recordPool_ = std::make_unique<ObjectPool<std::vector<uint8_t>, 1>>(
            kRecordPoolBuffers, false, kMaxRawDataBufferSize);
        recordBuffer_ = recordPool_->acquire();
        recordBuffer_->clear();
        recordQueue_.clear();
        recording_.exchange(true);
    }
    recordThread_ = std::thread(&DvsCameraPrivate::recordLoop, this);
    return 0;
}

void DvsCameraPrivate::prepareData2Save(std::vector<uint8_t>& buffer) {
    std::lock_guard<std::mutex> state(recordStateMutex_);
    if (!recording_ || !recordBuffer_) {
        return;  // stopRecording came first
    }
    recordBuffer_->insert(recordBuffer_->end(), buffer.begin(), buffer.end());
    if (recordBuffer_->size() > kMaxRawDataBufferSize) {
        {
            std::lock_guard<std::mutex> lock(recordMutex_);
            recordQueue_.push_back(recordBuffer_);
        }
        recordCond_.notify_one();
        recordBuffer_ = recordPool_->acquire();
        recordBuffer_->clear();
    }
}

void DvsCameraPrivate::recordLoop() {
    std::unique_lock<std::mutex> lock(recordMutex_);
    while (true) {
        recordCond_.wait(lock, [this] { return !recordQueue_.empty() || !recording_; });
        while (!recordQueue_.empty()) {
            auto buffer = std::move(recordQueue_.front());
            recordQueue_.pop_front();
            // The acquisition thread may queue the next buffer while this one is written.
            lock.unlock();
            saveBuffer2File(buffer->data(), buffer->size());
            buffer.reset();  // back to the pool
            lock.lock();
        }
        if (!recording_) {
            return;
        }
    }
}

void DvsCameraPrivate::saveBuffer2File(const uint8_t* data, uint64_t size) {
    recordFile_.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!recordFile_) {
        if (recordWriteFailures_++ == 0) {
            ORVANE_LOG(LOG_ERROR,
                       "Recording %s: writing failed (disk full or I/O error); the "
                       "recording misses data",
                       recordPath_.c_str());
        }
        recordFile_.clear();  // later buffers are still tried, and counted when they fail
    }
}

int DvsCameraPrivate::stopRecording() {
    requireInited();
    if (!recording_) {
        return 0;
    }
    {
        // The acquisition thread is not inside prepareData2Save past this point.
        std::lock_guard<std::mutex> state(recordStateMutex_);
        std::lock_guard<std::mutex> lock(recordMutex_);
        recording_.exchange(false);
        // What arrived since the last hand-over is written too.
        if (recordBuffer_ && !recordBuffer_->empty()) {
            recordQueue_.push_back(recordBuffer_);
        }
        recordBuffer_.reset();
    }
    recordCond_.notify_all();
    if (recordThread_.joinable()) {
        recordThread_.join();
    }
    recordFile_.close();
    if (recordWriteFailures_ > 0) {
        ORVANE_LOG(LOG_ERROR, "Recording %s: %llu writes failed; the file misses data",
                   recordPath_.c_str(),
                   static_cast<unsigned long long>(recordWriteFailures_.load()));
    }
    std::lock_guard<std::mutex> state(recordStateMutex_);
    recordPool_.reset();
    return 0;
}

}  // namespace orvane
