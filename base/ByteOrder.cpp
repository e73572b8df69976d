#include "orvane/base/ByteOrder.h"

#include <cstring>

namespace orvane {

namespace {

// Swaps byte pairs 8 bytes at a time; the compiler turns the loop into vector
// shuffles. The AVX2 clone doubles the width where the CPU has it.
__attribute__((target_clones("avx2", "default"))) void swapPairs(uint8_t* data, size_t words) {
    constexpr uint64_t kLowBytes = 0x00FF00FF00FF00FFull;
    size_t lanes = words / 4;
    for (size_t i = 0; i < lanes; ++i) {
        uint64_t v;
        std::memcpy(&v, data + 8 * i, 8);
        v = ((v & kLowBytes) << 8) | ((v >> 8) & kLowBytes);
        std::memcpy(data + 8 * i, &v, 8);
    }
    for (size_t w = lanes * 4; w < words; ++w) {
        uint8_t t = data[2 * w];
        data[2 * w] = data[2 * w + 1];
        data[2 * w + 1] = t;
    }
}

}  // namespace

void convertEndian(uint8_t* data, size_t size) {
    if (data != nullptr) {
        swapPairs(data, size / 2);
    }
}

void convertEndian(std::vector<uint8_t>& buffer) {
    convertEndian(buffer.data(), buffer.size());
}

}  // namespace orvane
