// A simulated camera: the device a transport backend hands out, with the
// register file, sensor clock and producer threads of a real one.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "orvane/hal/Device.h"
#include "orvane/sim/DeviceConfig.h"
#include "orvane/sim/RegisterFile.h"
#include "orvane/sim/SensorClock.h"

namespace orvane::sim {

// A camera without hardware: a register file initialised from the sensor's
// register table, a log of every access in order, and the data endpoints of
// its product.
//
// The event sensor streams only while `ro/ro_ctrl`.`output_disable` is 0 and
// `ro/time_base_ctrl`.`time_base_enable` is 1; its time base counts only then.
// It honours the tools: the ROI window, the event rate cap, the ON/OFF
// threshold biases (higher thresholds, fewer events), the trigger input (a
// 100 Hz square wave on channel 0 while enabled) and the sync mode (a slave
// without a master on the bus has no time base, so it sends nothing). The
// fusion camera frames each picture with trigger edges on channel 0 (level 0
// at exposure start, level 1 at the frame time) and sends its event buffers
// byte-swapped, as its USB bridge does.
class SimulatedDevice : public Device {
  public:
    explicit SimulatedDevice(DeviceConfig config);
    ~SimulatedDevice() override;

    const CameraDescription& description() const override { return description_; }
    bool isConnected() const override { return connected_; }
    uint32_t readRegister(uint32_t address) override;
    void writeRegister(uint32_t address, uint32_t value) override;
    void delay(uint64_t microseconds) override;
    void control(CtrlFrame& frame) override;
    void startEndpoint(uint8_t endpoint, uint32_t transfers, uint32_t bufferBytes,
                       std::shared_ptr<BufferQueue> queue) override;
    void stopEndpoint(uint8_t endpoint) override;
    bool claim() override;
    void release() override { claimed_ = false; }

    const DeviceConfig& config() const { return config_; }
    std::vector<RegisterAccess> traffic() const;
    void clearTraffic();
    // The register file's value, without logging a read.
    uint32_t peekRegister(uint32_t address) const;
    // Every register that was ever set, by address.
    std::map<uint32_t, uint32_t> registerFile() const;

    // What went out to the host, after the sensor's own filters.
    uint64_t eventsSent() const { return eventsSent_; }
    uint64_t triggersSent() const { return triggersSent_; }
    uint64_t framesSent() const { return framesSent_; }
    // The sensor's time base, microseconds.
    uint64_t sensorTime() const;
    // Waits until at least `events` events went out, or `timeout` passed.
    bool waitForEventsSent(uint64_t events, std::chrono::milliseconds timeout);

    // The bus unplugs a device: it stops answering and wakes its readers.
    void disconnect();

    static CameraDescription describe(const DeviceConfig& config);

    static constexpr uint64_t kFramePeriodUs = 33'333;  // 30 pictures per second
    static constexpr uint64_t kExposureUs = 10'000;
    static constexpr uint32_t kFrameWidth = 3840, kFrameHeight = 2160;

    // The sensor time of the pulse that closed a picture, as the device wrote it
    // into the picture's top rows, read from the picture converted to packed
    // BGR of kFrameWidth x kFrameHeight; 0 for pictures taken without a time base.
    static uint64_t pictureTag(const uint8_t* bgr);

  private:
    struct Endpoint {
        std::thread thread;
        std::shared_ptr<BufferQueue> queue;
        uint32_t bufferBytes = 0;
        bool stopping = false;
    };

    void checkConnected() const;
    // Applies a host write; the clock follows the output switch.
    void writeLocked(uint32_t address, uint32_t value);  // caller holds mutex_
    bool outputOn() const;                               // caller holds mutex_
    bool stopping(uint8_t endpoint) const;               // caller holds mutex_
    void stopAll();

    // The producer loops, one thread per started endpoint (SimulatedDeviceLoops.cpp).
    void eventLoop(uint32_t bufferBytes, std::shared_ptr<BufferQueue> queue);
    void replayLoop(uint32_t bufferBytes, std::shared_ptr<BufferQueue> queue);
    void frameLoop(uint32_t bufferBytes, std::shared_ptr<BufferQueue> queue);
    static void tagPicture(uint8_t* nv12, uint64_t time);
    static constexpr uint32_t kTagBlock = 16, kTagBits = 48;
    // Hands a buffer to the host: dropped-oldest when live, waited for when
    // paced by the reader. False when the endpoint stops meanwhile.
    bool send(uint8_t endpoint, BufferQueue& queue, RawBuffer buffer);
    void countSent(uint64_t events, uint64_t triggers);

    DeviceConfig config_;
    CameraDescription description_;
    std::atomic<bool> connected_{true};
    std::atomic<bool> claimed_{false};

    mutable std::mutex mutex_;         // registers, traffic, endpoints, clock
    std::condition_variable changed_;  // registers written, endpoint stopping, unplugged
    RegisterFile registers_;
    SensorClock clock_;
    // Sensor time of the first picture's pulse, under mutex_; none (no pulses)
    // until the frame loop takes its first picture.
    uint64_t firstFrame_ = UINT64_MAX;
    std::map<uint8_t, Endpoint> endpoints_;

    std::atomic<uint64_t> eventsSent_{0};
    std::atomic<uint64_t> triggersSent_{0};
    std::atomic<uint64_t> framesSent_{0};
    std::condition_variable sentChanged_;
};

}  // namespace orvane::sim
