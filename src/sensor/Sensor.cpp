#include "orvane/Sensor.h"

namespace orvane {

Sensor::Sensor() = default;

Sensor::~Sensor() = default;

void Sensor::setWriteRegisterCallback(WriteRegisterCallback callback) {
    writeRegister_ = std::move(callback);
}

void Sensor::setWriteRegisterFieldCallback(WriteRegisterFieldCallback callback) {
    writeRegisterField_ = std::move(callback);
}

void Sensor::setApplyRegisterOperationSequenceCallback(
    ApplyRegisterOperationSequenceCallback callback) {
    applySequence_ = std::move(callback);
}

std::optional<RawBuffer> Sensor::getNextBuffer() {
    if (!eventStream_ || eventStream_->waitNextBuffer() < 1) {
        return std::nullopt;
    }
    return eventStream_->getLatestBuffer();
}

}  // namespace orvane
