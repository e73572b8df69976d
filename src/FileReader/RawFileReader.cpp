// RawFileReader: loading a raw recording (header, index, the look at whether it
// is EVT 3.0), the seeks by time and by event number, and the accessors. The
// queries, and the cut and export, live in RawFileQueries.cpp and
// RawFileExtract.cpp; the index in BookmarkIndex.

#include "orvane/RawFileReader.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <utility>

#include "FileReader/RawPayload.h"
#include "orvane/BookmarkFile.h"
#include "orvane/RawFileHeader.h"
#include "orvane/base/FileCheck.h"
#include "orvane/base/Logger.h"
#include "orvane/hal/DecoderFactory.h"
#include "orvane/hal/Evt3Scan.h"
#include "orvane/hal/Evt3Survey.h"
#include "orvane/hal/RawEventStreamFormat.h"

namespace orvane {

namespace {

constexpr const char* kLogModule = "src/FileReader/RawFileReader";

// How far back from a seek target the reader looks for the row word (and the
// vector base) that a decoder coming from the start would hold there. Sensors
// repeat the row within a few words, so the first window nearly always holds it.
constexpr uint64_t kFirstLookBack = 4096;
constexpr uint64_t kMaxLookBack = uint64_t{16} << 20;

// The look at whether a payload is EVT 3.0 covers its first bytes only, so that
// a reload from the side file stays cheap. Sensors never write a reserved word
// nor step the time back, but a stray word is tolerated.
constexpr uint64_t kSurveyBytes = 262144;
constexpr uint64_t kToleratedOddWords = 2;
// A sensor writes a time-high word for every 4096 us of its clock.
constexpr uint64_t kTimeHighStepUs = 4096;
constexpr uint64_t kWordsWithTime = 1024;

using payload::append;
using payload::evenDown;
using payload::kWordBytes;
using payload::readInto;

}  // namespace

RawFileReader::RawFileReader(std::string path)
    : filePath(std::move(path)),
      decodedEvents(std::make_shared<std::vector<Event2D>>()),
      pendingEvents(std::make_shared<std::vector<Event2D>>()),
      resultEvents(std::make_shared<std::vector<Event2D>>()) {
    makeDecoder();
}

RawFileReader::~RawFileReader() = default;

void RawFileReader::makeDecoder() {
    // The format is fixed: the header's geometry never changes how words decode.
    decoder =
        DecoderFactory::createUniqueDecoder(RawEventStreamFormat("EVT3;height=720;width=1280"));
    decoder->setEventsStreamHandleCallback(
        [this](const Event2D* begin, const Event2D* end) { append(*decodedEvents, begin, end); });
}

void RawFileReader::resetForLoad() {
    loaded = false;
    if (fileStream.is_open()) {
        fileStream.close();
    }
    fileStream.clear();
    index.clear();
    decodedEvents->clear();
    pendingEvents->clear();
    resultEvents->clear();
    currentEventNum = currentTimestamp = startTimestamp = endTimestamp = maxEvents = 0;
    width = 1280;
    height = 720;
    fileSize = payloadOffset = 0;
    makeDecoder();
}

// Never throws: a file that cannot be read, or whose header or side file holds
// what is no number, is an error in the log that names the file and the
// reason, and loading fails (where such values would otherwise throw).
bool RawFileReader::loadFile() {
    try {
        return load();
    } catch (const std::exception& e) {
        ORVANE_LOG(LOG_ERROR, "Cannot load raw file %s: %s.", filePath.c_str(), e.what());
    }
    loaded = false;
    return false;
}

bool RawFileReader::load() {
    resetForLoad();
    // A FIFO would hold the open below until some writer came, and a device
    // has no end to index; missing and unreadable files are told by the open.
    const FileCheck file = checkRegularFile(filePath);
    if (!file && file.error == 0) {
        ORVANE_LOG(LOG_ERROR, "Cannot open raw file %s: %s.", filePath.c_str(),
                   file.problem.c_str());
        return false;
    }
    errno = 0;
    fileStream.open(filePath, std::ios::in | std::ios::binary);
    bookmarkPath = BookmarkFile::pathFor(filePath);
    if (!fileStream.is_open()) {
        const int reason = errno;
        ORVANE_LOG(LOG_ERROR, "Cannot open raw file %s: %s.", filePath.c_str(),
                   reason != 0 ? std::strerror(reason) : "unknown reason");
        return false;
    }
    std::error_code notDirectory;
    if (std::filesystem::is_directory(filePath, notDirectory)) {
        ORVANE_LOG(LOG_ERROR, "Cannot open raw file %s: it is a directory.", filePath.c_str());
        return false;  // opens, but has no bytes to read
    }
    fileStream.seekg(0, std::ios::end);
    const std::streamoff end = fileStream.tellg();
    if (end < 0) {
        ORVANE_LOG(LOG_ERROR, "Cannot read raw file %s: its size is unknown.", filePath.c_str());
        return false;
    }
    fileSize = static_cast<uint64_t>(end);
    fileStream.seekg(0, std::ios::beg);

    RawFileHeader header;
    try {
        header = RawFileHeader::read(fileStream, filePath);
    } catch (const std::exception& e) {
        ORVANE_LOG(LOG_ERROR, "Cannot load raw file %s: malformed header (%s).", filePath.c_str(),
                   e.what());
        return false;
    }
    width = header.width;
    height = header.height;
    if (header.status != RawFileHeader::Status::Ok) {
        ORVANE_LOG(LOG_ERROR, "%s", RawFileHeader::refusal(header.status, filePath).c_str());
        return false;
    }
    payloadOffset = header.size;
    fileStream.clear();
    fileStream.seekg(static_cast<std::streamoff>(payloadOffset));

    ORVANE_LOG(LOG_INFO, "Loading raw file...");
    // A path without ".raw" yields no side-file name that differs from the
    // recording (bookmarkPath is empty), and a side-file name may lead back to the
    // recording through a link: either way the index lives in memory only, so
    // that the recording is never written over.
    std::error_code unknown;
    if (!bookmarkPath.empty() && std::filesystem::exists(bookmarkPath, unknown) &&
        std::filesystem::equivalent(bookmarkPath, filePath, unknown)) {
        bookmarkPath.clear();
    }
    if (!bookmarkPath.empty() &&
        index.load(bookmarkPath, filePath, fileSize, payloadOffset, width, height)) {
        ORVANE_LOG(LOG_DEBUG, "Bookmarks loaded from %s: %zu", bookmarkPath.c_str(),
                   index.bookmarks().size());
    } else {
        initBookmark();
    }

    if (index.empty()) {
        ORVANE_LOG(LOG_ERROR, "Loading raw file failed. There is no data in the file.");
        return false;
    }
    const BookmarkMap& bookmarks = index.bookmarks();
    startTimestamp = bookmarks.begin()->first;
    endTimestamp = bookmarks.rbegin()->first;
    maxEvents = bookmarks.rbegin()->second.eventIndex;
    warnIfNotEvt3();
    loaded = true;
    seekTime(startTimestamp);
    ORVANE_LOG(LOG_INFO, "Loading raw file succeeded.");
    return true;
}

// Bytes that are no sensor's stream (a text file, random data, another format
// under a .raw name) decode to events all the same; the warning says so.
void RawFileReader::warnIfNotEvt3() {
    const uint64_t payloadBytes = fileSize > payloadOffset ? fileSize - payloadOffset : 0;
    std::vector<uint8_t> sample;
    fileStream.clear();
    fileStream.seekg(static_cast<std::streamoff>(payloadOffset));
    readInto(fileStream, sample, std::min(payloadBytes, kSurveyBytes));
    const Evt3Survey survey = evt3Survey(sample.data(), sample.data() + sample.size());

    std::string reasons;
    auto reason = [&](const std::string& text) { reasons += (reasons.empty() ? "" : "; ") + text; };
    if (survey.backwardTimeJumps > kToleratedOddWords) {
        reason(std::to_string(survey.backwardTimeJumps) + " backward time jumps in its first " +
               std::to_string(sample.size()) + " bytes");
    }
    if (survey.reservedWords > kToleratedOddWords && survey.reservedWords * 1000 > survey.words) {
        reason(std::to_string(survey.reservedWords) + " words of reserved types in its first " +
               std::to_string(sample.size()) + " bytes");
    }
    if (survey.timeHighWords == 0 && survey.words >= kWordsWithTime) {
        reason("no time word in its first " + std::to_string(sample.size()) + " bytes");
    }
    const uint64_t span = endTimestamp - startTimestamp;
    if (span / kTimeHighStepUs > payloadBytes / kWordBytes) {
        char text[96];
        std::snprintf(text, sizeof text, "times spanning %.1f hours in %" PRIu64 " bytes",
                      static_cast<double>(span) / 3.6e9, payloadBytes);
        reason(text);
    }
    if (!reasons.empty()) {
        ORVANE_LOG(LOG_WARNING,
                   "Raw file %s does not look like EVT 3.0 data (%s); its events and times may "
                   "be meaningless.",
                   filePath.c_str(), reasons.c_str());
    }
}

void RawFileReader::buildBookmarks(std::istream& in, BookmarkMap& bookmarks,
                                   EventCountMap& eventCountIndex,
                                   const std::function<void(uint64_t)>& progress) {
    BookmarkIndex::build(in, bookmarks, eventCountIndex, progress);
}

void RawFileReader::initBookmark() {
    const uint64_t payloadBytes = fileSize > payloadOffset ? fileSize - payloadOffset : 0;
    currentEventNum = 0;
    index.build(fileStream, [&](uint64_t scanned) {
        if (progressCallback) {
            progressCallback(scanned, payloadBytes);
        }
    });
    ORVANE_LOG(LOG_DEBUG, "Bookmark index built: %zu bookmarks", index.bookmarks().size());
    if (bookmarkPath.empty()) {
        return;
    }
    index.save(bookmarkPath, fileSize, width, height);
}

// --- Seeking -----------------------------------------------------------------

uint64_t RawFileReader::readChunk(uint64_t position) {
    fileStream.clear();
    fileStream.seekg(static_cast<std::streamoff>(position));
    return readInto(fileStream, readBuffer, chunkSize);
}

// The first bookmark's key is the first non-zero time, but its position is the
// payload start, where a decoder's time is still 0; continuing from the key there
// would misread the stream's first time words as a wrap of the counter.
uint64_t RawFileReader::decoderTimeAt(const Bookmark& bookmark) const {
    return bookmark.position <= payloadOffset ? 0 : bookmark.timestamp;
}

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
            if (from.row || fromStart || span >= kMaxLookBack || got < span) {
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
    Bookmark bookmark;
    if (!index.atTime(timestamp, bookmark)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(readMutex);
    uint64_t targetPosition = bookmark.position;
    uint64_t targetTime = decoderTimeAt(bookmark);
    uint64_t eventCount = bookmark.eventIndex;
    if (bookmark.timestamp != timestamp) {
        // The word where the time first reaches the request, and the events of the
        // words before it: the number of the first event at or after the time.
        // (Counting on to the end of that word's chunk would put the position up
        // to a chunk's worth of events ahead of the events the next query returns.)
        uint64_t time = targetTime;
        uint64_t counted = 0;
        uint64_t chunkStart = bookmark.position;
        for (;;) {
            const uint64_t got = readChunk(chunkStart);
            const uint64_t whole = evenDown(got);
            uint64_t before = 0;
            const uint64_t off = evt3ScanToTime(readBuffer.data(), readBuffer.data() + whole,
                                                timestamp, time, before);
            counted += before;
            if (off < whole) {
                targetPosition = chunkStart + off;
                targetTime = time;
                break;
            }
            if (got < chunkSize) {
                return false;  // the end of the file came first
            }
            chunkStart += got;
        }
        eventCount = static_cast<uint32_t>(eventCount + counted);
    }
    restoreDecoder(targetPosition, targetTime);
    currentTimestamp = timestamp;
    currentEventNum = eventCount;
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
    currentEventNum = static_cast<uint32_t>(eventNum);
    return true;
}

// --- Accessors ---------------------------------------------------------------

bool RawFileReader::getStartTimeStamp(uint64_t& timestamp) {
    timestamp = startTimestamp;
    return true;
}

bool RawFileReader::getEndTimeStamp(uint64_t& timestamp) {
    timestamp = endTimestamp;
    return true;
}

bool RawFileReader::getMaxEvents(uint64_t& eventNum) {
    eventNum = maxEvents;
    return true;
}

bool RawFileReader::reachedEndOfEvents() {
    return currentTimestamp > endTimestamp;
}

uint64_t RawFileReader::getCurrentPosTimeStamp() {
    return currentTimestamp;
}

uint64_t RawFileReader::getCurrentPosEventNum() {
    return currentEventNum;
}

uint16_t RawFileReader::getWidth() const {
    return width;
}

uint16_t RawFileReader::getHeight() const {
    return height;
}

void RawFileReader::setProgressCallback(ProgressCallback callback) {
    progressCallback = std::move(callback);
}

}  // namespace orvane
