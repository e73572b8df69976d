// The fusion camera Tandro: bring-up, stream control, both acquisition paths
// and recording of both streams.

#include "orvane/TandroCamera.h"

#include <stdexcept>

#include "AcquisitionLoop.h"
#include "EventDispatcher.h"
#include "FusionFrameRecorder.h"
#include "FusionPictureTimes.h"
#include "InitResult.h"
#include "RawRecorder.h"
#include "orvane/DataToVideoConverter.h"
#include "orvane/Imx415Sensor.h"
#include "orvane/Imx6x6Sensor.h"
#include "orvane/RawFileHeader.h"
#include "orvane/base/ByteOrder.h"
#include "orvane/base/Logger.h"
#include "orvane/hal/CtrlFrame.h"
#include "orvane/hal/DecoderFactory.h"
#include "orvane/hal/Evt3RunJoiner.h"
#include "orvane/hal/Imx415ApsCtrl.h"
#include "orvane/hal/Imx636AntiFlicker.h"
#include "orvane/hal/Imx636Biases.h"
#include "orvane/hal/Imx636EventRateControl.h"
#include "orvane/hal/Imx636EventTrailFilter.h"
#include "orvane/hal/Imx636ROI.h"
#include "orvane/hal/Imx636TriggerIn.h"
#include "orvane/hal/RegisterTables.h"

