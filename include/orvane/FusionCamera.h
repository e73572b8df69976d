#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "orvane/Callbacks.h"
#include "orvane/CameraFacade.h"

namespace orvane {

class DvsCameraManager;

// A fusion camera, as applications hold it (from DvsCameraManager::openFusionCamera):
// an event sensor (1280 x 720) and a frame sensor (3840 x 2160) in one device.
//
// Events reach the application as on an event camera: callbacks with each
// decoded range, or batches pulled with getNextBatch. Pictures reach the frame
// callbacks as packed BGR, stamped with the time of the trigger pulse that
// closed them (a picture that reaches the host before its pulse waits for it,
// briefly; one whose pulse is lost carries the time it was expected at and has
// no fusion image: FusionCameraPrivate::picturesWithoutPulse counts them).
// Passing a picture's `timestamp` to getFusionEvents gives the per-pixel event
// counts of that picture. All callbacks run on the camera's acquisition
// threads; they must not block for long, nor add or remove callbacks of their
// kind, nor call stop.
//
// STREAM_TYPE selects the stream: STREAM_DVS events, STREAM_APS frames,
// STREAM_BOTH (and any other value) both.
class FusionCamera : public CameraFacade {
  public:
    explicit FusionCamera(CameraDescription description);
    FusionCamera(const FusionCamera&) = default;
    FusionCamera(FusionCamera&&) noexcept = default;
    FusionCamera& operator=(const FusionCamera&) = default;
    FusionCamera& operator=(FusionCamera&&) noexcept = default;

    virtual bool isConnected() = 0;
    // Ids count from 0 per kind and are not reused; removal returns whether the
    // id was registered.
    virtual uint32_t addEventsStreamHandleCallback(EventsStreamHandleCallback callback) = 0;
    virtual bool removeEventsStreamHandleCallback(uint32_t id) = 0;
    // The frame is valid during the call only; every callback gets the same record.
    virtual uint32_t addApsFrameCallback(ApsFrameCallback callback) = 0;
    virtual bool removeApsFrameCallback(uint32_t id) = 0;
    // Every trigger edge, after the fusion image of its pulse was closed.
    virtual uint32_t addTriggerInCallback(TriggerInCallback callback) = 0;
    virtual bool removeTriggerInCallback(uint32_t id) = 0;
    // As DvsCamera::getNextBatch.
    virtual bool getNextBatch(std::vector<Event2D>& batch) = 0;
    virtual void setBatchEventsNum(uint64_t count) = 0;
    virtual void setBatchEventsTime(uint64_t microseconds) = 0;
    // Starts the chosen streams: 0. A camera already streaming logs "Camera is
    // running." and starts nothing more: stop first to change the streams.
    // Event times go on across runs as DvsCamera::start says, live and in an
    // event recording kept open across them.
    virtual int start(STREAM_TYPE type) = 0;
    // Stops both streams, whatever `type` says: 0. Event buffers the device
    // delivered before it stopped are decoded first, through the callbacks,
    // as DvsCamera::stop says.
    virtual int stop(STREAM_TYPE type) = 0;
    // Records events to <base>.raw and/or pictures to <base>.mp4, where <base> is
    // `path` up to its last '.' (the whole path without one). -1 when that
    // stream is already recording or its file cannot be opened. The video is
    // opened by a writer thread: a video that cannot be opened is reported in
    // the log and records nothing.
    virtual int startRecording(std::string path, STREAM_TYPE type) = 0;
    // Finishes the chosen recordings (what is still buffered is written): 0, or
    // -1 (logged) when a write failed, a picture could not be encoded, a file
    // could not be finished, or the video got no picture (it is removed).
    virtual int stopRecording(STREAM_TYPE type) = 0;
    // STREAM_APS: the frame size, STREAM_DVS: the event sensor's; otherwise 0.
    virtual uint16_t getWidth(STREAM_TYPE type) = 0;
    virtual uint16_t getHeight(STREAM_TYPE type) = 0;
    // The event counts of the picture with this time (2 counters per pixel,
    // polarity 0 then 1, rows in sensor order, columns mirrored; each stops at
    // 10). False when no image waits under exactly that time; older images are
    // dropped either way. The 3 newest images wait, and while frames stream
    // also those of pictures not handed to the frame callbacks yet (5 at most).
    // The image is the caller's until released; release it soon, the camera
    // has few of them.
    virtual bool getFusionEvents(std::shared_ptr<std::vector<uint16_t>>& image,
                                 uint64_t timestamp) = 0;

  protected:
    friend class DvsCameraManager;
    // Device bring-up; 0 on success (or when done before).
    virtual int init() = 0;

  public:
    // Declared after init so that the order of the operations above stands.
    virtual ~FusionCamera();

    // As DvsCamera::setBatchQueueSize; declared last, so that the order of the
    // operations above stands.
    virtual void setBatchQueueSize(size_t batches) = 0;
    static constexpr size_t kDefaultBatchQueueSize = 4;
};

}  // namespace orvane
