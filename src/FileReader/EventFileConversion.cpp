// Raw recordings to HDF5 and back: a decoder feeding the HDF5 writer, and the
// HDF5 reader feeding our encoder.

#include "orvane/EventFileConversion.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "RawPayload.h"
#include "orvane/Hdf5EventReader.h"
#include "orvane/RawEventWriter.h"
#include "orvane/RawFileHeader.h"
#include "orvane/hal/DecoderFactory.h"
#include "orvane/hal/RawEventStreamFormat.h"

namespace orvane {

namespace {

constexpr uint64_t kReadBytes = uint64_t{1} << 20;
// Events per HDF5 read: a few chunks of each column.
constexpr uint64_t kReadEvents = uint64_t{1} << 18;
constexpr uint64_t kEndOfTime = std::numeric_limits<uint64_t>::max();

bool byTime(const Event2D& e, uint64_t t) {
    return e.timestamp < t;
}

std::vector<std::string> headerLines(std::istream& in, uint64_t size) {
    std::string text(size, '\0');
    in.seekg(0);
    in.read(text.data(), static_cast<std::streamsize>(size));
    std::vector<std::string> lines;
    std::istringstream split(text);
    for (std::string line; std::getline(split, line);) {
        if (line != "% end") {
            lines.push_back(line);
        }
    }
    return lines;
}

}  // namespace

RecordingHeader readRecordingHeader(const std::string& rawPath) {
    std::ifstream in(rawPath, std::ios::binary);
    if (!in) {
        throw std::runtime_error(rawPath + ": cannot be opened");
    }
    in.seekg(0, std::ios::end);
    RecordingHeader header;
    header.fileSize = static_cast<uint64_t>(in.tellg());
    in.seekg(0);
    const RawFileHeader parsed = RawFileHeader::read(in, rawPath);
    if (parsed.status != RawFileHeader::Status::Ok) {
        throw std::invalid_argument(rawPath + ": not an EVT 3.0 recording");
    }
    header.width = parsed.width;
    header.height = parsed.height;
    header.payloadOffset = parsed.size;
    in.clear();
    header.lines = headerLines(in, parsed.size);
    return header;
}

void decodeRecording(const std::string& rawPath, const RecordingHeader& header, uint64_t from,
                     uint64_t to, const EventsStreamHandleCallback& events,
                     const TriggerInCallback& triggers, const ConversionProgress& progress) {
    std::ifstream in(rawPath, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(header.payloadOffset));
    if (!in) {
        throw std::runtime_error(rawPath + ": cannot be read");
    }
    const bool whole = from == 0 && to == kEndOfTime;
    auto decoder =
        DecoderFactory::createUniqueDecoder(RawEventStreamFormat("EVT3;height=720;width=1280"));
    decoder->setEventsStreamHandleCallback([&](const Event2D* begin, const Event2D* end) {
        if (!whole) {
            // The decoder hands over time-ordered ranges.
            begin = std::lower_bound(begin, end, from, byTime);
            end = std::lower_bound(begin, end, to, byTime);
        }
        if (begin < end) {
            events(begin, end);
        }
    });
    decoder->setTriggerInCallback([&](EventTriggerIn trigger) {
        if (trigger.timestamp >= from && trigger.timestamp < to) {
            triggers(trigger);
        }
    });
    const uint64_t total = header.fileSize - header.payloadOffset;
    uint64_t done = 0;
    std::vector<uint8_t> buffer;
    // A sensor's time never goes back: nothing after a time at the range's end
    // belongs to it.
    while (in.good() && decoder->getCurrentTimestamp() < to) {
        const uint64_t got = payload::readInto(in, buffer, kReadBytes);
        if (got == 0) {
            break;
        }
        payload::dropLoneLastByte(buffer);
        decoder->decode(buffer);
        done += got;
        if (progress) {
            progress(done, total);
        }
    }
    if (in.bad()) {
        throw std::runtime_error(rawPath + ": cannot be read");
    }
    if (progress) {
        progress(total, total);
    }
}

ConversionCounts convertRawToHdf5(const std::string& rawPath, const std::string& h5Path,
                                  Hdf5EventWriter::Options options, uint64_t from, uint64_t to,
                                  const ConversionProgress& progress) {
    const RecordingHeader header = readRecordingHeader(rawPath);
    if (!options.tOffset && from > 0) {
        options.tOffset = from;
    }
    Hdf5EventWriter writer(h5Path, header.width, header.height, header.lines, options);
    decodeRecording(
        rawPath, header, from, to,
        [&](const Event2D* begin, const Event2D* end) { writer.addEvents(begin, end); },
        [&](EventTriggerIn trigger) { writer.addTrigger(trigger); }, progress);
    writer.finish();
    return {writer.events(), writer.triggers(), writer.outsideGeometry()};
}

ConversionCounts convertHdf5ToRaw(const std::string& h5Path, const std::string& rawPath,
                                  uint64_t from, uint64_t to, const ConversionProgress& progress) {
    Hdf5EventReader reader(h5Path);
    RawEventWriter writer(rawPath, reader.width(), reader.height(), reader.headerLines());
    const auto [first, last] = from == 0 && to == kEndOfTime
                                   ? std::pair<uint64_t, uint64_t>{0, reader.eventCount()}
                                   : reader.eventRange(from, to);
    std::vector<Event2D> events;
    std::vector<EventTriggerIn> triggers;
    size_t nextEdge = 0;
    uint64_t edgesRead = 0;
    // The next edge in the file, reading a block when the last one is used up.
    auto edge = [&]() -> const EventTriggerIn* {
        if (nextEdge == triggers.size() && edgesRead < reader.triggerCount()) {
            reader.readTriggers(edgesRead, kReadEvents, triggers);
            edgesRead += triggers.size();
            nextEdge = 0;
        }
        return nextEdge < triggers.size() ? &triggers[nextEdge] : nullptr;
    };
    auto writeEdge = [&](const EventTriggerIn& trigger) {
        if (trigger.timestamp >= from && trigger.timestamp < to) {
            writer.addTrigger(trigger);
        }
        ++nextEdge;
    };
    for (uint64_t at = first; at < last; at += kReadEvents) {
        reader.readEvents(at, std::min(kReadEvents, last - at), events);
        const Event2D* e = events.data();
        const Event2D* end = e + events.size();
        // An edge goes before the events of its time and after the earlier ones.
        for (const EventTriggerIn* next = edge(); e < end; next = edge()) {
            const Event2D* before =
                next != nullptr ? std::lower_bound(e, end, next->timestamp, byTime) : end;
            writer.addEvents(e, before);
            e = before;
            if (e < end) {
                writeEdge(*next);
            }
        }
        if (progress) {
            progress(at + events.size() - first, last - first);
        }
    }
    for (const EventTriggerIn* next = edge(); next != nullptr; next = edge()) {
        writeEdge(*next);
    }
    writer.finish();
    return {writer.events(), writer.triggers(), 0};
}

}  // namespace orvane
