#include "orvane/hal/RegisterMap.h"

#include <stdexcept>

#include "orvane/base/Logger.h"

namespace orvane {

namespace {
constexpr const char* kLogModule = "hal/registers/RegisterMap";
}

RegisterMap::RegisterMap(const RegisterMap& other) = default;

RegisterMap::RegisterMap(RegisterMap&& other) noexcept
    : registers_(std::move(other.registers_)), byAddress_(std::move(other.byAddress_)) {
    other.registers_.clear();
    other.byAddress_.clear();
}

RegisterMap& RegisterMap::operator=(const RegisterMap& other) {
    if (this != &other) {
        registers_ = other.registers_;
        byAddress_ = other.byAddress_;
    }
    return *this;
}

RegisterMap& RegisterMap::operator=(RegisterMap&& other) noexcept {
    if (this != &other) {
        registers_ = std::move(other.registers_);
        byAddress_ = std::move(other.byAddress_);
        other.registers_.clear();
        other.byAddress_.clear();
    }
    return *this;
}

RegisterMap::~RegisterMap() = default;

RegisterMap RegisterMap::fromTable(const RegisterInfo* table, uint32_t rows) {
    RegisterMap map;
    Register* current = nullptr;
    std::string currentField;
    for (uint32_t i = 0; table != nullptr && i < rows; ++i) {
        const RegisterInfo& row = table[i];
        const std::string name = row.name ? row.name : "";
        switch (row.type) {
            case TYPE_REGISTER:
                // A "register" row with a width is a field row under the wrong type
                // (the frame sensor's table has one after its last register): it
                // is read as the field it describes, so that its default and width
                // stay usable, rather than as a register at its bogus address.
                if (row.length != 0 && current != nullptr) {
                    ORVANE_LOG(LOG_DEBUG,
                               "row %u \"%s\": register row with a width, read as a field", i,
                               name.c_str());
                    current->add_field(Register::Field(name, static_cast<uint8_t>(row.address),
                                                       static_cast<uint8_t>(row.length),
                                                       row.defaultValue, {}));
                    currentField = name;
                    break;
                }
                current = &map.add_register(Register(name, row.address));
                currentField.clear();
                break;
            case TYPE_FIELD:
                if (current == nullptr) {
                    throw std::invalid_argument("register table: field row \"" + name +
                                                "\" before any register");
                }
                current->add_field(Register::Field(name, static_cast<uint8_t>(row.address),
                                                   static_cast<uint8_t>(row.length),
                                                   row.defaultValue, {}));
                currentField = name;
                break;
            case TYPE_ALIAS: {
                if (current == nullptr || currentField.empty()) {
                    throw std::invalid_argument("register table: alias row \"" + name +
                                                "\" before any field");
                }
                Register::Field field = (*current)[currentField];
                field.add_alias(name, row.address);
                current->add_field(field);
                break;
            }
            default:
                throw std::invalid_argument("register table: row " + std::to_string(i) +
                                            " has unknown type " + std::to_string(row.type));
        }
    }
    return map;
}

const Register& RegisterMap::operator[](const std::string& name) const {
    const Register* found = find(name);
    if (found == nullptr) {
        throw std::runtime_error("RegisterController: Register not found");
    }
    return *found;
}

const Register* RegisterMap::find(const std::string& name) const {
    auto it = registers_.find(name);
    return it == registers_.end() ? nullptr : &it->second;
}

const Register* RegisterMap::findByAddress(uint32_t address) const {
    auto it = byAddress_.find(address);
    return it == byAddress_.end() ? nullptr : find(it->second);
}

Register& RegisterMap::add_register(const Register& reg) {
    byAddress_[reg.get_address()] = reg.get_name();
    return registers_[reg.get_name()] = reg;
}

}  // namespace orvane
