// RawFileReader's seeks: by time, to just after the last event earlier than
// the time, and by event number, to that very event; both from the nearest
// bookmark, with the decoder's row and vector base rebuilt at the target.

#include <algorithm>
#include <mutex>

#include "FileReader/RawPayload.h"
#include "orvane/RawFileReader.h"
#include "orvane/base/Logger.h"
#include "orvane/hal/Evt3Scan.h"

namespace orvane {

namespace {

// The reader's parts log under its name: one module to its users.
constexpr const char* kLogModule = "src/FileReader/RawFileReader";

// How far back from a seek target the reader looks for the row word (and the
// vector base) that a decoder coming from the start would hold there. Sensors
// repeat the row within a few words, so the first window nearly always holds it.
constexpr uint64_t kFirstLookBack = 4096;
constexpr uint64_t kMaxLookBack = uint64_t{16} << 20;

using payload::evenDown;
using payload::kWordBytes;
using payload::readInto;

}  // namespace

// Makes the decoder continue at `position` as if it had decoded everything before
// it: the time comes from the index, the row and vector base from the nearest
// words before the position that set them (a stream repeats the row only when it
// changes, so a decoder arriving from elsewhere would carry a stale one).
void RawFileReader::restoreDecoder(uint64_t position, uint64_t time) {
    // Whole words only: the end of an odd payload is not a word boundary.
    const uint64_t distance = position > payloadOffset ? evenDown(position - payloadOffset) : 0;
    const uint64_t windowEnd = payloadOffset + distance;
    if (distance == 0) {
        makeDecoder();  // the payload start: a fresh decoder's state
    } else {
        std::vector<uint8_t> window;
        uint64_t span = std::min(kFirstLookBack, distance);
        for (;;) {
            fileStream.clear();
            fileStream.seekg(static_cast<std::streamoff>(windowEnd - span));
            const uint64_t got = evenDown(readInto(fileStream, window, span));
            const Evt3StateStart from = evt3StateStart(window.data(), window.data() + got);
            const bool fromStart = span == distance;
            // Past kMaxLookBack a missing row stays as it was (a stream silent for
            // minutes on one row); it is never missing in what sensors write.
            if ((from.row && !from.baseBefore) || fromStart || span >= kMaxLookBack || got < span) {
                if (fromStart && !(from.row && from.vectorBase)) {
                    makeDecoder();  // what the payload never set is a fresh decoder's
                }
                decoder->decodeRange(window.data() + from.offset, window.data() + got);
                break;
            }
            span = std::min({span * 8, distance, kMaxLookBack});
        }
    }
    decoder->setCurrentTimestamp(time);
    fileStream.clear();
    fileStream.seekg(static_cast<std::streamoff>(position));
}

// Without a loaded index there is nothing to answer from: seeks fail and queries
// return a new empty vector, with a warning instead of a silent nothing.
bool RawFileReader::refuseUnloaded(const char* operation) {
    if (loaded) {
        return false;
    }
    ORVANE_LOG(LOG_WARNING, "%s: no raw file loaded; call loadFile() first.", operation);
    return true;
}

// The seek rule (see DvsFileReader.h): the position after the last event earlier
// than `timestamp`. A bookmark's position is where the time first reached its
// key, so every event before it is earlier than the key; the walk starts at the
// last one not beyond the time. The first word where the time reaches the
// request is not the answer on real streams: a time-low word can run ahead and
// come back within one time-high period, and the events after it are earlier.
RawFileReader::Position RawFileReader::timePosition(uint64_t timestamp, const Bookmark& from) {
    Position at{from.position, decoderTimeAt(from), from.eventIndex};
    uint64_t time = at.time;
    uint64_t events = 0;
    uint64_t chunkStart = from.position;
    uint64_t got = readChunk(chunkStart);
    uint64_t whole = evenDown(got);
    // The first word where the time reaches the request: every event before it is
    // earlier.
    uint64_t off = 0;
    for (;;) {
        off = evt3ScanToTime(readBuffer.data(), readBuffer.data() + whole, timestamp, time, events);
        if (off < whole) {
            // A seek to a key with no event before that word stands on the bookmark
            // itself (the payload start for the first one), as it always has.
            if (events > 0 || from.timestamp != timestamp) {
                at = {chunkStart + off, time, from.eventIndex + events};
            }
            break;
        }
        if (got < chunkSize) {
            return {chunkStart + whole, time, from.eventIndex + events};  // all are earlier
        }
        chunkStart += got;
        got = readChunk(chunkStart);
        whole = evenDown(got);
    }
    // From there (that word again, in the same chunk) to where no earlier event
    // can follow, the last earlier one.
    for (;;) {
        Evt3Earlier earlier;
        const bool settled = evt3ScanPastTime(readBuffer.data() + off, readBuffer.data() + whole,
                                              timestamp, time, events, earlier);
        if (earlier.found) {
            at = {chunkStart + off + earlier.offset, earlier.time,
                  from.eventIndex + earlier.events};
        }
        if (settled || got < chunkSize) {
            return at;
        }
        chunkStart += got;
        got = readChunk(chunkStart);
        whole = evenDown(got);
        off = 0;
    }
}

bool RawFileReader::seekTime(uint64_t timestamp) {
    if (refuseUnloaded("seekTime")) {
        return false;
    }
    if (timestamp > endTimestamp) {
        currentTimestamp = endTimestamp + 1;
        return false;
    }
    if (timestamp < startTimestamp) {
        currentTimestamp = startTimestamp - 1;
        return false;
    }
    const Bookmark bookmark = index.seekStart(timestamp);
    std::lock_guard<std::mutex> lock(readMutex);
    const Position target = timePosition(timestamp, bookmark);
    restoreDecoder(target.offset, target.time);
    currentTimestamp = timestamp;
    currentEventNum = target.events;
    pendingEvents->clear();
    decodedEvents->clear();
    return true;
}

bool RawFileReader::seekNEvents(uint64_t eventNum) {
    if (refuseUnloaded("seekNEvents")) {
        return false;
    }
    if (eventNum > maxEvents) {
        currentEventNum = maxEvents + 1;
        currentTimestamp = endTimestamp + 1;
        return false;
    }
    // Event `maxEvents` is the end: the last bookmark, after the last word.
    Bookmark bookmark = index.bookmarks().rbegin()->second;
    if (eventNum < maxEvents && !index.atEventCount(eventNum, bookmark)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(readMutex);
    uint64_t targetPosition = bookmark.position;
    uint64_t time = decoderTimeAt(bookmark);
    uint64_t positionTime = bookmark.timestamp;
    uint64_t events = bookmark.eventIndex;
    const bool inWord = eventNum < maxEvents && events != eventNum;
    if (inWord) {
        // The word that holds event `eventNum`: the first to bring the count past it.
        uint64_t chunkStart = bookmark.position;
        for (;;) {
            const uint64_t got = readChunk(chunkStart);
            const uint64_t whole = evenDown(got);
            const uint64_t off = evt3ScanToEventCount(readBuffer.data(), readBuffer.data() + whole,
                                                      eventNum + 1, time, events);
            if (off < whole) {
                targetPosition = chunkStart + off;
                positionTime = time;
                break;
            }
            if (got < chunkSize) {
                return false;
            }
            chunkStart += got;
        }
    }
    restoreDecoder(targetPosition, time);
    pendingEvents->clear();
    decodedEvents->clear();
    if (inWord) {
        // A vector word holds up to twelve events. Decoding it now and keeping
        // only its events from number `eventNum` on makes the next query start at
        // that very event, where returning the whole word again would repeat the
        // ones before it.
        std::vector<uint8_t> word(kWordBytes);
        fileStream.read(reinterpret_cast<char*>(word.data()),
                        static_cast<std::streamsize>(word.size()));
        decoder->decode(word);
        std::vector<Event2D>& decoded = *decodedEvents;
        const uint64_t before = events - std::min<uint64_t>(events, decoded.size());
        const auto skip = static_cast<std::ptrdiff_t>(
            std::min<uint64_t>(eventNum - std::min(before, eventNum), decoded.size()));
        pendingEvents->assign(decoded.begin() + skip, decoded.end());
        decoded.clear();
        if (!pendingEvents->empty()) {
            positionTime = pendingEvents->front().timestamp;
        }
    }
    currentTimestamp = positionTime;
    currentEventNum = eventNum;
    return true;
}

}  // namespace orvane
