// Opening raw recordings with clear errors, and the plain decode pass of `info`.

#include "RawScan.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "Output.h"
#include "Progress.h"
#include "orvane/BookmarkFile.h"
#include "orvane/RawFileHeader.h"
#include "orvane/base/Logger.h"
#include "orvane/hal/DecoderFactory.h"
#include "orvane/hal/Evt3LostTimeHighs.h"
#include "orvane/hal/Evt3StateWords.h"
#include "orvane/hal/RawEventStreamFormat.h"

namespace orvane::cli {

namespace {

constexpr size_t kChunk = 1 << 20;

// The reader writes a few refusals to std::cerr; they are turned into this
// program's own one-line errors instead.
class QuietCerr {
  public:
    QuietCerr() : previous_(std::cerr.rdbuf(kept_.rdbuf())) {}
    ~QuietCerr() { std::cerr.rdbuf(previous_); }

  private:
    std::ostringstream kept_;
    std::streambuf* previous_;
};

// The recorder's gap markers in a chunk of whole words (kChunk is even), the
// word before it being `last`.
uint64_t countGapMarkers(const std::vector<uint8_t>& chunk, uint16_t& last) {
    uint64_t markers = 0;
    for (size_t i = 0; i + 1 < chunk.size(); i += 2) {
        const uint16_t w = static_cast<uint16_t>(chunk[i] | (chunk[i + 1] << 8));
        markers += last == kEvt3GapMarker[0] && w == kEvt3GapMarker[1];
        last = w;
    }
    return markers;
}

}  // namespace

RawHeader readRawHeader(const std::string& path) {
    if (!endsWith(path, ".raw")) {
        throw Failure(path + ": not a raw recording (its name must end in .raw)");
    }
    requireReadable(path);
    std::ifstream in(path, std::ios::binary);
    RawHeader header;
    in.seekg(0, std::ios::end);
    header.fileSize = static_cast<uint64_t>(in.tellg());
    in.seekg(0);
    RawFileHeader parsed;
    try {
        parsed = RawFileHeader::read(in);
    } catch (const std::exception& e) {
        throw Failure(path + ": malformed header (" + e.what() + ")");
    }
    if (parsed.status != RawFileHeader::Status::Ok) {
        throw Failure(path + ": not an EVT 3.0 recording (its header names another format)");
    }
    if (parsed.size == 0) {
        throw Failure(path + ": not a raw event recording (it has no '%' header)");
    }
    header.width = parsed.width;
    header.height = parsed.height;
    header.payloadOffset = parsed.size;

    in.clear();
    in.seekg(0);
    std::string text(parsed.size, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.size() < 2 || line[0] != '%' || line == "% end") {
            continue;
        }
        const size_t keyStart = line.find_first_not_of(' ', 1);
        if (keyStart == std::string::npos) {
            continue;
        }
        const size_t keyEnd = line.find(' ', keyStart);
        std::string key = line.substr(keyStart, keyEnd - keyStart);
        std::string value = keyEnd == std::string::npos ? "" : line.substr(keyEnd + 1);
        header.fields.emplace_back(std::move(key), std::move(value));
    }
    return header;
}

bool indexIsCached(const std::string& path, const RawHeader& header) {
    std::vector<uint8_t> bytes;
    const std::string side = BookmarkFile::pathFor(path);
    if (side.empty() || BookmarkFile::read(side, bytes) != BookmarkFile::ReadResult::Read) {
        return false;
    }
    try {
        std::ifstream raw(path, std::ios::binary);
        const uint64_t content =
            BookmarkFile::contentHash(raw, header.fileSize, header.payloadOffset);
        return BookmarkFile::check(bytes, header.fileSize, header.payloadOffset, header.width,
                                   header.height, content) == BookmarkFile::Verdict::Valid;
    } catch (const std::exception&) {
        return false;
    }
}

std::unique_ptr<RawFileReader> openRecording(const std::string& path, bool quiet) {
    readRawHeader(path);
    auto reader = std::make_unique<RawFileReader>(path);
    Progress progress("indexing " + path, Progress::Unit::Bytes, quiet);
    reader->setProgressCallback(
        [&](uint64_t done, uint64_t total) { progress.update(done, total); });
    bool loaded = false;
    try {
        QuietCerr quietCerr;
        loaded = reader->loadFile();
    } catch (const std::exception& e) {
        throw Failure(path + ": cannot be read (" + e.what() + ")");
    }
    if (!loaded) {
        throw failed(path + ": cannot be read");
    }
    progress.finish();
    reader->setProgressCallback({});
    // Warnings say the data may be meaningless; errors of a load that succeeded
    // come from a side file that cannot be written, which costs only time.
    bool indexKept = true;
    for (const LibraryLog::Line& line : LibraryLog::takeAll()) {
        if (line.level == LOG_WARNING) {
            std::fprintf(stderr, "orvane: warning: %s\n", line.message.c_str());
        } else {
            indexKept = false;
        }
    }
    if (!indexKept && !quiet) {
        std::fprintf(stderr, "orvane: note: the index of %s cannot be kept beside it\n",
                     path.c_str());
    }
    return reader;
}

