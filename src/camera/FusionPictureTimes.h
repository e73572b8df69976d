#pragma once

// The times of a fusion camera's pictures: each picture gets the trigger pulse
// that closed it, also when the picture reaches the host before the event
// buffer that carries its pulse has been decoded.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

namespace orvane {

// The pictures and the pulses come one per exposure, on two streams with
// their own delays, both starting with a run's first exposure. Until the
// rhythm of the pulses is known, the n-th picture of a run (counting those the
// host dropped) takes the run's n-th pulse: counts hold however late either
// stream is on a loaded host, where comparing arrival times pairs a picture
// with its neighbour's pulse. Then a picture takes the pulse found at the time
// expected from the previous picture's and the rhythm (pulses older than that
// belong to pictures the host lost, counted by the caller), which a lost pulse
// cannot shift. A picture whose pulse is not there waits for it, at most
// kMaxWait. A picture whose pulse was lost, or did not come in time, goes
// without: it carries the time its pulse was expected at (0 before the rhythm
// is known) and no fusion image; such pictures are counted, the first of a run
// logged.
//
// Threads: the event thread calls edge; the frame thread calls next; the
// application's thread calls begin and end around a run.
class FusionPictureTimes {
  public:
    struct Times {
        uint64_t start = 0;    // exposure start (level 0 edge)
        uint64_t frame = 0;    // the closing pulse (level 1 edge)
        bool matched = false;  // `frame` is the time of the picture's own pulse
        bool timed = false;    // matched, or `frame` is when that pulse was expected
    };

    explicit FusionPictureTimes(std::string owner);

    // A run begins; `pulses`: whether events are decoded, so pulses can come;
    // `pictures`: whether the frames stream.
    void begin(bool pulses, bool pictures);
    // The run ends: a waiting picture returns at once.
    void end();
    // Event thread: a trigger edge, closing a picture unless its level is 0.
    void edge(uint64_t timestamp, bool closing);
    // Frame thread: the times of the next picture, `missed` pictures after the
    // previous one (the host dropped those). Without pulses (no event stream)
    // the latest edges' times, at once.
    Times next(uint64_t missed);

    // The pulse time of the latest picture given its own pulse (0 before the
    // first); UINT64_MAX when no pictures stream, so no picture waits for any.
    uint64_t delivered() const;
    // Pictures that went without their pulse, since construction.
    uint64_t picturesWithoutPulse() const;

    // Long enough for the event stream's start, which comes in a burst.
    static constexpr std::chrono::milliseconds kMaxWait{250};
    // Pulses waiting for their pictures: a frame thread this many pictures
    // behind the events finds its pulse gone.
    static constexpr size_t kPulsesKept = 16;
    static constexpr size_t kIntervalsKept = 4;

  private:
    struct Pulse {
        uint64_t start, frame;
        uint64_t number;  // of the run's closing pulses, from 0
    };
    Times without(uint64_t expected);  // caller holds mutex_

    const std::string owner_;
    mutable std::mutex mutex_;
    std::condition_variable pulseArrived_;
    bool pulsesExpected_ = false;
    bool pictures_ = false;
    bool ending_ = false;  // a run with pulses is stopping
    uint64_t delivered_ = 0;
    std::deque<Pulse> pulses_;   // not given to a picture yet, oldest first
    Pulse latest_{0, 0, 0};      // the latest edges, given when no pulses come
    uint64_t pulsesSeen_ = 0;    // closing pulses of the run
    uint64_t picturesSeen_ = 0;  // pictures of the run, those dropped included
    bool havePulse_ = false;
    // The rhythm: the shortest of the last intervals between closing pulses (a
    // lost pulse makes one interval longer, never shorter).
    uint64_t intervals_[kIntervalsKept] = {};
    size_t nextInterval_ = 0;
    // The frame time given to the previous picture (or expected for it).
    bool haveLast_ = false;
    uint64_t last_ = 0;
    uint64_t without_ = 0;
    bool withoutLogged_ = false;
};

}  // namespace orvane
