// FFmpeg's own log, sent through orvane's logger.
#pragma once

namespace orvane {

// From the first call on, FFmpeg's errors and warnings reach the logger at
// LOG_ERROR and LOG_WARNING, its information lines at LOG_DEBUG (so nothing
// by default), and its more verbose lines nowhere. Idempotent, thread-safe.
void routeFFmpegLog();

}  // namespace orvane
