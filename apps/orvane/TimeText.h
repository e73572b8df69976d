#pragma once

// Times on the command line: read with units, shown with units.

#include <cstdint>
#include <string>

namespace orvane::cli {

// "1.5s", "250ms", "1500us" (also "µs"); a bare number is microseconds. Throws
// UsageError naming `option` for anything else, negative times included.
uint64_t parseTime(const std::string& text, const std::string& option);

// The time in the largest unit that keeps it above 1: "1.5 s", "250 ms", "17 us".
std::string formatTime(uint64_t microseconds);

// Seconds with a unit, for rates and elapsed wall time: "3.2 s".
std::string formatSeconds(double seconds);

// Bytes in B, KB, MB or GB (powers of 1000).
std::string formatBytes(double bytes);

}  // namespace orvane::cli
