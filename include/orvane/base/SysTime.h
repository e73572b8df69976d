#pragma once

#include <string>

namespace orvane {

// Local time as text, "YYYY-MM-DD hh:mm:ss" (e.g. "2026-12-05 16:03:38").
std::string getSysTime();

}  // namespace orvane
