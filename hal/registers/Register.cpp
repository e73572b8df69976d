#include "orvane/hal/Register.h"

#include <stdexcept>

namespace orvane {

Register::Field::Field() = default;

Register::Field::Field(std::string name, uint8_t start, uint8_t len, uint32_t defaultValue,
                       const std::map<std::string, uint32_t>& aliases)
    : name_(std::move(name)),
      start_(start),
      len_(len),
      mask_(0),
      defaultValue_(defaultValue),
      aliases_(aliases) {
    init_mask();
}

Register::Field::Field(const Field& other) = default;

Register::Field& Register::Field::operator=(const Field& other) {
    if (this != &other) {
        name_ = other.name_;
        start_ = other.start_;
        len_ = other.len_;
        mask_ = other.mask_;
        defaultValue_ = other.defaultValue_;
        aliases_ = other.aliases_;
    }
    return *this;
}

Register::Field::~Field() = default;

void Register::Field::set_start(uint8_t start) {
    start_ = start;
    init_mask();
}

void Register::Field::set_len(uint8_t len) {
    len_ = len;
    init_mask();
}

void Register::Field::add_alias(const std::string& name, uint32_t value) {
    aliases_[name] = value;
}

// Bits beyond bit 31 do not exist; a field reaching past them keeps the bits it has.
void Register::Field::init_mask() {
    if (start_ >= 32 || len_ == 0) {
        mask_ = 0;
        return;
    }
    const uint64_t bits = len_ >= 32 ? 0xFFFFFFFFull : ((uint64_t{1} << len_) - 1);
    mask_ = static_cast<uint32_t>((bits << start_) & 0xFFFFFFFFull);
}

Register::Register() = default;

Register::Register(std::string name, uint32_t address)
    : name_(std::move(name)), address_(address) {}

Register::Register(const Register& other) = default;

Register& Register::operator=(const Register& other) {
    if (this != &other) {
        name_ = other.name_;
        address_ = other.address_;
        fields_ = other.fields_;
    }
    return *this;
}

Register::~Register() = default;

const Register::Field& Register::operator[](const std::string& field) const {
    const Field* found = find(field);
    if (found == nullptr) {
        throw std::runtime_error("Register: Field not found");
    }
    return *found;
}

const Register::Field* Register::find(const std::string& field) const {
    auto it = fields_.find(field);
    return it == fields_.end() ? nullptr : &it->second;
}

Register::Field& Register::add_field(const Field& field) {
    return fields_[field.get_name()] = field;
}

uint32_t Register::get_default_value() const {
    uint32_t value = 0;
    for (const auto& [name, field] : fields_) {
        value |= (field.get_default_value() << field.get_start()) & field.get_mask();
    }
    return value;
}

}  // namespace orvane
