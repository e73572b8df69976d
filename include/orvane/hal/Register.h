#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace orvane {

// A named register with named bit fields, as a value.
class Register {
  public:
    // A bit field: `len` bits from bit `start`, with a right-aligned default and
    // named values (aliases).
    class Field {
      public:
        Field();
        // Takes over `name` (left empty), copies the aliases.
        Field(std::string name, uint8_t start, uint8_t len, uint32_t defaultValue,
              const std::map<std::string, uint32_t>& aliases);
        Field(const Field& other);
        Field& operator=(const Field& other);
        ~Field();

        const std::string& get_name() const { return name_; }
        uint8_t get_start() const { return start_; }
        uint8_t get_len() const { return len_; }
        uint32_t get_default_value() const { return defaultValue_; }
        uint32_t get_mask() const { return mask_; }
        const std::map<std::string, uint32_t>& get_aliases() const { return aliases_; }

        void set_start(uint8_t start);
        void set_len(uint8_t len);
        // Sets or overwrites a named value.
        void add_alias(const std::string& name, uint32_t value);

      private:
        void init_mask();

        std::string name_;
        uint8_t start_ = 0;
        uint8_t len_ = 0;
        uint32_t mask_ = 0;
        uint32_t defaultValue_ = 0;
        std::map<std::string, uint32_t> aliases_;
    };

    Register();
    // Takes over `name` (left empty).
    Register(std::string name, uint32_t address);
    Register(const Register& other);
    Register& operator=(const Register& other);
    ~Register();

    const std::string& get_name() const { return name_; }
    uint32_t get_address() const { return address_; }
    // Throws std::runtime_error "Register: Field not found".
    const Field& operator[](const std::string& field) const;
    // The field of that name, or nullptr.
    const Field* find(const std::string& field) const;
    const std::map<std::string, Field>& fields() const { return fields_; }
    // Adds or replaces the field of the same name.
    Field& add_field(const Field& field);
    // A register object holds no device value; see RegisterController for reads.
    uint32_t get_value() const { return 0; }
    // The register's value at reset: every field's default in place.
    uint32_t get_default_value() const;

  private:
    std::string name_;
    uint32_t address_ = 0;
    std::map<std::string, Field> fields_;
};

}  // namespace orvane
