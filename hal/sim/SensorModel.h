// The simulated event sensor: scene events through the filters its registers
// set, with trigger edges, encoded as EVT 3.0.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "orvane/Event2D.h"
#include "orvane/EventTriggerIn.h"
#include "orvane/hal/Evt3Encoder.h"
#include "orvane/sim/DeviceConfig.h"
#include "orvane/sim/RegisterFile.h"
#include "orvane/sim/SceneGenerator.h"

namespace orvane::sim {

// The register settings that shape the sensor's output, read at each step.
struct SensorSettings {
    bool roiEnabled = false;
    bool roiKeepsInside = true;
    std::array<uint32_t, 40> columnsOutside{};
    std::array<uint32_t, 23> rowsOutside{};
    bool ercEnabled = false;
    uint32_t ercPeriodUs = 200;
    uint32_t ercTarget = 0;
    uint32_t onThreshold = 0, offThreshold = 0;
    bool triggerIn = false;
    bool frameTriggers = false;
    uint64_t firstFrame = 0;  // the frame pulse of the first picture taken (no earlier ones)
    bool hasTimeBase = true;  // a slave has none without a master
};

// The register fields the simulated camera acts on, looked up by name once
// for the process.
class SensorControls {
  public:
    static const SensorControls& instance();

    // `withFrames`: the camera has a frame sensor, whose exposures show as
    // trigger edges.
    SensorSettings read(const RegisterFile& file, bool withFrames) const;
    // The event sensor streams and its time base counts.
    bool outputOn(const RegisterFile& file) const;
    // The frame sensor takes pictures (on a camera that has one).
    bool framesOn(const RegisterFile& file) const;

  private:
    SensorControls();

    RegisterFile::Field roiEnable_, roiKeepsInside_, ercEnable_, ercPeriod_, ercTarget_, biasOn_,
        biasOff_, triggerIn_, apsEnable_, timeBaseEnable_, externalMode_, externalModeEnable_,
        outputDisable_;
    uint32_t roiX_, roiY_;  // the first of the consecutive ROI line registers
};

// Scene events through the sensor's filters, with trigger edges, as EVT 3.0.
class SensorModel {
  public:
    explicit SensorModel(const DeviceConfig& config)
        : scene_(config.scene, config.eventRate, config.seed) {}

    // A new stream at sensor time `t`: it begins with the time-high of t's step,
    // as a sensor's does, not with every step since 0.
    void restart(uint64_t t) {
        encoder_.setCurrentTimestamp(t);
        encoder_.restart();
    }
    // Appends the stream for sensor time [from, until) to `out`.
    void produce(uint64_t from, uint64_t until, const SensorSettings& s, std::vector<uint8_t>& out);
    // A live sensor that fell behind its clock does not make up the time.
    void skipTo(uint64_t t) { scene_.skipTo(t); }

    static constexpr uint64_t kTriggerHalfPeriodUs = 5000;  // 100 Hz square wave on input 0

  private:
    bool keep(const Event2D& e, const SensorSettings& s);
    void triggerEdges(uint64_t from, uint64_t until, const SensorSettings& s);

    SceneGenerator scene_;
    Evt3Encoder encoder_;
    std::vector<Event2D> generated_, kept_;
    std::vector<EventTriggerIn> edges_;
    uint64_t ercWindow_ = UINT64_MAX;
    uint32_t ercCount_ = 0;
};

}  // namespace orvane::sim
