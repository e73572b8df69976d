// Byte order of 16-bit words, as the fusion camera's USB bridge swaps them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvane {

// Swaps the two bytes of every 16-bit word in place; an odd last byte stays.
// It runs on every buffer of the fusion camera, at memory speed.
void convertEndian(std::vector<uint8_t>& buffer);
void convertEndian(uint8_t* data, size_t size);

// How convertEndian swaps: the widest vector code the CPU runs, chosen once at
// run time, or the portable scalar code on other CPUs and when ORVANE_SIMD is
// "scalar" in the environment.
enum class ByteSwapPath { Scalar, Sse2, Avx2 };
ByteSwapPath byteSwapPath();
// Swaps with the given path, for tests and benchmarks; false (and nothing
// swapped) when this CPU or build lacks it. Scalar is always there.
bool convertEndian(uint8_t* data, size_t size, ByteSwapPath path);

}  // namespace orvane
