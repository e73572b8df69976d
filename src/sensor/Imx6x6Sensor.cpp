#include "orvane/Imx6x6Sensor.h"

#include <chrono>
#include <thread>

#include "orvane/RegisterSequences.h"
#include "orvane/base/Logger.h"

namespace orvane {

namespace {
constexpr const char* kLogModule = "src/sensor/Imx6x6Sensor";
constexpr const char* kNoSequenceCallback =
    "Imx6x6Sensor init failed! No sequence callback provided!";
constexpr const char* kNoFieldCallback =
    "Imx6x6Sensor init failed! No write register callback provided!";
}  // namespace

Imx6x6Sensor::Imx6x6Sensor() = default;

void Imx6x6Sensor::wait(uint64_t microseconds) {
    if (iface_) {
        iface_->delayMicroseconds(microseconds);
    } else {
        std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
    }
}

int Imx6x6Sensor::init(std::shared_ptr<Interface> iface) {
    iface_ = iface;
    eventStream_ = std::make_unique<EventStream>(
        createDataTransferUniquePtr(std::move(iface), kTransfers, kTransferBytes, ENDPOINT_EVENTS));
    if (!applySequence_) {
        ORVANE_LOG(LOG_ERROR, "%s", kNoSequenceCallback);
        return -1;
    }
    applySequence_(imx636StopSequence);
    applySequence_(imx636PreInitSequence);
    applySequence_(imx636InitSequence);
    temperatureInit();
    controlIphMirror(true);
    wait(1000);
    controlLifo(true, true, true);
    timeBaseConfig(false, true);
    initialized_ = true;
    ORVANE_LOG(LOG_INFO, "Imx6x6Sensor init success!");
    return 0;
}

int Imx6x6Sensor::start() {
    if (!initialized_) {
        ORVANE_LOG(LOG_ERROR, "Please initialize the Imx6x6Sensor first!");
        return -1;
    }
    eventStream_->start();
    if (!applySequence_) {
        ORVANE_LOG(LOG_ERROR, "%s", kNoSequenceCallback);
        return -1;
    }
    applySequence_(imx636StartSequence);
    return 0;
}

int Imx6x6Sensor::stop() {
    if (eventStream_) {
        eventStream_->stop();
    }
    if (!applySequence_) {
        ORVANE_LOG(LOG_ERROR, "%s", kNoSequenceCallback);
        return -1;
    }
    applySequence_(imx636StopSequence);
    return 0;
}

void Imx6x6Sensor::temperatureInit() {
    if (!writeRegisterField_) {
        ORVANE_LOG(LOG_ERROR, "%s", kNoFieldCallback);
        return;
    }
    writeRegisterField_("adc_control", "adc_en", 1);
    writeRegisterField_("adc_control", "adc_clk_en", 1);
    writeRegisterField_("adc_misc_ctrl", "adc_buf_cal_en", 1);
    wait(100);
    writeRegisterField_("temp_ctrl", "temp_buf_en", 1);
    writeRegisterField_("temp_ctrl", "temp_buf_cal_en", 1);
    wait(100);
    writeRegisterField_("adc_control", "adc_clk_en", 0);
}

void Imx6x6Sensor::controlIphMirror(bool on) {
    if (!writeRegisterField_) {
        ORVANE_LOG(LOG_ERROR, "%s", kNoFieldCallback);
        return;
    }
    const uint32_t value = on ? 1 : 0;
    writeRegisterField_("iph_mirr_ctrl", "iph_mirr_en", value);
    wait(20);
    writeRegisterField_("iph_mirr_ctrl", "iph_mirr_amp_en", value);
    wait(20);
}

void Imx6x6Sensor::controlLifo(bool enable, bool outputEnable, bool countEnable) {
    if (!writeRegisterField_) {
        ORVANE_LOG(LOG_ERROR, "%s", kNoFieldCallback);
        return;
    }
    if (enable && outputEnable) {
        writeRegisterField_("lifo_ctrl", "lifo_en", 1);
        wait(1000);
        writeRegisterField_("lifo_ctrl", "lifo_out_en", 1);
        wait(1000);
    } else if (enable) {
        writeRegisterField_("lifo_ctrl", "lifo_en", 1);
    } else if (outputEnable) {
        writeRegisterField_("lifo_ctrl", "lifo_out_en", 1);
    } else {
        writeRegisterField_("lifo_ctrl", "lifo_en", 0);
        writeRegisterField_("lifo_ctrl", "lifo_out_en", 0);
    }
    writeRegisterField_("lifo_ctrl", "lifo_cnt_en", countEnable ? 1 : 0);
}

void Imx6x6Sensor::timeBaseConfig(bool externalTimeBase, bool drivesSync) {
    if (!writeRegisterField_) {
        ORVANE_LOG(LOG_ERROR, "%s", kNoFieldCallback);
        return;
    }
    writeRegisterField_("ro/time_base_ctrl", "time_base_mode", externalTimeBase ? 1 : 0);
    writeRegisterField_("ro/time_base_ctrl", "external_mode", drivesSync ? 1 : 0);
    writeRegisterField_("ro/time_base_ctrl", "external_mode_enable", externalTimeBase ? 1 : 0);
    writeRegisterField_("ro/time_base_ctrl", "Reserved_10_4", 100);
    if (externalTimeBase) {
        writeRegisterField_("dig_pad2_ctrl", "pad_sync", drivesSync ? 0xC : 0xF);
    }
}

}  // namespace orvane
