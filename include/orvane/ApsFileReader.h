#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "orvane/ApsFrame.h"

namespace orvane {

// Reads recorded frame-sensor video: load it, then take its pictures in order
// or by index, as packed BGR with their times in microseconds. A reader serves
// one caller at a time. The order of the virtual operations is part of the
// interface.
class ApsFileReader {
  public:
    ApsFileReader() = default;
    ApsFileReader(const ApsFileReader&) = default;
    ApsFileReader& operator=(const ApsFileReader&) = default;
    virtual ~ApsFileReader() = default;

    // Opens and indexes the file; reads need a successful load first.
    virtual bool loadFile() = 0;
    // The presentation time of every video packet, in file order, in the
    // stream's own units (microseconds for the files this library writes).
    virtual bool getTimeStamps(std::vector<uint64_t>& timestamps) = 0;
    // The next picture. False at the end of the file or on a failed conversion.
    virtual bool getNextFrame(ApsFrame& frame) = 0;
    // The picture of the n-th video packet; reading then goes on with picture
    // n + 1. False before a successful loadFile; on a loaded reader, throws
    // std::out_of_range for an n outside the time index.
    virtual bool getNFrame(int n, ApsFrame& frame) = 0;

    // Known after loadFile.
    uint16_t getWidth() const { return width; }
    uint16_t getHeight() const { return height; }

    // A reader for the file's type, chosen by the text after the last '.' of the
    // path: ".mp4" (exactly, case-sensitive) gives an Mp4FileReader; anything
    // else, or no '.', gives nothing. The file is not touched: call loadFile().
    static std::unique_ptr<ApsFileReader> createFileReader(std::string path);

  protected:
    uint16_t width = 0;
    uint16_t height = 0;
};

}  // namespace orvane
