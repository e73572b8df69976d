#include "orvane/hal/EventStream.h"

#include <algorithm>
#include <stdexcept>

#include "orvane/hal/UsbInterface.h"

namespace orvane {

namespace {
constexpr std::chrono::microseconds kWaitSlice{10'000};

std::string queueName(const std::shared_ptr<Device>& device, UsbDataTransferEndpoint endpoint) {
    return "stream 0x" + std::string(endpoint == ENDPOINT_FRAMES ? "53" : "52") + " of " +
           device->description().serial;
}
}  // namespace

DataTransfer::DataTransfer(std::shared_ptr<Interface> iface, uint32_t transfers,
                           uint32_t bufferBytes, UsbDataTransferEndpoint endpoint)
    : transfers_(transfers), bufferBytes_(bufferBytes), endpoint_(endpoint) {
    auto usb = std::dynamic_pointer_cast<UsbInterface>(iface);
    if (!usb || !usb->device()) {
        throw std::invalid_argument("DataTransfer: the interface is not a device transport");
    }
    if (bufferBytes == 0) {
        throw std::invalid_argument("DataTransfer: buffers of 0 bytes");
    }
    device_ = usb->device();
    queue_ = std::make_shared<BufferQueue>(queueDepth(bufferBytes), bufferBytes,
                                           queueName(device_, endpoint));
}

size_t DataTransfer::queueDepth(uint32_t bufferBytes) {
    constexpr size_t kMaxBuffers = 64, kMaxBytes = size_t{64} << 20;
    return std::max<size_t>(2, std::min(kMaxBuffers, kMaxBytes / bufferBytes));
}

DataTransfer::~DataTransfer() {
    stop();
}

void DataTransfer::start() {
    if (running_) {
        return;
    }
    queue_->reopen();
    device_->startEndpoint(endpoint_, transfers_, bufferBytes_, queue_);
    running_ = true;
}

void DataTransfer::stop() {
    if (!running_) {
        return;
    }
    running_ = false;
    device_->stopEndpoint(endpoint_);
    queue_->close();
}

bool DataTransfer::deviceConnected() const {
    return device_->isConnected();
}

std::unique_ptr<DataTransfer> createDataTransferUniquePtr(std::shared_ptr<Interface> iface,
                                                          uint32_t transfers, uint32_t bufferBytes,
                                                          UsbDataTransferEndpoint endpoint) {
    return std::make_unique<DataTransfer>(std::move(iface), transfers, bufferBytes, endpoint);
}

EventStream::EventStream(std::unique_ptr<DataTransfer> transfer) : transfer_(std::move(transfer)) {
    if (!transfer_) {
        throw std::invalid_argument("EventStream: no data transfer");
    }
}

EventStream::~EventStream() {
    stop();
}

void EventStream::start() {
    transfer_->start();
}

void EventStream::stop() {
    transfer_->stop();
}

int16_t EventStream::waitNextBuffer() {
    if (isDeviceGone()) {
        // Whatever arrived before the device went is still handed out.
        return transfer_->queue().wait(std::chrono::microseconds(0)) ? 1 : 0;
    }
    return transfer_->queue().wait(kWaitSlice) ? 1 : 0;
}

std::optional<RawBuffer> EventStream::getLatestBuffer() {
    RawBuffer buffer = transfer_->queue().pop();
    if (!buffer) {
        return std::nullopt;
    }
    return buffer;
}

bool EventStream::isDeviceGone() const {
    return !transfer_->deviceConnected();
}

uint64_t EventStream::droppedBuffers() const {
    return transfer_->queue().dropped();
}

uint64_t EventStream::deliveredBuffers() const {
    return transfer_->queue().delivered();
}

}  // namespace orvane
