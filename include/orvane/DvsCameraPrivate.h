#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "orvane/DvsCamera.h"
#include "orvane/Sensor.h"
#include "orvane/hal/Decoder.h"
#include "orvane/hal/RawEventStreamFormat.h"
#include "orvane/hal/RegisterController.h"
#include "orvane/hal/UsbInterface.h"

namespace orvane {

class AcquisitionLoop;
class EventDispatcher;
class Evt3RunJoiner;
class RawRecorder;

// The implementation of every event camera: callback fan-out, batching, the
// acquisition thread and raw recording (each a part shared with the fusion
// camera). The device bring-up (init) belongs to the concrete camera.
//
// Threads: application threads call the public operations, any of them from
// any thread (start/stop and startRecording/stopRecording are serialised); one
// acquisition thread per running camera decodes, batches, runs the callbacks
// and feeds the recorder; one writer thread per recording writes the file.
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
    void setBatchQueueSize(size_t batches) override;
    int start() override;
    int stop() override;
    int startRecording(std::string path) override;
    int stopRecording() override;

    virtual ~DvsCameraPrivate();

    // Raw buffers the host dropped because the acquisition thread fell behind
    // (logged). Those received before stop() are all decoded, through the
    // callbacks, before stop() returns.
    uint64_t droppedBuffers() const;
    // Finished batches replaced before getNextBatch took them, because the
    // queue (setBatchQueueSize) was full: a consumer slower than the stream
    // loses the oldest (the first of each run is logged).
    uint64_t droppedBatches() const;
    // Callback calls that threw; each is contained, the first of each callback
    // logged.
    uint64_t callbackFailures() const;
    // Recording writes that failed (logged once).
    uint64_t recordWriteFailures() const;
    bool isRecording() const;
    bool isRunning() const;

    static constexpr uint64_t kMaxRawDataBufferSize = 10485760;  // staging buffer hand-over size
    // The header of a live recording: always these 354 bytes.
    static const std::string kRecordingHeader;

  protected:
    // Decoder callbacks, on the acquisition thread.
    void eventStreamArrvied(const Event2D* begin, const Event2D* end);
    void triggerInArrvied(EventTriggerIn trigger);

    // Recording, on the acquisition thread, before the buffer is decoded.
    void prepareData2Save(std::vector<uint8_t>& buffer);
    void saveBuffer2File(const uint8_t* data, uint64_t size);

    // Filled by the concrete camera's init.
    std::shared_ptr<RegisterController> registerController_;
    std::unique_ptr<Decoder> decoder_;
    std::shared_ptr<UsbInterface> interface_;
    uint64_t interfaceHandle_ = 0;
    std::unique_ptr<Sensor> sensor_;
    bool inited_ = false;

  private:
    virtual RawEventStreamFormat getRawEventStreamFormat() = 0;
    void requireInited() const;
    // One raw buffer on the acquisition thread: record, then decode.
    void processBuffer(std::vector<uint8_t>& buffer);

    std::unique_ptr<EventDispatcher> dispatcher_;
    std::unique_ptr<RawRecorder> recorder_;
    std::unique_ptr<AcquisitionLoop> loop_;
    std::unique_ptr<Evt3RunJoiner> runJoiner_;  // acquisition thread, or start with it stopped
    std::mutex runMutex_;                       // serialises start and stop
};

}  // namespace orvane
