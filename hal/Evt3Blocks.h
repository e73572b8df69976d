#pragma once

// The EVT 3.0 decoder's wide path: eight words per step with AVX2, for every
// word but triggers and wraps of the time counter. It lives apart from the
// decoder because it is compiled for AVX2 and runs only where the CPU has it.

#include <cstddef>
#include <cstdint>

#include "orvane/Event2D.h"

namespace orvane::evt3 {

// Whether the wide paths may run: the CPU has the instructions and nobody forced
// the scalar code (evt3ForceScalar, or ORVANE_SIMD=scalar in the environment).
bool useSse2();
bool useAvx2();

// The decoder state in the form the blocks carry it.
struct BlockState {
    uint32_t y = 0;
    uint32_t high = 0;
    uint32_t low = 0;
    uint64_t offset = 0;  // a multiple of 2^24; the blocks never change it
    uint32_t baseX = 0;   // below 2^16
    uint32_t vectorPolarity = 0;
};

// Events one block writes at most past `out`: eight vector words of twelve.
constexpr size_t kMaxBlockEvents = 96;

// Decodes blocks of eight words from `words` up to the first trigger or wrap of
// the time counter, which are the scalar decoder's (and vector words once the
// base x nears saturation), while `out` stays at or below `limit` (each block
// may write kMaxBlockEvents past `out`).
// Returns the number of words decoded; `state` and `out` (or `events`) follow
// them.
size_t decodeBlocksAvx2(const uint8_t* words, size_t count, BlockState& state, Event2D*& out,
                        const Event2D* limit);
size_t countBlocksAvx2(const uint8_t* words, size_t count, BlockState& state, uint64_t& events);

}  // namespace orvane::evt3
