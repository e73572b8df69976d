#pragma once

#include <cstdint>

namespace orvane {

// One entry of a raw file's time index: where decoding starts to reach a time.
struct Bookmark {
    uint64_t position = 0;    // byte offset in the raw file (header included) of a payload word
    uint8_t reserved = 0;     // carries nothing; written as 0, loaded as found
    uint64_t timestamp = 0;   // microseconds; equals the index key
    uint64_t eventIndex = 0;  // events from the first bookmark's position up to `position`
};

inline bool operator==(const Bookmark& a, const Bookmark& b) {
    return a.position == b.position && a.reserved == b.reserved && a.timestamp == b.timestamp &&
           a.eventIndex == b.eventIndex;
}
inline bool operator!=(const Bookmark& a, const Bookmark& b) {
    return !(a == b);
}

}  // namespace orvane
