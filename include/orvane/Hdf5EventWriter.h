#pragma once

// Writes events and trigger edges to an HDF5 file in the layout of the public
// event-camera datasets, which users read with their own scripts:
//
//   /events/x        u16   column
//   /events/y        u16   row
//   /events/p        u8    polarity, 0 or 1
//   /events/t        i64   microseconds after t_offset
//   /t_offset        i64   scalar, microseconds of the sensor's clock
//   /ms_to_idx       u64   entry k: index of the first event with t >= k * 1000
//                          (k = 0 .. last event's millisecond + 1; the last
//                          entry is the number of events)
//   /triggers/t      i64   microseconds after t_offset
//   /triggers/p      u8    level after the edge, 0 or 1
//   /triggers/id     u8    input channel
//
// The attributes live on the root group, where h5py shows them as `f.attrs`:
// `width` and `height` (u16, the sensor's geometry) and `header_lines` (the
// source recording's '%' header lines, as they were, without their line feeds;
// empty when there was none).
//
// `t` is i64 rather than u32: u32 microseconds wrap after 71 minutes, and a
// trigger edge may come before t_offset. Every dataset is 1-D, chunked and
// extendable; with deflate (level 1, behind HDF5's byte shuffle, both in every
// HDF5 build) or uncompressed.
//
// One pass, bounded memory: events go out eight chunks at a time, whatever
// the recording's length. One thread at a time; with deflate, the writer
// compresses on a few threads of its own, joined when it is destroyed.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "orvane/Event2D.h"
#include "orvane/EventTriggerIn.h"

namespace orvane {

class Hdf5EventWriter {
  public:
    enum class Compression { Deflate, None };
    struct Options {
        Compression compression = Compression::Deflate;
        // Without one, t_offset is the first event's time (the first edge's in a
        // file without events, or when 4096 edges come before any event).
        std::optional<uint64_t> tOffset;
    };

    // Creates (or replaces) `path`. Throws std::runtime_error naming the file
    // when it cannot be created.
    Hdf5EventWriter(const std::string& path, uint16_t width, uint16_t height,
                    const std::vector<std::string>& headerLines, Options options);
    // Closes the file; unless finish() ran, it is incomplete (its ms_to_idx and
    // t_offset missing) and should be removed by whoever made it.
    ~Hdf5EventWriter();
    Hdf5EventWriter(const Hdf5EventWriter&) = delete;
    Hdf5EventWriter& operator=(const Hdf5EventWriter&) = delete;

    // Events outside the geometry are left out and counted (outsideGeometry()).
    // Times may step back (the file holds them as given); ms_to_idx still gives
    // the first index at or after each millisecond.
    void addEvents(const Event2D* begin, const Event2D* end);
    void addTrigger(const EventTriggerIn& trigger);
    // Writes what is buffered, ms_to_idx's last entry and t_offset, and closes
    // the file. Throws std::runtime_error naming the file when a write fails
    // (a full disk).
    void finish();

    uint64_t events() const;
    uint64_t triggers() const;
    uint64_t outsideGeometry() const;

  private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace orvane
