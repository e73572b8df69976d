#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvane {

// Swaps the two bytes of every 16-bit word in place; an odd last byte stays.
// It runs on every buffer of the fusion camera, at memory speed.
void convertEndian(std::vector<uint8_t>& buffer);
void convertEndian(uint8_t* data, size_t size);

}  // namespace orvane
