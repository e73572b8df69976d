#include "orvane/hal/RegisterController.h"

#include <stdexcept>

namespace orvane {

namespace {

const Interface& require(const std::shared_ptr<Interface>& iface) {
    if (!iface) {
        throw std::runtime_error("RegisterController: no device interface");
    }
    return *iface;
}

uint32_t place(const Register& reg, const Register::Field& field, uint32_t value) {
    const uint32_t widest = field.get_len() >= 32 ? 0xFFFFFFFFu : ((1u << field.get_len()) - 1);
    if (value > widest) {
        throw std::invalid_argument("RegisterController: value " + std::to_string(value) +
                                    " does not fit " + reg.get_name() + "." + field.get_name() +
                                    " (" + std::to_string(field.get_len()) + " bits)");
    }
    return (value << field.get_start()) & field.get_mask();
}

}  // namespace

RegisterController::RegisterController(std::shared_ptr<Interface> iface, const RegisterInfo* table,
                                       uint32_t rows, std::string prefix)
    : interface_(std::move(iface)),
      map_(RegisterMap::fromTable(table, rows)),
      prefix_(std::move(prefix)) {}

RegisterController::RegisterController(const RegisterController& other) = default;

RegisterController::RegisterController(RegisterController&& other) noexcept
    : interface_(std::move(other.interface_)),
      map_(std::move(other.map_)),
      prefix_(std::move(other.prefix_)),
      mutex_(other.mutex_) {}

RegisterController& RegisterController::operator=(const RegisterController& other) = default;

RegisterController& RegisterController::operator=(RegisterController&& other) noexcept {
    if (this != &other) {
        interface_ = std::move(other.interface_);
        map_ = std::move(other.map_);
        prefix_ = std::move(other.prefix_);
        mutex_ = other.mutex_;
    }
    return *this;
}

RegisterController::~RegisterController() = default;

// The frame sensor's prefix is one blank: callers may or may not write it.
const Register& RegisterController::resolve(const std::string& reg) const {
    if (const Register* found = map_.find(reg)) {
        return *found;
    }
    if (!prefix_.empty() && reg.compare(0, prefix_.size(), prefix_) == 0) {
        return map_[reg.substr(prefix_.size())];
    }
    return map_[reg];  // throws "RegisterController: Register not found"
}

void RegisterController::writeRegisterField(const std::string& reg, const std::string& field,
                                            uint32_t value) {
    const Register& r = resolve(reg);
    const Register::Field& f = r[field];
    const uint32_t bits = place(r, f, value);
    require(interface_);
    std::lock_guard<std::mutex> lock(*mutex_);
    const uint32_t current = interface_->readWord(r.get_address());
    interface_->writeRegister(r.get_address(), (current & ~f.get_mask()) | bits);
}

uint32_t RegisterController::readRegisterField(const std::string& reg, const std::string& field) {
    const Register& r = resolve(reg);
    const Register::Field& f = r[field];
    require(interface_);
    std::lock_guard<std::mutex> lock(*mutex_);
    return (interface_->readWord(r.get_address()) & f.get_mask()) >> f.get_start();
}

void RegisterController::writeRegister(const std::string& reg, uint32_t value) {
    const Register& r = resolve(reg);
    require(interface_);
    std::lock_guard<std::mutex> lock(*mutex_);
    interface_->writeRegister(r.get_address(), value);
}

uint32_t RegisterController::readRegister(const std::string& reg) {
    const Register& r = resolve(reg);
    require(interface_);
    std::lock_guard<std::mutex> lock(*mutex_);
    return interface_->readWord(r.get_address());
}

void RegisterController::ApplyRegisterOperationSequence(std::vector<RegisterOperation> sequence) {
    require(interface_);
    std::lock_guard<std::mutex> lock(*mutex_);
    for (const RegisterOperation& op : sequence) {
        switch (op.type) {
            case OP_WRITE:
                interface_->writeRegister(op.address, op.value);
                break;
            case OP_MASKED_WRITE: {
                const uint32_t current = interface_->readWord(op.address);
                interface_->writeRegister(op.address, (current & ~op.mask) | (op.value & op.mask));
                break;
            }
            case OP_DELAY:
                interface_->delayMicroseconds(op.delay);
                break;
            default:
                throw std::invalid_argument("RegisterController: unknown register operation " +
                                            std::to_string(op.type));
        }
    }
}

uint32_t RegisterController::writeRegisterWithControlTransfer(const std::string& reg,
                                                              uint32_t value) {
    const Register& r = resolve(reg);
    require(interface_);
    CtrlFrame frame(kWriteRegisterProperty);
    frame.push_back32(r.get_address());
    frame.push_back32(value);
    {
        std::lock_guard<std::mutex> lock(*mutex_);
        interface_->transferFrame(frame);
    }
    frame.swap_req_and_answer();
    return frame.words() > 0 ? frame.word(0) : 0;
}

}  // namespace orvane
