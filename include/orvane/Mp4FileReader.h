#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "orvane/ApsFileReader.h"

namespace orvane {

// Reads the video stream of a file FFmpeg can open (in practice the H.264 MP4
// files this library records) picture by picture.
//
// loadFile() reads every packet once to index the presentation times, then
// stands at the start. getNextFrame() decodes on until it has a picture and,
// at the end of the file, hands out the pictures the decoder still holds, so
// every picture is seen once. getNFrame() seeks to the key picture before the
// n-th packet's time and decodes up to it; getNextFrame() continues after it.
//
// Every packet of the time index yields its picture (packets an edit list
// marks as dropped included), and a picture's time in microseconds is its
// index entry rounded to the nearest microsecond, so both paths agree (equal
// for the files this library writes, whose time base is 1 us).
//
// The record's `data` points into the reader's own buffer: valid until the next
// read, the next loadFile or the reader's end. Reads before a successful
// loadFile return false.
//
// Copies: a copy of a loaded reader opens the file again for itself (same
// index, standing at the start), so no FFmpeg object is ever shared; if that
// fails the copy is unloaded and says so in the log. Moves take everything.
class Mp4FileReader : public ApsFileReader {
  public:
    explicit Mp4FileReader(std::string path);
    ~Mp4FileReader() override;
    Mp4FileReader(const Mp4FileReader& other);
    Mp4FileReader& operator=(const Mp4FileReader& other);
    Mp4FileReader(Mp4FileReader&& other) noexcept;
    Mp4FileReader& operator=(Mp4FileReader&& other) noexcept;

    // A second call releases the first load's objects and starts afresh.
    bool loadFile() override;
    bool getTimeStamps(std::vector<uint64_t>& timestamps) override;
    bool getNextFrame(ApsFrame& frame) override;
    bool getNFrame(int n, ApsFrame& frame) override;

    // The sensor time of the video's time 0 in microseconds, which fusion
    // recordings store in the tag kSensorTimeTag (the time of their first
    // picture's trigger pulse). False when the loaded file holds none.
    bool getSensorTimeOffset(uint64_t& offset) const;
    // With true, the times handed out from then on (getTimeStamps and the
    // records' `timestamp`) are sensor times: the file's own plus that offset,
    // in line with the events of the raw file recorded beside it. False, and
    // nothing changes, when the file holds no sensor time. A load keeps the choice.
    bool useSensorTimes(bool on);

    static constexpr const char* kSensorTimeTag = "orvane_sensor_time_us";

  private:
    struct Media;

    std::unique_ptr<Media> openMedia() const;
    bool decodeNext(ApsFrame& frame, int64_t& pts);
    uint64_t sensorShift() const;  // added to the times handed out

    std::string path_;
    std::vector<uint64_t> timeIndex_;  // the file's own times: getNFrame finds pictures by them
    std::unique_ptr<Media> media_;     // empty until loaded
    bool hasSensorTime_ = false;
    uint64_t sensorTimeOffset_ = 0;
    bool sensorTimes_ = false;  // asked for; applied only when the file has the tag
};

}  // namespace orvane
