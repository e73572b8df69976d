#pragma once

// The wide path's word-by-word loop for runs of vector words, as rows of dense
// activity send them: a vector word whose valid bits start at bit 0 (full
// words above all) is written from one template in six stores, with no work
// per bit. Word by word, its branches follow the row's repeating pattern of
// row, base and vector words, which the predictor learns; real data's mix of
// words stays with the blocks.

#include <cstddef>
#include <cstdint>

#include "Evt3Blocks.h"

namespace orvane::evt3 {

// Decodes words from `words` up to the first that is not a row, base, vector or
// low time word (single events are the blocks' strength), while the base x
// stays clear of saturation (the scalar decoder's) and `out` at or below
// `limit` (each word may write kMaxBlockEvents past `out`, as the blocks do).
// Returns the words decoded; `state` and `out` follow them.
size_t decodeRunsAvx2(const uint8_t* words, size_t count, BlockState& state, Event2D*& out,
                      const Event2D* limit);

}  // namespace orvane::evt3
