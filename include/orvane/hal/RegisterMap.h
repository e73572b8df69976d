#pragma once

#include <map>
#include <string>

#include "orvane/hal/Register.h"
#include "orvane/hal/RegisterInfo.h"

namespace orvane {

// Registers by name. Lookups never insert.
class RegisterMap {
  public:
    RegisterMap() = default;
    RegisterMap(const RegisterMap& other);
    RegisterMap(RegisterMap&& other) noexcept;
    RegisterMap& operator=(const RegisterMap& other);
    RegisterMap& operator=(RegisterMap&& other) noexcept;
    ~RegisterMap();

    // Builds the map of a static table. A register row that carries a length is
    // not a register (see the definition for how it is read).
    static RegisterMap fromTable(const RegisterInfo* table, uint32_t rows);

    // Throws std::runtime_error "RegisterController: Register not found".
    const Register& operator[](const std::string& name) const;
    // The register of that name, or nullptr.
    const Register* find(const std::string& name) const;
    // The register at that address, or nullptr.
    const Register* findByAddress(uint32_t address) const;
    Register& add_register(const Register& reg);
    const std::map<std::string, Register>& registers() const { return registers_; }
    size_t size() const { return registers_.size(); }

  private:
    std::map<std::string, Register> registers_;
    std::map<uint32_t, std::string> byAddress_;
};

}  // namespace orvane
