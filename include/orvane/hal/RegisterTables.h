#pragma once

#include <cstdint>

#include "orvane/hal/RegisterInfo.h"

namespace orvane {

// The IMX636-family event sensor: 742 registers, 2011 fields, 126 aliases.
// Register names carry their block ("ro/ro_ctrl"); the controller is given the
// prefix "PSEE/IMX636/".
extern const RegisterInfo imx636RegisterTable[];
constexpr uint32_t kImx636RegisterTableRows = 2879;

// The fusion camera keeps its own, identical copy of the IMX636 table.
namespace fusion {
extern const RegisterInfo imx636RegisterTable[];
}

// The IMX415 frame sensor of the fusion camera. Its tenth row,
// `aps_blk_level_offset`, is typed as a register but carries a field's width and
// default; the register map reads it as a field of `aps_blk_level`.
extern const RegisterInfo imx415RegisterTable[];
constexpr uint32_t kImx415RegisterTableRows = 10;

}  // namespace orvane
