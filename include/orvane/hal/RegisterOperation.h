#pragma once

#include <cstdint>

namespace orvane {

enum RegisterOperationType : uint32_t {
    OP_WRITE = 2,
    OP_MASKED_WRITE = 3,  // only the bits of `mask` take the bits of `value`
    OP_DELAY = 4,
};

// One step of a register operation sequence.
struct RegisterOperation {
    uint32_t type;     // RegisterOperationType
    uint32_t address;  // write and masked write
    uint32_t value;    // write and masked write
    uint32_t mask;     // masked write
    uint32_t delay;    // delay, in microseconds
};

}  // namespace orvane