RecordingFacts scanRecording(const std::string& path, const RawHeader& header, bool quiet) {
    RecordingFacts facts;
    auto decoder =
        DecoderFactory::createUniqueDecoder(RawEventStreamFormat("EVT3;height=720;width=1280"));
    uint64_t bucket = UINT64_MAX, inBucket = 0, previous = 0;
    decoder->setEventsStreamHandleCallback([&](const Event2D* begin, const Event2D* end) {
        for (const Event2D* e = begin; e < end; ++e) {
            facts.on += e->polarity != 0;
            facts.timeBackwards += e->timestamp < previous;
            previous = e->timestamp;
            const uint64_t ms = e->timestamp / 1000;
            if (ms != bucket) {
                bucket = ms;
                inBucket = 0;
            }
            if (++inBucket > facts.peakPerMs) {
                facts.peakPerMs = inBucket;
                facts.peakAtMs = ms * 1000;
            }
        }
        if (begin < end) {
            if (facts.events == 0) {
                facts.firstTime = begin->timestamp;
            }
            facts.lastTime = end[-1].timestamp;
            facts.events += static_cast<uint64_t>(end - begin);
        }
    });
    decoder->setTriggerInCallback([&](EventTriggerIn trigger) {
        ++facts.triggerEdges;
        facts.triggerRising += trigger.polarity != 0;
    });

    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(header.payloadOffset));
    const uint64_t total = header.fileSize - header.payloadOffset;
    Progress progress("reading " + path, Progress::Unit::Bytes, quiet || total < 64 * kChunk);
    std::vector<uint8_t> chunk(kChunk);
    uint64_t done = 0;
    uint16_t lastWord = 0;
    while (in) {
        in.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(kChunk));
        chunk.resize(static_cast<size_t>(in.gcount()));
        if (chunk.empty()) {
            break;
        }
        decoder->decode(chunk);
        facts.recordingGaps += countGapMarkers(chunk, lastWord);
        done += chunk.size();
        progress.update(done, total);
        chunk.resize(kChunk);
    }
    progress.finish();
    facts.lostTimeHighs = evt3AssumedTimeHighs(*decoder);
    return facts;
}

TimeRange recordingRange(RawFileReader& reader) {
    TimeRange range;
    uint64_t end = 0;
    reader.getStartTimeStamp(range.from);
    reader.getEndTimeStamp(end);
    range.to = end + 1;
    return range;
}

void forEachEvent(RawFileReader& reader, TimeRange range, uint64_t slice, const EventSink& sink,
                  const ProgressSink& progress) {
    uint64_t start = 0, end = 0, max = 0;
    reader.getStartTimeStamp(start);
    reader.getEndTimeStamp(end);
    reader.getMaxEvents(max);
    if (range.to <= range.from || range.from > end) {
        return;
    }
    // The range is the events between the reader's seeks to its two ends, so that
    // it holds what a cut of the same range keeps, even where a stream's time
    // steps back. A range past the end time runs to the last event.
    uint64_t last = max;
    if (range.to <= end) {
        if (!reader.seekTime(range.to)) {
            return;
        }
        last = reader.getCurrentPosEventNum();
    }
    // The reader seeks only inside the recording.
    const uint64_t seekTo = std::max(range.from, start);
    if (!reader.seekTime(seekTo)) {
        return;
    }
    const uint64_t stopAt = std::min(range.to, end + 1);
    const uint64_t total = stopAt - seekTo;
    // Each query returns the events after the previous one's end up to and
    // including its own; the loop is bounded by the range, whatever the reader does.
    for (uint64_t t = seekTo, done = reader.getCurrentPosEventNum();
         t < stopAt && done < last && !reader.reachedEndOfEvents(); t += slice) {
        // The last slice of a range past the end time takes the rest of the file.
        const uint64_t length = range.to > end ? slice : std::min(slice, range.to - t);
        auto events = reader.getNTimeEvents(length);
        const uint64_t take = std::min<uint64_t>(events->size(), last - done);
        if (take > 0) {
            sink(events->data(), events->data() + take);
        }
        done += take;
        progress(std::min(t + length, stopAt) - seekTo, total);
    }
}

}  // namespace orvane::cli
