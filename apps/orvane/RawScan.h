#pragma once

// Raw recordings for the commands: opened with clear errors, and measured by a
// plain pass of the decoder over the payload.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "orvane/RawFileReader.h"

namespace orvane::cli {

struct RawHeader {
    std::vector<std::pair<std::string, std::string>> fields;  // "% key value" lines, in order
    uint16_t width = 0, height = 0;
    uint64_t payloadOffset = 0;
    uint64_t fileSize = 0;
};

// Reads the header of a .raw recording. Throws Failure naming the file when it
// is missing, unreadable, has no '%' header (so is no recording this library
// wrote or reads), is not EVT 3.0 or has a malformed geometry.
RawHeader readRawHeader(const std::string& path);

// Whether a valid index of the recording is kept beside it.
bool indexIsCached(const std::string& path, const RawHeader& header);

// A loaded reader, the index built with a progress bar when it is not cached.
// Throws Failure naming the file.
std::unique_ptr<RawFileReader> openRecording(const std::string& path, bool quiet);

// What a full decode of the payload finds.
struct RecordingFacts {
    uint64_t events = 0;
    uint64_t on = 0;
    uint64_t triggerEdges = 0;
    uint64_t triggerRising = 0;
    uint64_t firstTime = 0, lastTime = 0;  // of the events; 0 without events
    uint64_t peakPerMs = 0;                // most events in one millisecond of sensor time
    uint64_t peakAtMs = 0;                 // the start of that millisecond, microseconds
    uint64_t timeBackwards = 0;            // events earlier than the one before
    uint64_t recordingGaps = 0;            // places where the recorder lost data
    uint64_t lostTimeHighs = 0;            // time-high words the decoder assumed
};

// Decodes the whole payload once, chunk by chunk, with a progress bar.
RecordingFacts scanRecording(const std::string& path, const RawHeader& header, bool quiet);

// A time window [from, to).
struct TimeRange {
    uint64_t from = 0, to = 0;
};
// A range's `to` that takes every event to the end of the payload, those after
// the index's end time included.
constexpr uint64_t kToTheEnd = UINT64_MAX;
// The index's time range: its start and end times, `to` one past the end.
TimeRange recordingRange(RawFileReader& reader);

// Hands `sink` the events of [from, to) in order (those between the reader's
// seeks to `from` and `to`, to the last event when `to` is past the end time),
// slice by slice through the reader's time queries, and `progress` the
// microseconds done and in all.
// Bounded by the range: each slice moves the read position by its length.
using EventSink = std::function<void(const Event2D* begin, const Event2D* end)>;
using ProgressSink = std::function<void(uint64_t done, uint64_t total)>;
void forEachEvent(RawFileReader& reader, TimeRange range, uint64_t slice, const EventSink& sink,
                  const ProgressSink& progress);

}  // namespace orvane::cli
