// The event side of fusion cameras: the shared dispatcher plus the fusion image.

#include "orvane/FusionCameraPrivate.h"

#include "EventDispatcher.h"
#include "FusionImageQueue.h"
#include "FusionPictureTimes.h"

namespace orvane {

FusionCameraPrivate::FusionCameraPrivate(CameraDescription description)
    : FusionCamera(std::move(description)),
      dispatcher_(std::make_unique<EventDispatcher>()),
      pictureTimes_(std::make_unique<FusionPictureTimes>(description_.serial)),
      fusionImages_(std::make_unique<FusionImageQueue>(kEventWidth, kEventHeight)) {}

FusionCameraPrivate::~FusionCameraPrivate() = default;

uint32_t FusionCameraPrivate::addEventsStreamHandleCallback(EventsStreamHandleCallback callback) {
    return dispatcher_->addEventsCallback(std::move(callback));
}

bool FusionCameraPrivate::removeEventsStreamHandleCallback(uint32_t id) {
    return dispatcher_->removeEventsCallback(id);
}

uint32_t FusionCameraPrivate::addTriggerInCallback(TriggerInCallback callback) {
    return dispatcher_->addTriggerCallback(std::move(callback));
}

bool FusionCameraPrivate::removeTriggerInCallback(uint32_t id) {
    return dispatcher_->removeTriggerCallback(id);
}

bool FusionCameraPrivate::getNextBatch(std::vector<Event2D>& batch) {
    return dispatcher_->getNextBatch(batch);
}

void FusionCameraPrivate::setBatchEventsNum(uint64_t count) {
    dispatcher_->setBatchEventsNum(count);
}

void FusionCameraPrivate::setBatchEventsTime(uint64_t microseconds) {
    dispatcher_->setBatchEventsTime(microseconds);
}

static_assert(FusionCamera::kDefaultBatchQueueSize == EventDispatcher::kDefaultBatchQueueSize);

void FusionCameraPrivate::setBatchQueueSize(size_t batches) {
    dispatcher_->setBatchQueueSize(batches);
}

uint64_t FusionCameraPrivate::droppedBatches() const {
    return dispatcher_->droppedBatches();
}

uint64_t FusionCameraPrivate::picturesWithoutPulse() const {
    return pictureTimes_->picturesWithoutPulse();
}

bool FusionCameraPrivate::getFusionEvents(std::shared_ptr<std::vector<uint16_t>>& image,
                                          uint64_t timestamp) {
    return fusionImages_->fetch(image, timestamp);
}

uint64_t FusionCameraPrivate::skippedFusionImages() const {
    return fusionImages_->skippedImages();
}

void FusionCameraPrivate::prepareFusionImages() {
    fusionImages_->prepare();
}

void FusionCameraPrivate::eventStreamArrvied(const Event2D* begin, const Event2D* end) {
    fusionImages_->count(begin, end);
    dispatcher_->dispatchEvents(begin, end);
}

// The callbacks of a pulse run after its image was queued, so a trigger
// callback may already fetch it.
void FusionCameraPrivate::triggerInArrvied(EventTriggerIn trigger) {
    if (trigger.polarity != 0) {
        fusionImages_->close(trigger.timestamp, pictureTimes_->delivered());
    }
    // After the image: a picture that waits for this pulse finds its image queued.
    pictureTimes_->edge(trigger.timestamp, trigger.polarity != 0);
    dispatcher_->dispatchTrigger(trigger);
}

}  // namespace orvane
