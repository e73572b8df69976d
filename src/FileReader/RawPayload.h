#pragma once

// Small helpers shared by the raw reader's parts (the index, the seeks and
// queries, the cut and export) for reading an EVT 3.0 payload in whole words
// and gathering its events.

#include <cstdint>
#include <istream>
#include <limits>
#include <vector>

#include "orvane/Event2D.h"

namespace orvane::payload {

// EVT 3.0 words; the fast index and the seeks walk them through the hal scans.
constexpr uint64_t kWordBytes = 2;

inline uint64_t evenDown(uint64_t n) {
    return n & ~(kWordBytes - 1);
}

inline uint64_t saturatingAdd(uint64_t a, uint64_t b) {
    return b > std::numeric_limits<uint64_t>::max() - a ? std::numeric_limits<uint64_t>::max()
                                                        : a + b;
}

// Reads up to `size` bytes at the stream's position; returns the count read.
inline uint64_t readInto(std::istream& in, std::vector<uint8_t>& buffer, uint64_t size) {
    buffer.resize(size);
    in.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(size));
    const uint64_t got = static_cast<uint64_t>(in.gcount());
    buffer.resize(got);
    return got;
}

// Payloads are whole 2-byte words from their start, and every read starts on a
// word, so an odd read is the file's last byte: it can never complete a word.
// Handing it to the decoder would leave it waiting there and join it with the
// first byte of whatever is read after the next seek.
inline void dropLoneLastByte(std::vector<uint8_t>& buffer) {
    buffer.resize(evenDown(buffer.size()));
}

inline void append(std::vector<Event2D>& to, const Event2D* begin, const Event2D* end) {
    to.insert(to.end(), begin, end);
}

}  // namespace orvane::payload
