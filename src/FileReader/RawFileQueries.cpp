// RawFileReader's queries: the events from the read position by count or by
// time span, the "given start" forms that seek first, and the trigger edges of
// a time range, read apart from the position.

#include <algorithm>
#include <fstream>
#include <iterator>
#include <limits>

#include "FileReader/RawPayload.h"
#include "orvane/RawFileReader.h"
#include "orvane/base/Logger.h"
#include "orvane/hal/DecoderFactory.h"
#include "orvane/hal/EventSearch.h"
#include "orvane/hal/RawEventStreamFormat.h"

namespace orvane {

namespace {

// The reader's parts log under its name: one module to its users.
constexpr const char* kLogModule = "src/FileReader/RawFileReader";

using payload::append;
using payload::dropLoneLastByte;
using payload::kWordBytes;
using payload::readInto;
using payload::saturatingAdd;

}  // namespace

bool RawFileReader::readAndDecodeEvents(std::function<bool()> stop) {
    std::lock_guard<std::mutex> lock(readMutex);
    // good() rather than !eof(): a stream that failed otherwise must not spin here.
    while (fileStream.good()) {
        readInto(fileStream, readBuffer, chunkSize);
        dropLoneLastByte(readBuffer);
        decoder->decode(readBuffer);
        if (stop()) {
            return true;
        }
    }
    return !resultEvents->empty();
}

// A query that used up the payload leaves the reader at the end, so that
// reachedEndOfEvents() turns true. Going by time alone, reading loops would
// never end on a recording whose last events come before its end time (the
// time of its last word), and a count query would keep the position at the
// last event's time + 1.
void RawFileReader::settleAtEnd() {
    bool drained = currentEventNum >= maxEvents;
    if (!drained && pendingEvents->empty() && decodedEvents->empty()) {
        std::lock_guard<std::mutex> lock(readMutex);
        const std::streamoff at =
            fileStream.good() ? std::streamoff(fileStream.tellg()) : std::streamoff(-1);
        drained = at < 0 || static_cast<uint64_t>(at) + kWordBytes > fileSize;
    }
    if (drained) {
        currentTimestamp = std::max(currentTimestamp, saturatingAdd(endTimestamp, 1));
    } else {
        // Events may stand after a later time word than the index's end (a time
        // that steps back at the very end): the reader is not at the end until
        // the payload is.
        currentTimestamp = std::min(currentTimestamp, endTimestamp);
    }
}

std::shared_ptr<std::vector<Event2D>> RawFileReader::getNEvents(uint64_t n) {
    if (refuseUnloaded("getNEvents")) {
        return std::make_shared<std::vector<Event2D>>();
    }
    const uint64_t remaining = currentEventNum >= maxEvents ? 0 : maxEvents - currentEventNum;
    if (n > remaining) {
        ORVANE_LOG(LOG_WARNING, "Requested number of events exceeds total number of events.");
        n = remaining;
    }
    std::vector<Event2D>& result = *resultEvents;
    std::vector<Event2D>& pending = *pendingEvents;
    result.clear();
    if (pending.size() > n) {
        result.assign(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(n));
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(n));
    } else {
        result.swap(pending);
        pending.clear();
        const bool read = readAndDecodeEvents([&]() {
            std::vector<Event2D>& decoded = *decodedEvents;
            if (decoded.size() + result.size() < n) {
                append(result, decoded.data(), decoded.data() + decoded.size());
                decoded.clear();
                return false;
            }
            const size_t take = static_cast<size_t>(n - result.size());
            append(result, decoded.data(), decoded.data() + take);
            pending.assign(decoded.begin() + static_cast<std::ptrdiff_t>(take), decoded.end());
            decoded.clear();
            return true;
        });
        if (!read) {
            settleAtEnd();
            return resultEvents;
        }
    }
    if (!result.empty()) {
        currentTimestamp = result.back().timestamp + 1;
    }
    currentEventNum += result.size();
    settleAtEnd();
    return resultEvents;
}

