#pragma once

#include <cstddef>
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
// callback must not block for long, nor add or remove callbacks; a callback
// that throws is contained and counted, the others still get the range), or
// batches pulled with getNextBatch after setBatchEventsNum or
// setBatchEventsTime chose the batching.
//
// The lifecycle operations (start, stop, startRecording, stopRecording) may be
// called from any thread, also at once; they are serialised.
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
    // Waits for the next batch and swaps it into `batch`. False at once when no
    // batching was chosen or the camera is not streaming (before start, after
    // stop, after the device was lost), so `while (cam->getNextBatch(b))` ends.
    // stop() and losing the device wake every waiter: it returns true with an
    // empty batch. Finished batches wait in a queue, oldest first, so a consumer
    // that is briefly late loses nothing; when more finish than the queue holds
    // (setBatchQueueSize), the oldest is lost and counted
    // (DvsCameraPrivate::droppedBatches).
    virtual bool getNextBatch(std::vector<Event2D>& batch) = 0;
    // Batches of exactly `count` events (0 counts as 1).
    virtual void setBatchEventsNum(uint64_t count) = 0;
    // Batches of `microseconds` of events from a batch's first event (0 counts as
    // 1; huge values saturate). Slices a gap in the stream leaves empty are
    // skipped: the next batch is the one holding the next event.
    virtual void setBatchEventsTime(uint64_t microseconds) = 0;
    // Starts streaming: 0; events left in the batches of the last run are
    // dropped. A camera's times go on across its runs, whether or not the
    // device restarts its time base: the first run has the device's times, each
    // later one is moved to begin at the 4096 us step after the time the last
    // run reached (its first time-high word becomes that step). The callbacks,
    // the batches and a recording kept open across runs all get these times;
    // the recording holds the time-high words that say so, so any EVT 3.0
    // decoder reads it back with the times delivered, never going back.
    // -1, with a log line naming the camera, when the device cannot start (e.g.
    // it is gone). Throws std::runtime_error "Camera is not inited" before the
    // camera was opened.
    virtual int start() = 0;
    // 0, or -1 when stopping met an error (e.g. the device is gone) or when
    // called from a callback (refused and logged: the callback runs on the
    // thread stop ends). Buffers the device delivered before it stopped are
    // decoded before stop returns, through the callbacks still registered (on
    // the acquisition thread, as always): a recording holds exactly the events
    // the callbacks were given.
    virtual int stop() = 0;
    // Records the raw stream to `path`: header, the words that set a decoder's
    // state, then every buffer received while recording, so that the file
    // decodes on its own to the events delivered meanwhile. A disk too slow
    // for the stream costs data (counted, logged), never unbounded memory.
    // -1 when already recording or when the header cannot be written; throws
    // std::runtime_error when the file cannot be opened.
    virtual int startRecording(std::string path) = 0;
    // Writes what is still buffered and closes the file: 0, or -1 when writing
    // or closing the file failed (logged).
    virtual int stopRecording() = 0;
    virtual uint16_t getWidth() = 0;
    virtual uint16_t getHeight() = 0;

  private:
    friend class DvsCameraManager;
    // Device bring-up; 0 on success (or when done before).
    virtual int init() = 0;

  public:
    // Virtual, so that deleting through this interface is defined; declared after
    // init() to keep the order of the other virtual operations.
    virtual ~DvsCamera();

    // How many finished batches wait for getNextBatch: by default
    // kDefaultBatchQueueSize (0 counts as 1). Takes effect at the next batch.
    // Declared last, so that the order of the operations above stands.
    virtual void setBatchQueueSize(size_t batches) = 0;
    static constexpr size_t kDefaultBatchQueueSize = 4;
};

}  // namespace orvane
