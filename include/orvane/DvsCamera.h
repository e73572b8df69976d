#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "orvane/Callbacks.h"
#include "orvane/CameraFacade.h"

namespace orvane {

class DvsCameraManager;

// An event camera, as applications hold it (from DvsCameraManager::openCamera).
//
// Events reach the application two ways, both on the camera's acquisition
// thread's data: callbacks with each decoded range (valid during the call; a
// callback must not block for long, nor add or remove callbacks, nor call
// stop), or batches pulled with getNextBatch after setBatchEventsNum or
// setBatchEventsTime chose the batching.
class DvsCamera : public CameraFacade {
  public:
    explicit DvsCamera(CameraDescription description);
    DvsCamera(const DvsCamera&) = default;
    DvsCamera(DvsCamera&&) noexcept = default;
    DvsCamera& operator=(const DvsCamera&) = default;
    DvsCamera& operator=(DvsCamera&&) noexcept = default;

    virtual bool isConnected() = 0;
    // Ids count from 0 per kind and are not reused.
    virtual uint32_t addEventsStreamHandleCallback(EventsStreamHandleCallback callback) = 0;
    virtual bool removeEventsStreamHandleCallback(uint32_t id) = 0;
    virtual uint32_t addTriggerInCallback(TriggerInCallback callback) = 0;
    virtual bool removeTriggerInCallback(uint32_t id) = 0;
    // Waits for the next batch and swaps it into `batch`; false at once when no
    // batching was chosen. stop() wakes a waiter (its batch is then usually empty).
    virtual bool getNextBatch(std::vector<Event2D>& batch) = 0;
    // Batches of exactly `count` events (0 counts as 1).
    virtual void setBatchEventsNum(uint64_t count) = 0;
    // Batches of `microseconds` of events from a batch's first event (0 counts as 1).
    virtual void setBatchEventsTime(uint64_t microseconds) = 0;
    // Starts streaming: 0. Throws std::runtime_error "Camera is not inited" before
    // the camera was opened.
    virtual int start() = 0;
    // 0, or -1 when stopping met an error (e.g. the device is gone).
    virtual int stop() = 0;
    // Records the raw stream to `path` (header, then every buffer received while
    // recording). -1 when already recording; throws std::runtime_error when the
    // file cannot be opened.
    virtual int startRecording(std::string path) = 0;
    // Writes what is still buffered and closes the file: 0.
    virtual int stopRecording() = 0;
    virtual uint16_t getWidth() = 0;
    virtual uint16_t getHeight() = 0;

    ~DvsCamera();

  private:
    friend class DvsCameraManager;
    // Device bring-up; 0 on success (or when done before).
    virtual int init() = 0;
};

}  // namespace orvane
