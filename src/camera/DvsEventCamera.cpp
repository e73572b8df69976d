#include "orvane/DvsEventCamera.h"

#include "orvane/Imx6x6Sensor.h"
#include "orvane/hal/DecoderFactory.h"
#include "orvane/hal/Imx636AntiFlicker.h"
#include "orvane/hal/Imx636Biases.h"
#include "orvane/hal/Imx636EventRateControl.h"
#include "orvane/hal/Imx636EventTrailFilter.h"
#include "orvane/hal/Imx636ROI.h"
#include "orvane/hal/Imx636Sync.h"
#include "orvane/hal/Imx636TriggerIn.h"
#include "orvane/hal/RegisterTables.h"

#include "InitResult.h"

namespace orvane {

DvsEventCamera::DvsEventCamera(CameraDescription description)
    : DvsCameraPrivate(std::move(description)) {}

bool DvsEventCamera::isConnected() {
    return interface_ && interface_->isConnected();
}

RawEventStreamFormat DvsEventCamera::getRawEventStreamFormat() {
    return RawEventStreamFormat("EVT3;height=720;width=1280");
}

int DvsEventCamera::init() {
    if (inited_) {
        return 0;
    }
    if (description_.interfaceType != INTERFACE_USB) {
        return -1;
    }
    interface_ = UsbInterface::createUsbInterface(description_);
    if (!interface_) {
        return -1;
    }
    // A device held by another camera object is left alone: two hosts driving
    // one sensor would fight over its registers.
    if (interface_->open(interfaceHandle_) != 0) {
        const bool inUse = interface_->isConnected();
        interface_.reset();
        return inUse ? kInitDeviceInUse : -1;
    }
    registerController_ = std::make_shared<RegisterController>(
        interface_, imx636RegisterTable, kImx636RegisterTableRows, "PSEE/IMX636/");
    decoder_ = DecoderFactory::createUniqueDecoder(getRawEventStreamFormat());
    decoder_->setEventsStreamHandleCallback(
        [this](const Event2D* begin, const Event2D* end) { eventStreamArrvied(begin, end); });
    decoder_->setTriggerInCallback([this](EventTriggerIn trigger) { triggerInArrvied(trigger); });

    sensor_ = std::make_unique<Imx6x6Sensor>();
    sensor_->setApplyRegisterOperationSequenceCallback(
        [controller = registerController_](const std::vector<RegisterOperation>& sequence) {
            controller->ApplyRegisterOperationSequence(sequence);
        });
    sensor_->setWriteRegisterFieldCallback(
        [controller = registerController_](const std::string& reg, const std::string& field,
                                           uint32_t value) {
            controller->writeRegisterField(reg, field, value);
        });
    sensor_->init(interface_);

    auto add = [this](ToolType type, std::shared_ptr<CameraTool> tool) {
        tools_.emplace(type, std::move(tool));
    };
    add(TOOL_BIASES, std::make_shared<Imx636Biases>(registerController_));
    add(TOOL_TRIGGER_IN, std::make_shared<Imx636TriggerIn>(registerController_));
    add(TOOL_ANTI_FLICKER, std::make_shared<Imx636AntiFlicker>(registerController_));
    add(TOOL_EVENT_RATE_CONTROL, std::make_shared<Imx636EventRateControl>(registerController_));
    add(TOOL_EVENT_TRAIL_FILTER, std::make_shared<Imx636EventTrailFilter>(registerController_));
    add(TOOL_ROI, std::make_shared<Imx636ROI>(registerController_));
    add(TOOL_SYNC, std::make_shared<Imx636Sync>(registerController_));
    inited_ = true;
    return 0;
}

bool DvsEventCamera::checkSensor() {
    if (!interface_) {
        return false;
    }
    std::vector<uint32_t> words;
    interface_->readRegister(words, 0x0014, 1);
    if (words.size() != 1 || words[0] != 0xA0401806) {
        return false;
    }
    interface_->readRegister(words, 0xF128, 1);
    return words.size() == 1 && (words[0] & 0x3) == 0;
}

}  // namespace orvane
