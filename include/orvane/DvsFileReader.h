#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "orvane/Event2D.h"

namespace orvane {

// Reads a recorded event file: load it, then move the read position by time or
// by event number and pull events by count or by time span.
//
// Times and durations are microseconds of the sensor's time base; event numbers
// count events from the start of the recording, from 0. A reader serves one
// caller at a time. The order of the virtual operations is part of the
// interface.
//
// What a reader guarantees:
// - loadFile() never throws; a file it cannot read, or whose header is not a
//   valid EVT 3.0 header, fails with an error in the log naming the file and
//   the reason. Data that do not look like EVT 3.0 load with a warning.
// - Reading loops end and return every event exactly once:
//     while (!reader->reachedEndOfEvents()) reader->getNEvents(10000);
//     while (!reader->reachedEndOfEvents()) reader->getNTimeEvents(1000);
//   A query that reaches the end of the recording's data leaves the reader at
//   its end, so reachedEndOfEvents() turns true even where the last events come
//   before the end time.
// - The recording spans from its first event (or its first time word, if that
//   is earlier) to its last event: getStartTimeStamp and getEndTimeStamp, and
//   every time query, reach the events before the first time word (time 0) and
//   those after the last time-high word.
// - Times in a stream are not always monotonic: a time-low word can run ahead
//   and come back. seekTime(t) therefore stands just after the last event, in
//   stream order, whose time is before t: the next event read is the first at
//   or after t from a position where every later event is at or after t.
//   getCurrentPosEventNum() is that event's number, and getNEvents(n) returns
//   n events from there (fewer only at the end). A time range [a, b) is the
//   events between the positions of seekTime(a) and seekTime(b) (to the end of
//   the recording when b is past its end time, or is the end time itself for a
//   cut): cuts, exports and time queries agree on it. On a monotonic stream
//   this is simply the events with a <= time < b.
// - After seekNEvents(k) the next event returned is event k. Event counts and
//   numbers are 64-bit.
// - extractEventData() writes a file that decodes on its own to exactly the
//   events and times of the range, with the source's geometry.
class DvsFileReader {
  public:
    DvsFileReader() = default;
    DvsFileReader(const DvsFileReader&) = default;
    DvsFileReader& operator=(const DvsFileReader&) = default;
    virtual ~DvsFileReader() = default;

    virtual bool loadFile() = 0;
    virtual bool getStartTimeStamp(uint64_t& timestamp) = 0;
    virtual bool getEndTimeStamp(uint64_t& timestamp) = 0;
    virtual bool getMaxEvents(uint64_t& eventNum) = 0;
    virtual bool reachedEndOfEvents() = 0;
    virtual bool seekTime(uint64_t timestamp) = 0;
    virtual bool seekNEvents(uint64_t eventNum) = 0;
    virtual uint64_t getCurrentPosTimeStamp() = 0;
    virtual uint64_t getCurrentPosEventNum() = 0;
    virtual std::shared_ptr<std::vector<Event2D>> getNEvents(uint64_t n) = 0;
    virtual std::shared_ptr<std::vector<Event2D>> getNEventsGivenStartTimeStamp(uint64_t timestamp,
                                                                                uint64_t n) = 0;
    virtual std::shared_ptr<std::vector<Event2D>> getNEventsGivenStartEvent(uint64_t eventNum,
                                                                            uint64_t n) = 0;
    virtual std::shared_ptr<std::vector<Event2D>> getNTimeEvents(uint64_t duration) = 0;
    virtual std::shared_ptr<std::vector<Event2D>> getNTimeEventsGivenStartTimeStamp(
        uint64_t timestamp, uint64_t duration) = 0;
    virtual std::shared_ptr<std::vector<Event2D>> getNTimeEventsGivenStartEvent(
        uint64_t eventNum, uint64_t duration) = 0;
    virtual bool extractEventData(uint64_t startTime, uint64_t endTime, std::string outputPath) = 0;
    virtual bool exportEventDataToVideo(uint64_t startTime, uint64_t endTime,
                                        std::string outputPath) = 0;
    virtual uint16_t getWidth() const = 0;
    virtual uint16_t getHeight() const = 0;

    // A reader for the file's type, chosen by the text after the last '.' of the
    // path: ".raw" (exactly, case-sensitive) gives a RawFileReader; anything else,
    // or no '.', gives nothing. The file is not touched: call loadFile() next.
    static std::unique_ptr<DvsFileReader> createFileReader(std::string path);
};

}  // namespace orvane
