#pragma once

// Videos for the commands that read them: opened with a named error, and the
// times of their pictures in microseconds.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "orvane/ApsFileReader.h"

namespace orvane::cli {

// Throws Failure naming the path when it is no video the reader can load.
std::unique_ptr<ApsFileReader> openVideo(const std::string& path);
// The pictures' times in microseconds, in file order.
std::vector<uint64_t> pictureTimes(ApsFileReader& reader, const std::string& path);

}  // namespace orvane::cli
