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
