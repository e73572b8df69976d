#pragma once

// A quick look at whether bytes read as an EVT 3.0 stream as a sensor writes one.

#include <cstdint>

namespace orvane {

// What a sensor never writes: words of the reserved types, and time-high words
// that do not step by one (a sensor writes every step of the high part, so the
// only decrease is the wrap from 0xFFF to 0). Each backward jump makes a decoder
// count a wrap of the 24-bit counter, adding about 16.8 s to every later time.
struct Evt3Survey {
    uint64_t words = 0;
    uint64_t timeHighWords = 0;
    uint64_t backwardTimeJumps = 0;
    uint64_t forwardTimeJumps = 0;
    uint64_t reservedWords = 0;
};

// Surveys the whole words of [begin, end).
Evt3Survey evt3Survey(const uint8_t* begin, const uint8_t* end);

}  // namespace orvane
