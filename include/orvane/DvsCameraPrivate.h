#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "orvane/DvsCamera.h"
#include "orvane/ObjectPool.h"
#include "orvane/Sensor.h"
#include "orvane/hal/Decoder.h"
#include "orvane/hal/RawEventStreamFormat.h"
#include "orvane/hal/RegisterController.h"
#include "orvane/hal/UsbInterface.h"

namespace orvane {

// The implementation of every event camera: callback fan-out, batching, the
// acquisition thread and raw recording. The device bring-up (init) belongs to
// the concrete camera.
//
// Threads: application threads call the public operations; one acquisition
// thread per running camera decodes, batches, runs the callbacks and feeds the
// recorder; one writer thread per recording writes the file. start/stop and
// startRecording/stopRecording are meant for one application thread.
class DvsCameraPrivate : public DvsCamera {
  public:
    explicit DvsCameraPrivate(CameraDescription description);
    DvsCameraPrivate(const DvsCameraPrivate&) = delete;
    DvsCameraPrivate& operator=(const DvsCameraPrivate&) = delete;

    uint32_t addEventsStreamHandleCallback(EventsStreamHandleCallback callback) override;
    bool removeEventsStreamHandleCallback(uint32_t id) override;
    uint32_t addTriggerInCallback(TriggerInCallback callback) override;
    bool removeTriggerInCallback(uint32_t id) override;
    bool getNextBatch(std::vector<Event2D>& batch) override;
    void setBatchEventsNum(uint64_t count) override;
    void setBatchEventsTime(uint64_t microseconds) override;
    int start() override;
    int stop() override;
    int startRecording(std::string path) override;
    int stopRecording() override;

    virtual ~DvsCameraPrivate();

    // Raw buffers the host dropped because the acquisition thread fell behind
    // (each also logged), and recording writes that failed (logged once).
    uint64_t droppedBuffers() const;
    uint64_t recordWriteFailures() const { return recordWriteFailures_; }
    bool isRecording() const { return recording_; }
    bool isRunning() const { return running_ == 1; }

    static constexpr uint64_t kMaxRawDataBufferSize = 10485760;  // staging buffer hand-over size
    // The header of a live recording: always these 354 bytes.
    static const std::string kRecordingHeader;

  protected:
    // Decoder callbacks, on the acquisition thread.
    void eventStreamArrvied(const Event2D* begin, const Event2D* end);
    void triggerInArrvied(EventTriggerIn trigger);

    // Recording, on the acquisition thread (prepareData2Save) and the writer.
    void prepareData2Save(std::vector<uint8_t>& buffer);
    void recordLoop();
    void saveBuffer2File(const uint8_t* data, uint64_t size);

    void cameraLoop();

    enum BatchMode { kNoBatch = 0, kCountBatch = 1, kTimeBatch = 2 };
    // One batching kind: the vector being filled, the last handed-over batch,
    // and a hand-over counter so that waiters never take a batch twice.
    struct BatchStore {
        std::vector<Event2D> filling, ready;
        std::mutex mutex;
        std::condition_variable handedOver;
        uint64_t handOvers = 0;
        uint64_t wakeUps = 0;  // stop() wakes waiters without a batch
        void handOver();
    };

    BatchStore countBatch_;
    BatchStore timeBatch_;

    // Filled by the concrete camera's init.
    std::shared_ptr<RegisterController> registerController_;
    std::unique_ptr<Decoder> decoder_;
    std::shared_ptr<UsbInterface> interface_;
    uint64_t interfaceHandle_ = 0;
    std::unique_ptr<Sensor> sensor_;
    bool inited_ = false;

  private:
    virtual RawEventStreamFormat getRawEventStreamFormat() = 0;
    void countBatches(const Event2D* begin, const Event2D* end);
    void timeBatches(const Event2D* begin, const Event2D* end);
    bool waitForBatch(BatchStore& store, std::vector<Event2D>& batch);
    void requireInited() const;

    std::unordered_map<uint32_t, EventsStreamHandleCallback> eventCallbacks_;
    uint32_t nextEventCallbackId_ = 0;
    std::mutex eventCallbacksMutex_;
    std::unordered_map<uint32_t, TriggerInCallback> triggerCallbacks_;
    uint32_t nextTriggerCallbackId_ = 0;
    std::mutex triggerCallbacksMutex_;

    BatchMode requestedBatchMode_ = kNoBatch;
    BatchMode batchMode_ = kNoBatch;
    std::mutex batchSettingsMutex_;
    std::atomic<uint64_t> batchEventsNum_{131072};
    std::atomic<uint64_t> batchEventsTime_{10000};

    std::thread cameraThread_;
    std::atomic<int> running_{0};
    std::mutex idleMutex_;  // an acquisition loop whose device is gone waits here for stop()
    std::condition_variable idle_;

    // Recording. recordStateMutex_ serialises the acquisition thread's
    // prepareData2Save with start/stopRecording (pool and staging buffer).
    std::mutex recordStateMutex_;
    std::unique_ptr<ObjectPool<std::vector<uint8_t>, 1>> recordPool_;
    std::shared_ptr<std::vector<uint8_t>> recordBuffer_;
    std::deque<std::shared_ptr<std::vector<uint8_t>>> recordQueue_;
    std::mutex recordMutex_;
    std::condition_variable recordCond_;
    std::ofstream recordFile_;
    std::string recordPath_;
    std::atomic<bool> recording_{false};
    std::thread recordThread_;
    std::atomic<uint64_t> recordWriteFailures_{0};
};

}  // namespace orvane
