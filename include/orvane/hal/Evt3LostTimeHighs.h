#pragma once

// Time-high words lost with a dropped buffer, and how the EVT 3.0 decoder
// bridges them.

#include <cstdint>

#include "orvane/hal/Decoder.h"

namespace orvane {

// A sensor writes a time-high word at every step of the high part, so a
// time-low far below the one in effect, with no time-high between, means the
// time-high of the next step was lost (with a dropped buffer, say): the
// decoder, the index walks and the file reader then assume that next step
// rather than let the time fall back by up to 4 ms. "Far" is more than
// kEvt3LostTimeHighDrop microseconds: a sensor's time-lows run ahead of their
// successors by a few microseconds (11 in the Gen 4.1 sample), never by that.
constexpr uint32_t kEvt3LostTimeHighDrop = 1024;

// The time-high words `decoder` assumed so far; 0 when it is no EVT 3.0 decoder.
uint64_t evt3AssumedTimeHighs(const Decoder& decoder);

}  // namespace orvane
