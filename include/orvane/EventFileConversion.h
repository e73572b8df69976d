#pragma once

// Raw recordings to HDF5 event files and back, each in one streaming pass.

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "orvane/Callbacks.h"
#include "orvane/Hdf5EventWriter.h"

namespace orvane {

struct ConversionCounts {
    uint64_t events = 0;           // written
    uint64_t triggers = 0;         // trigger edges written
    uint64_t outsideGeometry = 0;  // events left out: beyond the geometry
};

// Called as the work goes: payload bytes (raw input) or events (HDF5 input)
// done and in all. It may throw to stop the work; the output is then
// incomplete and the caller's to remove.
using ConversionProgress = std::function<void(uint64_t done, uint64_t total)>;

// What a raw recording's header says, for the formats that carry it along.
struct RecordingHeader {
    uint16_t width = 1280, height = 720;
    std::vector<std::string> lines;  // its '%' lines but "% end", without line feeds
    uint64_t payloadOffset = 0, fileSize = 0;
};
// Throws std::runtime_error naming the file when it cannot be opened,
// std::invalid_argument when it is no EVT 3.0 raw file.
RecordingHeader readRecordingHeader(const std::string& rawPath);

// Decodes the payload of `rawPath` once, in order, handing `events` the events
// and `triggers` the edges with times in [from, to); stops reading once the
// time reaches `to`. `progress` counts payload bytes.
void decodeRecording(const std::string& rawPath, const RecordingHeader& header, uint64_t from,
                     uint64_t to, const EventsStreamHandleCallback& events,
                     const TriggerInCallback& triggers, const ConversionProgress& progress = {});

// The events and trigger edges of the raw recording `rawPath` with times in
// [from, to), decoded in one pass, into the HDF5 file `h5Path`, with the
// recording's geometry and header lines. Without options.tOffset, t_offset is
// `from` when given, else the first event's (or edge's) time. Throws
// std::runtime_error naming the file when a file cannot be read or written,
// std::invalid_argument when the recording is no EVT 3.0 raw file.
ConversionCounts convertRawToHdf5(const std::string& rawPath, const std::string& h5Path,
                                  Hdf5EventWriter::Options options, uint64_t from = 0,
                                  uint64_t to = std::numeric_limits<uint64_t>::max(),
                                  const ConversionProgress& progress = {});

// The events and trigger edges of the HDF5 event file `h5Path` with times in
// [from, to) into the raw recording `rawPath`: its header carries the file's
// geometry and header lines, its payload is EVT 3.0 from our encoder, events
// and edges interleaved in time order. Throws what Hdf5EventReader and
// RawEventWriter throw, the message naming the file and the problem.
ConversionCounts convertHdf5ToRaw(const std::string& h5Path, const std::string& rawPath,
                                  uint64_t from = 0,
                                  uint64_t to = std::numeric_limits<uint64_t>::max(),
                                  const ConversionProgress& progress = {});

}  // namespace orvane
