#pragma once

// The position of a playback (a recording or a video) in its own time: it
// runs at a speed while playing, stops at the end, and jumps on a seek. The
// first viewer starts it: nobody would see its first seconds otherwise.

#include <chrono>
#include <cstdint>

#include "ViewSource.h"

namespace orvane::cli {

class PlaybackClock {
  public:
    PlaybackClock(uint64_t start, uint64_t end);

    // Moves the position by the time since the last call; true when there is
    // a new position to show.
    bool advance();
    uint64_t position() const { return position_; }
    void joined();
    // {"op":"seek","t":us}, {"op":"speed","x":0.01..1000}, {"op":"pause"},
    // {"op":"play"}; throws UsageError for others, naming `what` takes them.
    Json control(const Json& request, const std::string& what);
    Json status() const;

  private:
    uint64_t start_, end_;
    uint64_t position_;
    double speed_ = 1.0;
    bool paused_ = true;
    bool everJoined_ = false;
    bool moved_ = true;  // the position is yet to be shown
    std::chrono::steady_clock::time_point lastTick_;
};

}  // namespace orvane::cli
