#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "orvane/hal/Interface.h"
#include "orvane/hal/RegisterMap.h"
#include "orvane/hal/RegisterOperation.h"

namespace orvane {

// Register access by name for one sensor, over its device's transport. Names
// resolve with or without the table's prefix ("PSEE/IMX636/ro/ro_ctrl" and
// "ro/ro_ctrl" are the same register). Every access reaches the device at once,
// in call order. Unknown names throw std::runtime_error ("RegisterController:
// Register not found", "Register: Field not found"); a value wider than its field
// throws std::invalid_argument and writes nothing.
//
// Threads: any. Each access, each read-modify-write and each whole sequence is
// one step that no other access of this controller interleaves with, so a tool
// set on one thread and a start or stop sequence on another lose no bits.
class RegisterController {
  public:
    RegisterController(std::shared_ptr<Interface> iface, const RegisterInfo* table, uint32_t rows,
                       std::string prefix);
    RegisterController(const RegisterController& other);
    RegisterController(RegisterController&& other) noexcept;
    RegisterController& operator=(const RegisterController& other);
    RegisterController& operator=(RegisterController&& other) noexcept;
    ~RegisterController();

    // Read-modify-write: the field takes `value` (right-aligned), the other bits stay.
    void writeRegisterField(const std::string& reg, const std::string& field, uint32_t value);
    uint32_t readRegisterField(const std::string& reg, const std::string& field);
    void writeRegister(const std::string& reg, uint32_t value);
    uint32_t readRegister(const std::string& reg);

    // Carries out the steps strictly in order before returning: a masked write
    // is a read then a write; a delay waits through the transport.
    void ApplyRegisterOperationSequence(std::vector<RegisterOperation> sequence);

    // Writes a whole register with a control frame (the path of the frame
    // sensor) and returns the device's status word (0 = done).
    uint32_t writeRegisterWithControlTransfer(const std::string& reg, uint32_t value);

    // Property word of the control frame that writes a register: payload
    // (address, value); answer payload (status).
    static constexpr uint32_t kWriteRegisterProperty = 0x40020001;

    const RegisterMap& registerMap() const { return map_; }
    const std::string& prefix() const { return prefix_; }
    const std::shared_ptr<Interface>& interface() const { return interface_; }

    // The register of a name, with or without the prefix.
    const Register& resolve(const std::string& reg) const;

  private:
    std::shared_ptr<Interface> interface_;
    RegisterMap map_;
    std::string prefix_;
    // Shared by copies: they drive the same registers. Not recursive: nothing
    // here calls back into the controller.
    std::shared_ptr<std::mutex> mutex_ = std::make_shared<std::mutex>();
};

}  // namespace orvane
