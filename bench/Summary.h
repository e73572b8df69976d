#pragma once

#include <string>

namespace orvane::bench {

// A line of the summary printed after all benchmarks: the ratio of one counter
// of two benchmarks measured in the same run, e.g. convertEndian against memcpy.
void addRatio(const std::string& label, const std::string& numerator,
              const std::string& denominator, const std::string& counter);

// A free-form line for the summary (figures a benchmark computes itself).
void addNote(const std::string& line);

}  // namespace orvane::bench
