#pragma once

// One EVT 3.0 stream out of a camera's runs, whose time base restarts with
// each start of the sensor.

#include <cstdint>
#include <vector>

namespace orvane {

// Rewrites the time-high words of each run after the first so that the run
// begins at the 4096 us step after the time the stream reached before it: its
// first time-high becomes that step, and every later one moves by as much
// (modulo the 12-bit high part, so wraps of the 24-bit counter stay where the
// shifted time puts them). Any decoder then reads the runs as one stream whose
// time never goes back. The time-lows and everything else are left as they are.
//
// One thread at a time; buffers of a run are applied in stream order.
class Evt3RunJoiner {
  public:
    // A run begins. `reached` is the time a decoder of the stream so far has
    // reached (Decoder::getCurrentTimestamp); at 0 (nothing decoded yet) the run
    // keeps its own times.
    void beginRun(uint64_t reached);
    // Rewrites the buffer's time-high words in place. A word split between two
    // buffers keeps its time-high as it is.
    void apply(std::vector<uint8_t>& buffer);

  private:
    void shift(uint8_t* begin, uint8_t* end) const;

    bool awaitingHigh_ = false;  // the run's first time-high sets the shift
    uint32_t firstHigh_ = 0;     // what that first time-high becomes
    uint32_t shift_ = 0;         // added to every time-high of the run, modulo 4096
    bool oddByte_ = false;       // the last buffer ended inside a word
};

}  // namespace orvane
