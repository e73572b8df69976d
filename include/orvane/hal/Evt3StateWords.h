#pragma once

// Words that let an EVT 3.0 stream be cut anywhere and still decode on its own.

#include <cstdint>
#include <vector>

#include "orvane/hal/Decoder.h"

namespace orvane {

// The EVT 3.0 words that bring a fresh decoder to the state `decoder` has now:
// one pair of time-high words 0xFFF, 0x000 per wrap of the 24-bit counter (so
// that absolute times survive), then time high, time low, row and, where the
// vector state is not a fresh decoder's, the vector base with its polarity.
// Written before the stream's remaining words, they make those words decode to
// exactly the events and times the original decoder would have produced.
// Empty when `decoder` is not an EVT 3.0 decoder.
std::vector<uint8_t> evt3StateWords(const Decoder& decoder);

// Where a recording lost data (a disk that fell behind or refused writes), it
// writes these two words before the state words that follow the gap: an OTHERS
// word and a CONTINUED_12 word whose values sensors do not send, which every
// decoder ignores and `orvane info` counts.
constexpr uint16_t kEvt3GapMarker[2] = {0xEFA9, 0xF6A9};

}  // namespace orvane
