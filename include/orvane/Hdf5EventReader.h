#pragma once

// Reads an HDF5 event file of the layout Hdf5EventWriter.h describes, block by
// block, with every value checked before it is handed out: a file of another
// layout, or with events no sensor of its geometry makes, gets an error that
// names the file and the problem, never a crash.
//
// Lenient where the public datasets differ from what we write: `t` and the
// coordinates may have any integer type (u32 times, for one), `t_offset` may be
// absent (0) and so may the `triggers` group (no edges).
//
// One thread at a time; deflated chunks are inflated on a few threads of the
// reader's own, joined when it is destroyed.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "orvane/Event2D.h"
#include "orvane/EventTriggerIn.h"

namespace orvane {

class Hdf5EventReader {
  public:
    // Opens `path` and checks its layout: throws std::runtime_error when it
    // cannot be opened, std::invalid_argument when it is no HDF5 file, lacks
    // events/x, y, p or t, the width or height attribute, or when datasets that
    // go together differ in length; the message names the file.
    explicit Hdf5EventReader(const std::string& path);
    ~Hdf5EventReader();
    Hdf5EventReader(const Hdf5EventReader&) = delete;
    Hdf5EventReader& operator=(const Hdf5EventReader&) = delete;

    uint16_t width() const;
    uint16_t height() const;
    // Microseconds of the sensor's clock that `t` counts from.
    int64_t tOffset() const;
    // The source recording's '%' header lines (empty when none were kept).
    const std::vector<std::string>& headerLines() const;
    uint64_t eventCount() const;
    uint64_t triggerCount() const;

    // Replaces `out` with events [first, first + count) (fewer at the end), their
    // times on the sensor's clock. Throws std::invalid_argument naming the file
    // and the event when one lies outside the geometry, has a polarity other
    // than 0 or 1, or is earlier than the event before it (checked across
    // reads that follow each other).
    void readEvents(uint64_t first, uint64_t count, std::vector<Event2D>& out);
    // The same for trigger edges (levels 0 or 1, channels 0..15, in time order).
    void readTriggers(uint64_t first, uint64_t count, std::vector<EventTriggerIn>& out);

    // The events with times in [from, to) on the sensor's clock, as an index
    // range, found through ms_to_idx and one millisecond of times at each end.
    // Throws std::invalid_argument when the file has no usable ms_to_idx.
    std::pair<uint64_t, uint64_t> eventRange(uint64_t from, uint64_t to);

  private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace orvane
