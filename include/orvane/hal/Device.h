#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "orvane/hal/BufferQueue.h"
#include "orvane/hal/CameraDescription.h"
#include "orvane/hal/CtrlFrame.h"

namespace orvane {

// Data endpoints of the cameras.
enum UsbDataTransferEndpoint : uint8_t {
    ENDPOINT_EVENTS = 0x52,  // raw EVT 3.0 buffers
    ENDPOINT_FRAMES = 0x53,  // whole NV12 pictures
};

// One attached device as a transport backend sees it (USB, simulator). All
// operations are thread-safe; those on a device that is gone throw
// std::runtime_error, except isConnected and stopEndpoint.
class Device {
  public:
    virtual ~Device() = default;

    virtual const CameraDescription& description() const = 0;
    virtual bool isConnected() const = 0;
    virtual uint32_t readRegister(uint32_t address) = 0;
    virtual void writeRegister(uint32_t address, uint32_t value) = 0;
    virtual void delay(uint64_t microseconds) = 0;
    // Answers a control request into frame.answer(); throws when refused.
    virtual void control(CtrlFrame& frame) = 0;

    // Starts filling `queue` from `endpoint` with buffers of at most
    // `bufferBytes`; `transfers` is the number of transfers kept in flight.
    virtual void startEndpoint(uint8_t endpoint, uint32_t transfers, uint32_t bufferBytes,
                               std::shared_ptr<BufferQueue> queue) = 0;
    // Stops filling the endpoint's queue; returns once no buffer will be added.
    virtual void stopEndpoint(uint8_t endpoint) = 0;

    // One interface holds a device at a time, as a USB interface is claimed by
    // one program: false while another holder has it. Never throws.
    virtual bool claim() = 0;
    virtual void release() = 0;
};

}  // namespace orvane
