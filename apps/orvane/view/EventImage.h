#pragma once

// The event picture the viewer shows: per pixel, whether an ON event, an OFF
// event or both fell in the shown window, packed two bits a pixel (0 none,
// 1 ON, 2 OFF, 3 both), four pixels a byte, rows in order.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ViewSource.h"
#include "orvane/Event2D.h"

namespace orvane::cli {

// Pixels drawn with an ON (or both) and with an OFF (or both) event.
struct EventPictureCounts {
    uint64_t onPixels = 0, offPixels = 0;
};

// Fed from a camera's acquisition thread, drawn from the viewer's thread: each
// pixel keeps the time of its last ON and its last OFF event, so any window up
// to the present can be drawn without keeping events. Plain relaxed atomics:
// a picture drawn while events arrive may show some of them, never torn times.
class LiveEventImage {
  public:
    LiveEventImage(uint16_t width, uint16_t height);

    // Acquisition thread.
    void add(const Event2D* begin, const Event2D* end);
    // The latest event time added (0 before any).
    uint64_t latest() const { return latest_.load(std::memory_order_relaxed); }
    // The pixels with an event in (end - window, end], packed.
    std::vector<uint8_t> draw(uint64_t end, uint64_t window, EventPictureCounts& counts) const;
    // About how many events fell in (end - window, end]: counted per range the
    // camera delivered, so exact to within one range at the window's start.
    uint64_t eventsIn(uint64_t end, uint64_t window) const;

    uint16_t width() const { return width_; }
    uint16_t height() const { return height_; }

  private:
    const uint16_t width_, height_;
    // Times are kept plus one, so that 0 means "never".
    std::unique_ptr<std::atomic<uint64_t>[]> on_, off_;
    std::atomic<uint64_t> latest_{0};
    // The running count of events after each delivered range, by the range's
    // last time: the last kRanges ranges.
    static constexpr size_t kRanges = 8192;
    mutable std::mutex rangesMutex_;
    std::vector<std::pair<uint64_t, uint64_t>> ranges_;  // ring of (time, count)
    size_t nextRange_ = 0;
    uint64_t counted_ = 0;
};

// Draws events (all of them: a recording's window) into a packed picture.
std::vector<uint8_t> packEvents(const std::vector<Event2D>& events, uint16_t width, uint16_t height,
                                EventPictureCounts& counts);

// A fusion camera's fusion image (counts per pixel and polarity, columns
// mirrored) as a packed picture; `events` is the sum of its counts.
std::vector<uint8_t> packFusionImage(const std::vector<uint16_t>& image, uint16_t width,
                                     uint16_t height, EventPictureCounts& counts, uint64_t& events);

// The viewer's message of a packed picture of the window [end - window, end)
// holding `events` events (the format is ViewPicture's): an event picture, or
// with `kind` 'F' a fusion image.
ViewPicture eventPicture(const std::vector<uint8_t>& packed, uint16_t width, uint16_t height,
                         uint64_t end, uint64_t window, const EventPictureCounts& counts,
                         uint64_t events, char kind = 'E');

}  // namespace orvane::cli
