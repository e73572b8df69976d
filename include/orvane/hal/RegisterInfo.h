#pragma once

#include <cstdint>

// One row of a static register table. A register row opens a register, the
// field rows after it belong to it, and the alias rows after a field row belong
// to that field. Shared with the hardware layer as a plain structure, hence
// outside the namespace.
enum RegisterInfoType : uint32_t {
    TYPE_REGISTER = 0,
    TYPE_FIELD = 1,
    TYPE_ALIAS = 2,
};

struct RegisterInfo {
    uint32_t type;          // RegisterInfoType
    const char* name;       // register, field or alias name
    uint32_t address;       // register: address; field: lowest bit; alias: its value
    uint32_t length;        // field: width in bits (1..32); 0 otherwise
    uint32_t defaultValue;  // field: default, right-aligned; 0 otherwise
};
