#include "orvane/hal/EventSearch.h"

#include <algorithm>

namespace orvane {

const Event2D* binarySearchTimestamp(uint64_t t, const Event2D* begin, const Event2D* end) {
    return std::upper_bound(
        begin, end, t, [](uint64_t time, const Event2D& event) { return time < event.timestamp; });
}

}  // namespace orvane
