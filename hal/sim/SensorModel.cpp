// The simulated event sensor's filters and trigger edges, and the register
// fields that steer them.
#include "SensorModel.h"

#include <algorithm>

#include "orvane/sim/SimulatedDevice.h"

namespace orvane::sim {

namespace {

// Share of events kept at a threshold bias: raising it from 0 to 255 thins the
// events of that polarity down to about one in nine.
bool passesThreshold(const Event2D& e, uint32_t threshold) {
    if (threshold == 0) {
        return true;
    }
    uint32_t hash =
        (e.x * 73856093u) ^ (e.y * 19349663u) ^ static_cast<uint32_t>(e.timestamp * 83492791u);
    return (hash % 1024) * (32 + threshold) < 1024u * 32;
}

}  // namespace

const SensorControls& SensorControls::instance() {
    static const SensorControls controls;
    return controls;
}

SensorControls::SensorControls()
    : roiEnable_(RegisterFile::field("roi_ctrl", "roi_td_en")),
      roiKeepsInside_(RegisterFile::field("roi_ctrl", "td_roi_roni_n_en")),
      ercEnable_(RegisterFile::field("erc/erc_enable", "erc_en")),
      ercPeriod_(RegisterFile::field("erc/reference_period", "erc_reference_period")),
      ercTarget_(RegisterFile::field("erc/td_target_event_rate", "target_event_rate")),
      biasOn_(RegisterFile::field("bias/bias_diff_on", "idac_ctl")),
      biasOff_(RegisterFile::field("bias/bias_diff_off", "idac_ctl")),
      triggerIn_(RegisterFile::field("edf/trigger_in", "ch0_enable")),
      apsEnable_(RegisterFile::field("aps_ctrl", "aps_en")),
      timeBaseEnable_(RegisterFile::field("ro/time_base_ctrl", "time_base_enable")),
      externalMode_(RegisterFile::field("ro/time_base_ctrl", "external_mode")),
      externalModeEnable_(RegisterFile::field("ro/time_base_ctrl", "external_mode_enable")),
      outputDisable_(RegisterFile::field("ro/ro_ctrl", "output_disable")),
      roiX_(RegisterFile::address("roi/td_roi_x00")),
      roiY_(RegisterFile::address("roi/td_roi_y00")) {}

SensorSettings SensorControls::read(const RegisterFile& file, bool withFrames) const {
    SensorSettings s;
    s.roiEnabled = file.value(roiEnable_) != 0;
    s.roiKeepsInside = file.value(roiKeepsInside_) != 0;
    for (size_t i = 0; i < s.columnsOutside.size(); ++i) {
        s.columnsOutside[i] = file.value(roiX_ + 4 * static_cast<uint32_t>(i));
    }
    for (size_t i = 0; i < s.rowsOutside.size(); ++i) {
        s.rowsOutside[i] = file.value(roiY_ + 4 * static_cast<uint32_t>(i));
    }
    s.ercEnabled = file.value(ercEnable_) != 0;
    s.ercPeriodUs = file.value(ercPeriod_);
    s.ercTarget = file.value(ercTarget_);
    s.onThreshold = file.value(biasOn_);
    s.offThreshold = file.value(biasOff_);
    s.triggerIn = file.value(triggerIn_) != 0;
    s.frameTriggers = withFrames && framesOn(file);
    // A slave (external mode enabled, not the master's output) without a master.
    s.hasTimeBase = !(file.value(externalModeEnable_) != 0 && file.value(externalMode_) == 0);
    return s;
}

bool SensorControls::outputOn(const RegisterFile& file) const {
    return file.value(outputDisable_) == 0 && file.value(timeBaseEnable_) != 0;
}

bool SensorControls::framesOn(const RegisterFile& file) const {
    return file.value(apsEnable_) != 0;
}

void SensorModel::produce(uint64_t from, uint64_t until, const SensorSettings& s,
                          std::vector<uint8_t>& out) {
    generated_.clear();
    scene_.generate(until, generated_);
    kept_.clear();
    for (const Event2D& e : generated_) {
        if (keep(e, s)) {
            kept_.push_back(e);
        }
    }
    triggerEdges(from, until, s);
    const Event2D* next = kept_.data();
    const Event2D* end = next + kept_.size();
    for (const EventTriggerIn& edge : edges_) {
        const Event2D* upTo = next;
        while (upTo < end && upTo->timestamp <= edge.timestamp) {
            ++upTo;
        }
        encoder_.encode(next, upTo, out);
        encoder_.encodeTrigger(edge, out);
        next = upTo;
    }
    encoder_.encode(next, end, out);
}

// The trigger input's square wave, and the fusion camera's exposure edges.
void SensorModel::triggerEdges(uint64_t from, uint64_t until, const SensorSettings& s) {
    edges_.clear();
    if (s.triggerIn) {
        for (uint64_t t =
                 (from + kTriggerHalfPeriodUs - 1) / kTriggerHalfPeriodUs * kTriggerHalfPeriodUs;
             t < until; t += kTriggerHalfPeriodUs) {
            edges_.emplace_back(0, static_cast<int16_t>((t / kTriggerHalfPeriodUs) % 2 == 0), t);
        }
    }
    if (s.frameTriggers) {
        constexpr uint64_t period = SimulatedDevice::kFramePeriodUs;
        constexpr uint64_t exposure = SimulatedDevice::kExposureUs;
        for (uint64_t n = from / period; n * period < until + exposure; ++n) {
            const uint64_t frame = (n + 1) * period;
            if (frame < s.firstFrame) {
                continue;
            }
            for (uint64_t t : {frame - exposure, frame}) {
                if (t >= from && t < until) {
                    edges_.emplace_back(0, static_cast<int16_t>(t == frame), t);
                }
            }
        }
    }
    std::stable_sort(
        edges_.begin(), edges_.end(),
        [](const EventTriggerIn& a, const EventTriggerIn& b) { return a.timestamp < b.timestamp; });
}

bool SensorModel::keep(const Event2D& e, const SensorSettings& s) {
    if (s.roiEnabled) {
        const bool outside = ((s.columnsOutside[e.x / 32] >> (e.x % 32)) & 1) != 0 ||
                             ((s.rowsOutside[e.y / 32] >> (e.y % 32)) & 1) != 0;
        if (outside == s.roiKeepsInside) {
            return false;
        }
    }
    if (!passesThreshold(e, e.polarity ? s.onThreshold : s.offThreshold)) {
        return false;
    }
    if (s.ercEnabled && s.ercPeriodUs > 0) {
        const uint64_t window = e.timestamp / s.ercPeriodUs;
        if (window != ercWindow_) {
            ercWindow_ = window;
            ercCount_ = 0;
        }
        if (ercCount_ >= s.ercTarget) {
            return false;
        }
        ++ercCount_;
    }
    return true;
}

}  // namespace orvane::sim