std::shared_ptr<std::vector<Event2D>> RawFileReader::getNTimeEvents(uint64_t duration) {
    if (refuseUnloaded("getNTimeEvents")) {
        return std::make_shared<std::vector<Event2D>>();
    }
    const uint64_t t0 = currentTimestamp;
    // Saturating: a huge duration means "to the end", not a slice before the start.
    uint64_t tEnd = saturatingAdd(t0, duration);
    if (tEnd < startTimestamp) {
        ORVANE_LOG(LOG_WARNING, "Requested interval is before start timestamp.");
        currentTimestamp = tEnd;
        currentEventNum = 0;
        return std::make_shared<std::vector<Event2D>>();
    }
    if (t0 > endTimestamp) {
        ORVANE_LOG(LOG_WARNING, "Current read pos exceeds end timestamp.");
        currentEventNum = maxEvents;
        return std::make_shared<std::vector<Event2D>>();
    }
    currentTimestamp = tEnd;
    if (tEnd > endTimestamp) {
        // The last slice takes the rest of the file. The end time is where the
        // decoder's time stands after the last word, and a camera's closing
        // time-high word can set it below the time of the events just before.
        ORVANE_LOG(LOG_WARNING, "Requested interval exceeds end timestamp.");
        tEnd = std::numeric_limits<uint64_t>::max();
    }

    // A slice takes every event up to and including tEnd. The split needs an event
    // strictly beyond tEnd: a chunk that ends exactly at tEnd may be followed by
    // more events at tEnd, which belong to this slice, not the next.
    std::vector<Event2D>& result = *resultEvents;
    std::vector<Event2D>& pending = *pendingEvents;
    result.clear();
    if (!pending.empty() && pending.back().timestamp > tEnd) {
        const Event2D* split =
            binarySearchTimestamp(tEnd, pending.data(), pending.data() + pending.size());
        const auto k = split - pending.data();
        result.assign(pending.begin(), pending.begin() + k);
        pending.erase(pending.begin(), pending.begin() + k);
    } else {
        result.swap(pending);
        pending.clear();
        const bool read = readAndDecodeEvents([&]() {
            std::vector<Event2D>& decoded = *decodedEvents;
            if (decoded.empty()) {
                return false;
            }
            if (decoded.back().timestamp > tEnd) {
                const Event2D* split =
                    binarySearchTimestamp(tEnd, decoded.data(), decoded.data() + decoded.size());
                append(result, decoded.data(), split);
                append(pending, split, decoded.data() + decoded.size());
                decoded.clear();
                return true;
            }
            append(result, decoded.data(), decoded.data() + decoded.size());
            decoded.clear();
            return false;
        });
        if (!read) {
            settleAtEnd();
            return resultEvents;
        }
    }
    currentEventNum += result.size();
    settleAtEnd();
    return resultEvents;
}

std::shared_ptr<std::vector<Event2D>> RawFileReader::getNEventsGivenStartTimeStamp(
    uint64_t timestamp, uint64_t n) {
    if (!seekTime(timestamp)) {
        return std::make_shared<std::vector<Event2D>>();
    }
    return getNEvents(n);
}

std::shared_ptr<std::vector<Event2D>> RawFileReader::getNEventsGivenStartEvent(uint64_t eventNum,
                                                                               uint64_t n) {
    if (!seekNEvents(eventNum)) {
        return std::make_shared<std::vector<Event2D>>();
    }
    return getNEvents(n);
}

std::shared_ptr<std::vector<Event2D>> RawFileReader::getNTimeEventsGivenStartTimeStamp(
    uint64_t timestamp, uint64_t duration) {
    if (!seekTime(timestamp)) {
        return std::make_shared<std::vector<Event2D>>();
    }
    return getNTimeEvents(duration);
}

std::shared_ptr<std::vector<Event2D>> RawFileReader::getNTimeEventsGivenStartEvent(
    uint64_t eventNum, uint64_t duration) {
    if (!seekNEvents(eventNum)) {
        return std::make_shared<std::vector<Event2D>>();
    }
    return getNTimeEvents(duration);
}

// --- Trigger edges -----------------------------------------------------------

// A stream and a decoder of its own: the read position, the pending events and
// the queries' decoder stay as they were.
std::vector<EventTriggerIn> RawFileReader::getTriggerEvents(uint64_t startTime, uint64_t endTime) {
    std::vector<EventTriggerIn> triggers;
    if (refuseUnloaded("getTriggerEvents") || startTime > endTime || startTime > endTimestamp) {
        return triggers;
    }
    const BookmarkMap& bookmarks = index.bookmarks();
    auto after = bookmarks.upper_bound(startTime);
    const Bookmark& from = after == bookmarks.begin() ? after->second : std::prev(after)->second;
    std::ifstream in(filePath, std::ios::in | std::ios::binary);
    in.seekg(static_cast<std::streamoff>(from.position));
    if (!in) {
        ORVANE_LOG(LOG_ERROR, "Cannot read the trigger edges of %s: the file cannot be read.",
                   filePath.c_str());
        return triggers;
    }
    auto scan =
        DecoderFactory::createUniqueDecoder(RawEventStreamFormat("EVT3;height=720;width=1280"));
    scan->setCurrentTimestamp(decoderTimeAt(from));
    scan->setTriggerInCallback([&](EventTriggerIn trigger) {
        if (trigger.timestamp >= startTime && trigger.timestamp <= endTime) {
            triggers.push_back(trigger);
        }
    });
    std::vector<uint8_t> buffer;
    // A sensor's time never goes back, so nothing after a time beyond the range
    // belongs to it.
    while (in.good() && scan->getCurrentTimestamp() <= endTime) {
        if (readInto(in, buffer, kChunkSize) == 0) {
            break;
        }
        dropLoneLastByte(buffer);
        scan->decode(buffer);
    }
    return triggers;
}

std::vector<EventTriggerIn> RawFileReader::getTriggerEvents() {
    return getTriggerEvents(0, std::numeric_limits<uint64_t>::max());
}

}  // namespace orvane
