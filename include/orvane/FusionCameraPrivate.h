#pragma once

// The device-independent event side of every fusion camera: callbacks and
// batching (shared with the event cameras), and the fusion image.

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "orvane/FusionCamera.h"

namespace orvane {

class EventDispatcher;
class FusionImageQueue;
class FusionPictureTimes;

// Pulses with a non-zero level on the event sensor's trigger input mark the
// frame sensor's pictures: each closes the events counted since the previous
// one into a fusion image queued under its time, and becomes the time of the
// picture it closed (see FusionPictureTimes).
//
// Threads: the event acquisition thread calls eventStreamArrvied and
// triggerInArrvied; application threads the public operations.
class FusionCameraPrivate : public FusionCamera {
  public:
    explicit FusionCameraPrivate(CameraDescription description);
    FusionCameraPrivate(const FusionCameraPrivate&) = delete;
    FusionCameraPrivate& operator=(const FusionCameraPrivate&) = delete;
    ~FusionCameraPrivate() override;

    uint32_t addEventsStreamHandleCallback(EventsStreamHandleCallback callback) override;
    bool removeEventsStreamHandleCallback(uint32_t id) override;
    uint32_t addTriggerInCallback(TriggerInCallback callback) override;
    bool removeTriggerInCallback(uint32_t id) override;
    bool getNextBatch(std::vector<Event2D>& batch) override;
    void setBatchEventsNum(uint64_t count) override;
    void setBatchEventsTime(uint64_t microseconds) override;
    void setBatchQueueSize(size_t batches) override;
    bool getFusionEvents(std::shared_ptr<std::vector<uint16_t>>& image,
                         uint64_t timestamp) override;

    // Pulses that got no fusion image because the application held every spare one.
    uint64_t skippedFusionImages() const;
    // As DvsCameraPrivate::droppedBatches.
    uint64_t droppedBatches() const;
    // Pictures whose trigger pulse was lost or came too late: they carry the
    // time their pulse was expected at, and have no fusion image.
    uint64_t picturesWithoutPulse() const;

    static constexpr uint32_t kFrameWidth = 3840, kFrameHeight = 2160;
    static constexpr uint32_t kEventWidth = 1280, kEventHeight = 720;

  protected:
    // Decoder callbacks, on the event acquisition thread.
    void eventStreamArrvied(const Event2D* begin, const Event2D* end);
    void triggerInArrvied(EventTriggerIn trigger);
    // Before the event thread starts: see FusionImageQueue::prepare.
    void prepareFusionImages();

    const uint32_t frameWidth_ = kFrameWidth, frameHeight_ = kFrameHeight;
    const uint32_t eventWidth_ = kEventWidth, eventHeight_ = kEventHeight;
    std::unique_ptr<EventDispatcher> dispatcher_;
    // Pairs pictures with their pulses; the frame thread asks it for each
    // picture's times, so events never wait for a picture.
    std::unique_ptr<FusionPictureTimes> pictureTimes_;

  private:
    std::unique_ptr<FusionImageQueue> fusionImages_;
};

}  // namespace orvane
