#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "orvane/hal/EventStream.h"
#include "orvane/hal/Interface.h"
#include "orvane/hal/RegisterOperation.h"

namespace orvane {

using WriteRegisterCallback = std::function<void(const std::string& reg, uint32_t value)>;
using WriteRegisterFieldCallback =
    std::function<void(const std::string& reg, const std::string& field, uint32_t value)>;
using ApplyRegisterOperationSequenceCallback =
    std::function<void(const std::vector<RegisterOperation>& sequence)>;

// The driver of one image sensor. It never talks to a register controller: its
// owner binds the three callbacks (before init) and the driver writes through
// them. It owns the stream that brings the sensor's data to the host.
class Sensor {
  public:
    Sensor();
    virtual int init(std::shared_ptr<Interface> iface) = 0;
    virtual int start() = 0;
    virtual int stop() = 0;
    virtual ~Sensor();

    Sensor(const Sensor&) = delete;
    Sensor& operator=(const Sensor&) = delete;

    void setWriteRegisterCallback(WriteRegisterCallback callback);
    void setWriteRegisterFieldCallback(WriteRegisterFieldCallback callback);
    void setApplyRegisterOperationSequenceCallback(ApplyRegisterOperationSequenceCallback callback);

    // The next raw buffer of the stream, or nothing after a bounded wait. Only
    // on a started sensor.
    std::optional<RawBuffer> getNextBuffer();
    // The stream, or nullptr before init.
    EventStream* eventStream() const { return eventStream_.get(); }
    bool isInitialized() const { return initialized_; }

  protected:
    std::unique_ptr<EventStream> eventStream_;
    WriteRegisterCallback writeRegister_;
    WriteRegisterFieldCallback writeRegisterField_;
    ApplyRegisterOperationSequenceCallback applySequence_;
    bool initialized_ = false;
};

}  // namespace orvane
