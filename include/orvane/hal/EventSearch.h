#pragma once

#include <cstdint>

#include "orvane/Event2D.h"

namespace orvane {

// The first event of the time-ordered range [begin, end) whose timestamp is
// beyond `t`, or `end` when there is none. An event at exactly `t` is not beyond it.
const Event2D* binarySearchTimestamp(uint64_t t, const Event2D* begin, const Event2D* end);

}  // namespace orvane