namespace orvane {

namespace {

constexpr const char* kLogModule = "src/camera/TandroCamera";
// Start commands of the two streams, each with the words 0 and 1.
constexpr uint32_t kStartProperties[] = {0x40010010, 0x40010200};
// Raw events go to the writer in blocks of just over this size.
constexpr uint64_t kEventHandOverBytes =
    uint64_t{FusionCameraPrivate::kEventWidth} * FusionCameraPrivate::kEventHeight * 10;
constexpr size_t kEventPoolBuffers = 4;

}  // namespace

TandroCamera::TandroCamera(CameraDescription description)
    : FusionCameraPrivate(std::move(description)),
      frameLoop_(std::make_unique<AcquisitionLoop>(description_.serial + " frames")),
      eventLoop_(std::make_unique<AcquisitionLoop>(description_.serial + " events")),
      runJoiner_(std::make_unique<Evt3RunJoiner>()),
      eventRecorder_(std::make_unique<RawRecorder>(description_.serial, kEventHandOverBytes,
                                                   kEventPoolBuffers)),
      frameRecorder_(
          std::make_unique<FusionFrameRecorder>(description_.serial, kFrameWidth, kFrameHeight)) {
    frameRecord_.dataSize = kFrameWidth * kFrameHeight * 3;
    // Asked on the event thread before a buffer is decoded.
    eventRecorder_->setDecoderState(
        {[this](uint64_t fileTime) {
             return decoder_ ? RawRecorder::evt3(*decoder_).words(fileTime)
                             : std::vector<uint8_t>{};
         },
         [this] { return decoder_ ? decoder_->getCurrentTimestamp() : 0; }});
}

// The writers end before the members they use; then the streams stop.
TandroCamera::~TandroCamera() {
    std::lock_guard<std::mutex> lock(lifecycleMutex_);
    eventRecorder_->stop();
    frameRecorder_->stop();
    stopStreams();
}

bool TandroCamera::isConnected() {
    return interface_ && interface_->isConnected();
}

uint16_t TandroCamera::getWidth(STREAM_TYPE type) {
    return type == STREAM_APS ? kFrameWidth : type == STREAM_DVS ? kEventWidth : 0;
}

uint16_t TandroCamera::getHeight(STREAM_TYPE type) {
    return type == STREAM_APS ? kFrameHeight : type == STREAM_DVS ? kEventHeight : 0;
}

// ---- bring-up -----------------------------------------------------------------

int TandroCamera::init() {
    std::lock_guard<std::mutex> lock(lifecycleMutex_);
    if (initialised_) {
        return 0;
    }
    try {
        interface_ = UsbInterface::createUsbFusionInterface(description_);
        if (!interface_) {
            ORVANE_LOG(LOG_ERROR, "Interface init error.");
            return -1;
        }
        // A device held by another camera object is left alone (see DvsEventCamera).
        if (interface_->open(interfaceValue_) != 0) {
            const bool inUse = interface_->isConnected();
            interface_.reset();
            if (!inUse) {
                ORVANE_LOG(LOG_ERROR, "Interface init error.");
            }
            return inUse ? kInitDeviceInUse : -1;
        }
        eventRegisters_ = std::make_shared<RegisterController>(
            interface_, fusion::imx636RegisterTable, kImx636RegisterTableRows, "PSEE/IMX636/");
        frameRegisters_ = std::make_shared<RegisterController>(interface_, imx415RegisterTable,
                                                               kImx415RegisterTableRows, " ");
        interface_->delayMicroseconds(1000);
        decoder_ =
            DecoderFactory::createUniqueDecoder(RawEventStreamFormat("EVT3;height=720;width=1280"));
        decoder_->setEventsStreamHandleCallback(
            [this](const Event2D* begin, const Event2D* end) { eventStreamArrvied(begin, end); });
        decoder_->setTriggerInCallback(
            [this](EventTriggerIn trigger) { triggerInArrvied(trigger); });

        eventSensor_ = std::make_unique<Imx6x6Sensor>();
        eventSensor_->setApplyRegisterOperationSequenceCallback(
            [controller = eventRegisters_](const std::vector<RegisterOperation>& sequence) {
                controller->ApplyRegisterOperationSequence(sequence);
            });
        eventSensor_->setWriteRegisterFieldCallback(
            [controller = eventRegisters_](const std::string& reg, const std::string& field,
                                           uint32_t value) {
                controller->writeRegisterField(reg, field, value);
            });
        eventSensor_->init(interface_);

        frameSensor_ = std::make_unique<Imx415Sensor>();
        frameSensor_->setWriteRegisterCallback(
            [controller = frameRegisters_](const std::string& reg, uint32_t value) {
                controller->writeRegisterWithControlTransfer(reg, value);
            });
        frameSensor_->init(interface_);

        auto add = [this](ToolType type, std::shared_ptr<CameraTool> tool) {
            tools_.emplace(type, std::move(tool));
        };
        add(TOOL_BIASES, std::make_shared<Imx636Biases>(eventRegisters_));
        add(TOOL_TRIGGER_IN, std::make_shared<Imx636TriggerIn>(eventRegisters_));
        add(TOOL_ANTI_FLICKER, std::make_shared<Imx636AntiFlicker>(eventRegisters_));
        add(TOOL_EVENT_RATE_CONTROL, std::make_shared<Imx636EventRateControl>(eventRegisters_));
        add(TOOL_EVENT_TRAIL_FILTER, std::make_shared<Imx636EventTrailFilter>(eventRegisters_));
        add(TOOL_ROI, std::make_shared<Imx636ROI>(eventRegisters_));
        add(TOOL_APS_CTRL, std::make_shared<Imx415ApsCtrl>(frameRegisters_));
    } catch (const std::exception& e) {
        ORVANE_LOG(LOG_DEBUG, "%s: %s", description_.serial.c_str(), e.what());
        ORVANE_LOG(LOG_ERROR, "Tandro Camera init error.");
        return -1;
    }
    initialised_ = true;
    return 0;
}

// ---- streaming ----------------------------------------------------------------

bool TandroCamera::deviceGone() {
    if (isConnected()) {
        return false;
    }
    ORVANE_LOG(LOG_INFO, "Tandro loss connection.");
    dispatcher_->endRun();  // nobody waits for batches that cannot come
    return true;
}

bool TandroCamera::onLoopThread() const {
    return eventLoop_->onLoopThread() || frameLoop_->onLoopThread();
}

int TandroCamera::start(STREAM_TYPE type) {
    if (onLoopThread()) {
        return 0;  // a callback runs, so the camera streams
    }
    std::lock_guard<std::mutex> lock(lifecycleMutex_);
    if (!initialised_) {
        ORVANE_LOG(LOG_ERROR, "Camera %s is not inited: open it first",
                   description_.serial.c_str());
        return -1;
    }
    if (running_ == 1) {
        ORVANE_LOG(LOG_INFO, "Camera is running.");
        return 0;
    }
    for (uint32_t property : kStartProperties) {
        try {
            CtrlFrame frame(property);
            frame.push_back32(0);
            frame.push_back32(1);
            interface_->transferFrame(frame);
        } catch (const std::exception&) {
            ORVANE_LOG(LOG_ERROR, "Camera is running or no this command.");
        }
    }
    running_.exchange(1);
    try {
        startStreams(type);
    } catch (const std::exception& e) {
        ORVANE_LOG(LOG_ERROR, "Camera %s could not start streaming: %s",
                   description_.serial.c_str(), e.what());
        stopStreams();
        return -1;
    }
    ORVANE_LOG(LOG_INFO, "Camera event stream start.");
    return 0;
}

void TandroCamera::startStreams(STREAM_TYPE type) {
    const bool events = type != STREAM_APS;
    const bool frames = type != STREAM_DVS;
    dispatcher_->beginRun();
    pictureTimes_->begin(events, frames);
    if (events) {
        // The device restarts its time base: this run's time-highs move to go on
        // from the time reached, for the decoder and the recording alike, as on
        // the event cameras.
        const uint64_t reached = decoder_->getCurrentTimestamp();
        runJoiner_->beginRun(reached);
        decoder_->setCurrentTimestamp(reached);
        prepareFusionImages();
        eventSensor_->start();
        EventStream* stream = eventSensor_->eventStream();
        eventLoop_->start({[this] { return eventSensor_->getNextBuffer(); },
                           [this](std::vector<uint8_t>& buffer) { processEventBuffer(buffer); },
                           [this] { return deviceGone(); },
                           [stream]() -> std::optional<RawBuffer> {
                               return stream ? stream->getLatestBuffer() : std::nullopt;
                           }});
    }
    if (frames) {
        if (!liveConverter_) {
            liveConverter_ = std::make_unique<DataToVideoConverter>();
            liveConverter_->setConverterFrameSize(kFrameHeight, kFrameWidth, kFrameHeight,
                                                  kFrameWidth);
            liveConverter_->setConverterFmt(AV_PIX_FMT_NV12, AV_PIX_FMT_BGR24);
            frameData_.assign(frameRecord_.dataSize, 0);
            frameRecord_.data = frameData_.data();
        }
        frameSensor_->start();
        const EventStream* stream = frameSensor_->eventStream();
        frameDropsSeen_ = stream ? stream->droppedBuffers() : 0;
        frameLoop_->start({[this] { return frameSensor_->getNextBuffer(); },
                           [this](std::vector<uint8_t>& buffer) { processFrameBuffer(buffer); },
                           [this] { return deviceGone(); }});
    }
}

int TandroCamera::stop(STREAM_TYPE) {
    if (onLoopThread()) {
        ORVANE_LOG(LOG_ERROR,
                   "Camera %s: stop() from a callback is refused (the callback runs on a thread "
                   "that stop() ends); call it from another thread",
                   description_.serial.c_str());
        return -1;
    }
    std::lock_guard<std::mutex> lock(lifecycleMutex_);
    stopStreams();
    return 0;
}

void TandroCamera::stopStreams() {
    if (running_.exchange(0) == 0) {
        return;
    }
    pictureTimes_->end();  // a picture waiting for its pulse goes on
    // The event buffers the device delivered before it stopped are decoded on
    // the event thread once both sensors have stopped.
    eventLoop_->stop([this] {
        frameLoop_->stop();
        try {
            frameSensor_->stop();
            eventSensor_->stop();
        } catch (const std::exception& e) {
            ORVANE_LOG(LOG_INFO, "Camera %s: sensors not stopped (%s)", description_.serial.c_str(),
                       e.what());
        }
    });
    dispatcher_->endRun();
    if (const EventStream* stream = eventSensor_->eventStream()) {
        eventLoop_->reportDrops(*stream);
    }
}

// Swapped into the stream's byte order (the USB bridge sends it swapped), moved
// to go on from the last run, recorded when a recording is on, then decoded.
void TandroCamera::processEventBuffer(std::vector<uint8_t>& buffer) {
    convertEndian(buffer);
    runJoiner_->apply(buffer);
    if (eventRecorder_->isRecording()) {
        eventRecorder_->append(buffer);
    }
    decoder_->decode(buffer);
}

void TandroCamera::processFrameBuffer(std::vector<uint8_t>& buffer) {
    if (buffer.size() < size_t{kFrameWidth} * kFrameHeight * 3 / 2) {
        ORVANE_LOG(LOG_WARNING, "Camera %s: a picture of %zu bytes is too short; skipped",
                   description_.serial.c_str(), buffer.size());
        return;
    }
    // The pulse that closed this picture, waited for when its event buffer is
    // not decoded yet; pictures the host dropped meanwhile skip theirs.
    const EventStream* stream = frameSensor_->eventStream();
    const uint64_t drops = stream ? stream->droppedBuffers() : frameDropsSeen_;
    const FusionPictureTimes::Times times = pictureTimes_->next(drops - frameDropsSeen_);
    frameDropsSeen_ = drops;
    std::lock_guard<std::mutex> record(frameRecordMutex_);
    liveConverter_->nv12ToRGB(buffer.data(), frameRecord_.data);
    frameRecord_.startTimestamp = times.start;
    frameRecord_.timestamp = times.frame;
    // Without pulses (frames only) the record keeps the last run's times, which
    // say nothing about this picture: the video places it by the host clock.
    frameRecorder_->append(buffer.data(), times.timed ? times.frame : 0);
    std::lock_guard<std::mutex> callbacks(frameCallbacksMutex_);
    for (auto& [id, entry] : frameCallbacks_) {
        try {
            entry.callback(frameRecord_);
        } catch (...) {
            if (!entry.failed) {
                entry.failed = true;
                ORVANE_LOG(LOG_ERROR, "Camera %s: frame callback %u threw; it keeps being called",
                           description_.serial.c_str(), id);
            }
        }
    }
}

uint32_t TandroCamera::addApsFrameCallback(ApsFrameCallback callback) {
    std::lock_guard<std::mutex> lock(frameCallbacksMutex_);
    frameCallbacks_[nextFrameCallbackId_] = {std::move(callback), false};
    return nextFrameCallbackId_++;
}

// Removes by id, like the other registries.
bool TandroCamera::removeApsFrameCallback(uint32_t id) {
    std::lock_guard<std::mutex> lock(frameCallbacksMutex_);
    return frameCallbacks_.erase(id) != 0;
}

// ---- recording ----------------------------------------------------------------

int TandroCamera::startRecording(std::string path, STREAM_TYPE type) {
    std::lock_guard<std::mutex> lock(lifecycleMutex_);
    const size_t dot = path.rfind('.');
    const std::string base = dot == std::string::npos ? path : path.substr(0, dot);
    if (type == STREAM_DVS) {
        return startRecordingDvsStream(base + ".raw");
    }
    if (type == STREAM_APS) {
        return startRecordingApsStream(base + ".mp4");
    }
    if (startRecordingApsStream(base + ".mp4") != 0) {
        ORVANE_LOG(LOG_ERROR, "Start Recording APS Stream Failed.");
        return -1;
    }
    if (startRecordingDvsStream(base + ".raw") < 0) {
        ORVANE_LOG(LOG_ERROR, "Start Recording DVS Stream Failed.");
        return -1;
    }
    return 0;
}

int TandroCamera::startRecordingDvsStream(const std::string& path) {
    if (eventRecorder_->isRecording()) {
        ORVANE_LOG(LOG_INFO, "Do not save again while saving.");
        return -1;
    }
    try {
        return eventRecorder_->start(path, RawFileHeader::kLiveRecordingHeader);
    } catch (const std::runtime_error&) {
        ORVANE_LOG(LOG_ERROR, "%s", ("Unable to open " + path + " for writing.").c_str());
        return -1;
    }
}

int TandroCamera::startRecordingApsStream(const std::string& path) {
    return frameRecorder_->start(path, videoPreset_, videoPictureRate_);
}

int TandroCamera::stopRecording(STREAM_TYPE type) {
    std::lock_guard<std::mutex> lock(lifecycleMutex_);
    int status = 0;
    if (type != STREAM_APS && eventRecorder_->stop() != 0) {
        status = -1;
    }
    if (type != STREAM_DVS && frameRecorder_->stop() != 0) {
        status = -1;
    }
    return status;
}

void TandroCamera::setVideoPreset(std::string preset) {
    std::lock_guard<std::mutex> lock(lifecycleMutex_);
    videoPreset_ = std::move(preset);
}

void TandroCamera::setVideoPictureRate(double picturesPerSecond) {
    std::lock_guard<std::mutex> lock(lifecycleMutex_);
    videoPictureRate_ = picturesPerSecond > 0 ? picturesPerSecond : 0;
}

uint64_t TandroCamera::recordedPicturesThinned() const {
    return frameRecorder_->picturesThinned();
}

uint64_t TandroCamera::recordedPicturesReceived() const {
    return frameRecorder_->picturesReceived();
}

uint64_t TandroCamera::recordedPicturesKept() const {
    return frameRecorder_->picturesKept();
}

uint64_t TandroCamera::droppedBuffers() const {
    const EventStream* stream = eventSensor_ ? eventSensor_->eventStream() : nullptr;
    return stream ? stream->droppedBuffers() : 0;
}

bool TandroCamera::isRunning() const {
    return eventLoop_->isRunning();
}

}  // namespace orvane
