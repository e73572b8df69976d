// The event camera's implementation: lifecycle, composed of the shared event
// side (dispatch and batching, acquisition loop, raw recorder).
#include "orvane/DvsCameraPrivate.h"

#include <stdexcept>

#include "camera/AcquisitionLoop.h"
#include "camera/EventDispatcher.h"
#include "camera/RawRecorder.h"
#include "orvane/RawFileHeader.h"
#include "orvane/base/Logger.h"
#include "orvane/hal/Evt3RunJoiner.h"

namespace orvane {

namespace {
constexpr const char* kLogModule = "src/camera/DvsCameraPrivate";
constexpr size_t kRecordPoolBuffers = 10;
}  // namespace

const std::string DvsCameraPrivate::kRecordingHeader = RawFileHeader::kLiveRecordingHeader;

DvsCameraPrivate::DvsCameraPrivate(CameraDescription description)
    : DvsCamera(std::move(description)),
      dispatcher_(std::make_unique<EventDispatcher>()),
      recorder_(std::make_unique<RawRecorder>(description_.serial, kMaxRawDataBufferSize,
                                              kRecordPoolBuffers)),
      loop_(std::make_unique<AcquisitionLoop>(description_.serial)),
      runJoiner_(std::make_unique<Evt3RunJoiner>()) {
    // Called on the acquisition thread before a buffer is decoded.
    recorder_->setDecoderState({[this](uint64_t fileTime) {
                                    return decoder_ ? RawRecorder::evt3(*decoder_).words(fileTime)
                                                    : std::vector<uint8_t>{};
                                },
                                [this] { return decoder_ ? decoder_->getCurrentTimestamp() : 0; }});
}

DvsCameraPrivate::~DvsCameraPrivate() {
    // A camera destroyed while recording first finishes its file.
    try {
        if (recorder_->isRecording()) {
            stopRecording();
        }
        stop();
    } catch (const std::exception& e) {
        ORVANE_LOG(LOG_ERROR, "Camera %s: %s while closing", description_.serial.c_str(), e.what());
    }
    loop_.reset();
    sensor_.reset();
}

void DvsCameraPrivate::requireInited() const {
    if (!inited_) {
        throw std::runtime_error("Camera is not inited");
    }
}

// ---- callbacks and batching -----------------------------------------------------

uint32_t DvsCameraPrivate::addEventsStreamHandleCallback(EventsStreamHandleCallback callback) {
    return dispatcher_->addEventsCallback(std::move(callback));
}

bool DvsCameraPrivate::removeEventsStreamHandleCallback(uint32_t id) {
    return dispatcher_->removeEventsCallback(id);
}

uint32_t DvsCameraPrivate::addTriggerInCallback(TriggerInCallback callback) {
    return dispatcher_->addTriggerCallback(std::move(callback));
}

bool DvsCameraPrivate::removeTriggerInCallback(uint32_t id) {
    return dispatcher_->removeTriggerCallback(id);
}

void DvsCameraPrivate::triggerInArrvied(EventTriggerIn trigger) {
    dispatcher_->dispatchTrigger(trigger);
}

void DvsCameraPrivate::eventStreamArrvied(const Event2D* begin, const Event2D* end) {
    dispatcher_->dispatchEvents(begin, end);
}

void DvsCameraPrivate::setBatchEventsNum(uint64_t count) {
    dispatcher_->setBatchEventsNum(count);
}

void DvsCameraPrivate::setBatchEventsTime(uint64_t microseconds) {
    dispatcher_->setBatchEventsTime(microseconds);
}

static_assert(DvsCamera::kDefaultBatchQueueSize == EventDispatcher::kDefaultBatchQueueSize);

void DvsCameraPrivate::setBatchQueueSize(size_t batches) {
    dispatcher_->setBatchQueueSize(batches);
}

bool DvsCameraPrivate::getNextBatch(std::vector<Event2D>& batch) {
    return dispatcher_->getNextBatch(batch);
}

// ---- acquisition --------------------------------------------------------------

int DvsCameraPrivate::start() {
    requireInited();
    if (loop_->onLoopThread()) {
        return 0;  // a callback runs, so the camera streams
    }
    std::lock_guard<std::mutex> lifecycle(runMutex_);
    if (loop_->isRunning()) {
        ORVANE_LOG(LOG_INFO, "Camera is running.");
        return 0;
    }
    // The device may restart its time base: this run's time-highs move to go on
    // from the time reached, for the decoder and the recording alike. (Setting
    // the time it has drops a half word the last run may have left.)
    const uint64_t reached = decoder_->getCurrentTimestamp();
    runJoiner_->beginRun(reached);
    decoder_->setCurrentTimestamp(reached);
    dispatcher_->beginRun();
    try {
        sensor_->start();
    } catch (const std::exception& e) {
        ORVANE_LOG(LOG_ERROR, "Camera %s cannot start: %s", description_.serial.c_str(), e.what());
        dispatcher_->endRun();
        try {
            sensor_->stop();
        } catch (const std::exception&) {
            // The start failed for the same reason; it is logged above.
        }
        return -1;
    }
    EventStream* stream = sensor_->eventStream();
    loop_->start({[this] { return sensor_->getNextBuffer(); },
                  [this](std::vector<uint8_t>& buffer) { processBuffer(buffer); },
                  [this, stream] {
                      if (stream == nullptr || !stream->isDeviceGone()) {
                          return false;
                      }
                      dispatcher_->endRun();  // nobody waits for batches that cannot come
                      return true;
                  },
                  [stream]() -> std::optional<RawBuffer> {
                      return stream ? stream->getLatestBuffer() : std::nullopt;
                  }});
    return 0;
}

void DvsCameraPrivate::processBuffer(std::vector<uint8_t>& buffer) {
    runJoiner_->apply(buffer);
    if (recorder_->isRecording()) {
        prepareData2Save(buffer);
    }
    decoder_->decode(buffer);
}

int DvsCameraPrivate::stop() {
    if (!inited_) {
        return 0;
    }
    if (loop_->onLoopThread()) {
        ORVANE_LOG(LOG_ERROR,
                   "Camera %s: stop() from a callback is refused (the callback runs on the "
                   "thread that stop() ends); call it from another thread",
                   description_.serial.c_str());
        return -1;
    }
    std::lock_guard<std::mutex> lifecycle(runMutex_);
    if (!loop_->isRunning()) {
        return 0;
    }
    int result = 0;
    loop_->stop([&] {
        try {
            sensor_->stop();
        } catch (const std::exception& e) {
            ORVANE_LOG(LOG_ERROR, "Camera %s: %s while stopping", description_.serial.c_str(),
                       e.what());
            result = -1;
        }
    });
    dispatcher_->endRun();
    if (const EventStream* stream = sensor_->eventStream()) {
        loop_->reportDrops(*stream);
    }
    return result;
}

uint64_t DvsCameraPrivate::droppedBuffers() const {
    return sensor_ && sensor_->eventStream() ? sensor_->eventStream()->droppedBuffers() : 0;
}

uint64_t DvsCameraPrivate::droppedBatches() const {
    return dispatcher_->droppedBatches();
}

uint64_t DvsCameraPrivate::callbackFailures() const {
    return dispatcher_->callbackFailures();
}

bool DvsCameraPrivate::isRunning() const {
    return loop_->isRunning();
}

// ---- recording ----------------------------------------------------------------

int DvsCameraPrivate::startRecording(std::string path) {
    requireInited();
    return recorder_->start(path, kRecordingHeader);
}

void DvsCameraPrivate::prepareData2Save(std::vector<uint8_t>& buffer) {
    recorder_->append(buffer);
}

void DvsCameraPrivate::saveBuffer2File(const uint8_t* data, uint64_t size) {
    recorder_->write(data, size);
}

int DvsCameraPrivate::stopRecording() {
    requireInited();
    return recorder_->stop();
}

bool DvsCameraPrivate::isRecording() const {
    return recorder_->isRecording();
}

uint64_t DvsCameraPrivate::recordWriteFailures() const {
    return recorder_->writeFailures();
}

}  // namespace orvane
