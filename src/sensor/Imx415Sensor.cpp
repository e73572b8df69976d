#include "orvane/Imx415Sensor.h"

#include "orvane/base/Logger.h"

namespace orvane {

namespace {
constexpr const char* kLogModule = "src/sensor/Imx415Sensor";
constexpr uint32_t kTransfers = 2;
}  // namespace

Imx415Sensor::Imx415Sensor() = default;

int Imx415Sensor::init(std::shared_ptr<Interface> iface) {
    // One NV12 picture: a luma plane and a half-size interleaved chroma plane.
    const uint32_t frameBytes = static_cast<uint32_t>(double(width_ * height_) * 1.5);
    eventStream_ = std::make_unique<EventStream>(
        createDataTransferUniquePtr(std::move(iface), kTransfers, frameBytes, ENDPOINT_FRAMES));
    initialized_ = true;
    ORVANE_LOG(LOG_INFO, "Imx415Sensor init success!");
    return 0;
}

// Without a register callback the frame output cannot be switched: refused.
int Imx415Sensor::start() {
    if (!initialized_) {
        ORVANE_LOG(LOG_ERROR, "Please initialize the Imx415Sensor first!");
        return -1;
    }
    if (!writeRegister_) {
        ORVANE_LOG(LOG_ERROR, "Imx415Sensor start failed! No write register callback provided!");
        return -1;
    }
    writeRegister_("aps_ctrl", 1);
    eventStream_->start();
    return 0;
}

int Imx415Sensor::stop() {
    if (!initialized_) {
        return 0;
    }
    if (!writeRegister_) {
        ORVANE_LOG(LOG_ERROR, "Imx415Sensor stop failed! No write register callback provided!");
        return 0;
    }
    writeRegister_("aps_ctrl", 0);
    return 0;
}

}  // namespace orvane
