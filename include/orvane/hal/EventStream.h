#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "orvane/hal/BufferQueue.h"
#include "orvane/hal/Device.h"
#include "orvane/hal/Interface.h"

namespace orvane {

// The data path of one endpoint: `transfers` transfers of `bufferBytes` each
// in flight, into a bounded queue (queueDepth buffers).
class DataTransfer {
  public:
    // Throws std::invalid_argument when `iface` is not a device transport.
    DataTransfer(std::shared_ptr<Interface> iface, uint32_t transfers, uint32_t bufferBytes,
                 UsbDataTransferEndpoint endpoint);
    ~DataTransfer();
    DataTransfer(const DataTransfer&) = delete;
    DataTransfer& operator=(const DataTransfer&) = delete;

    void start();
    void stop();
    bool running() const { return running_; }

    BufferQueue& queue() { return *queue_; }
    uint32_t bufferBytes() const { return bufferBytes_; }
    UsbDataTransferEndpoint endpoint() const { return endpoint_; }
    bool deviceConnected() const;

    // Buffers the host keeps for a consumer that is briefly late: up to 64, and
    // no more than 64 MiB (whole 4K pictures are 12 MB each); beyond them the
    // oldest is dropped (and counted).
    static size_t queueDepth(uint32_t bufferBytes);

  private:
    std::shared_ptr<Device> device_;
    uint32_t transfers_;
    uint32_t bufferBytes_;
    UsbDataTransferEndpoint endpoint_;
    std::shared_ptr<BufferQueue> queue_;
    bool running_ = false;
};

std::unique_ptr<DataTransfer> createDataTransferUniquePtr(std::shared_ptr<Interface> iface,
                                                          uint32_t transfers, uint32_t bufferBytes,
                                                          UsbDataTransferEndpoint endpoint);

// Raw buffers of one endpoint for a consumer thread.
class EventStream {
  public:
    explicit EventStream(std::unique_ptr<DataTransfer> transfer);
    ~EventStream();

    void start();
    void stop();
    // Waits at most about 10 ms: > 0 when a buffer is ready, 0 on timeout, when
    // stopped, or at once when the device is gone (then isDeviceGone() is true).
    int16_t waitNextBuffer();
    // The oldest queued buffer, or nothing.
    std::optional<RawBuffer> getLatestBuffer();

    bool isDeviceGone() const;
    // Buffers dropped because the consumer fell behind, since construction.
    uint64_t droppedBuffers() const;
    uint64_t deliveredBuffers() const;
    uint32_t bufferBytes() const { return transfer_->bufferBytes(); }

  private:
    std::unique_ptr<DataTransfer> transfer_;
};

}  // namespace orvane
