#pragma once

// Writes events and trigger edges as a raw event file: a '%' header that
// carries the geometry, then EVT 3.0 words from our encoder. RawFileReader
// reads the result (and indexes it) like any recording.
//
// One thread at a time. Events and edges must come in time order, the two
// interleaved as the stream should hold them.

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "orvane/Event2D.h"
#include "orvane/EventTriggerIn.h"
#include "orvane/hal/Evt3Encoder.h"

namespace orvane {

class RawEventWriter {
  public:
    // Creates (or replaces) `path` and writes the header: `headerLines` that
    // begin with '%' (a source's own lines; those about the format, geometry,
    // EVT version and the end are replaced), then "% evt 3.0", the format and
    // geometry lines of width x height and "% end". Throws std::runtime_error
    // naming the file when it cannot be written, std::invalid_argument for a
    // geometry outside 1..2048.
    RawEventWriter(const std::string& path, uint16_t width, uint16_t height,
                   const std::vector<std::string>& headerLines = {});
    RawEventWriter(const RawEventWriter&) = delete;
    RawEventWriter& operator=(const RawEventWriter&) = delete;

    // Throws std::invalid_argument naming the file when an event lies outside
    // the geometry or earlier than what was written before it; nothing of the
    // offending call is written then.
    void addEvents(const Event2D* begin, const Event2D* end);
    void addTrigger(const EventTriggerIn& trigger);
    // Writes what is buffered and closes the file; throws std::runtime_error
    // naming the file when the disk did not take it all.
    void finish();

    uint64_t events() const { return events_; }
    uint64_t triggers() const { return triggers_; }

  private:
    void flushIfFull();

    std::string path_;
    uint16_t width_, height_;
    std::ofstream out_;
    Evt3Encoder encoder_;
    std::vector<uint8_t> words_;
    uint64_t events_ = 0, triggers_ = 0;
    uint64_t lastTime_ = 0;
};

}  // namespace orvane
