#include "orvane/RawFileReader.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <limits>
#include <sstream>
#include <stdexcept>

#include "orvane/BookmarkFile.h"
#include "orvane/DataToVideoConverter.h"
#include "orvane/RawFileHeader.h"
#include "orvane/base/Logger.h"
#include "orvane/base/SysTime.h"
#include "orvane/hal/DecoderFactory.h"
#include "orvane/hal/EventSearch.h"
#include "orvane/hal/Evt3Scan.h"
#include "orvane/hal/Evt3StateWords.h"
#include "orvane/hal/Evt3Survey.h"
#include "orvane/hal/RawEventStreamFormat.h"

namespace orvane {

namespace {

constexpr const char* kLogModule = "src/FileReader/RawFileReader";

constexpr uint64_t kProgressStep = uint64_t{64} << 20;
// How far back from a seek target the reader looks for the row word (and the
// vector base) that a decoder coming from the start would hold there. Sensors
// repeat the row within a few words, so the first window nearly always holds it.
constexpr uint64_t kFirstLookBack = 4096;
constexpr uint64_t kMaxLookBack = uint64_t{16} << 20;

// Extraction copies through the reader's buffer in pieces of this size.
constexpr uint64_t kCopyPiece = 1048576;

// The look at whether a payload is EVT 3.0 covers its first bytes only, so that
// a reload from the side file stays cheap. Sensors never write a reserved word
// nor step the time back, but a stray word is tolerated.
constexpr uint64_t kSurveyBytes = 1048576;
constexpr uint64_t kToleratedOddWords = 2;
// A sensor writes a time-high word for every 4096 us of its clock.
constexpr uint64_t kTimeHighStepUs = 4096;
constexpr uint64_t kWordsWithTime = 1024;

// Export pictures, blue green red: grey where nothing happened, the colour of the
// pixel's last event elsewhere.
constexpr uint8_t kBackground = 0x70;
constexpr uint8_t kOnColour[3] = {0xB4, 0xBC, 0xBF};
constexpr uint8_t kOffColour[3] = {0x33, 0x3D, 0x40};

// EVT 3.0 words; the fast index and the seeks walk them through the hal scans.
constexpr uint64_t kWordBytes = 2;

uint64_t evenDown(uint64_t n) {
    return n & ~(kWordBytes - 1);
}

uint64_t saturatingAdd(uint64_t a, uint64_t b) {
    return b > std::numeric_limits<uint64_t>::max() - a ? std::numeric_limits<uint64_t>::max()
                                                        : a + b;
}

// Reads up to `size` bytes at the stream's position; returns the count read.
uint64_t readInto(std::istream& in, std::vector<uint8_t>& buffer, uint64_t size) {
    buffer.resize(size);
    in.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(size));
    const uint64_t got = static_cast<uint64_t>(in.gcount());
    buffer.resize(got);
    return got;
}

// Payloads are whole 2-byte words from their start, and every read starts on a
// word, so an odd read is the file's last byte: it can never complete a word.
// Handing it to the decoder would leave it waiting there and join it with the
// first byte of whatever is read after the next seek.
void dropLoneLastByte(std::vector<uint8_t>& buffer) {
    buffer.resize(evenDown(buffer.size()));
}

void append(std::vector<Event2D>& to, const Event2D* begin, const Event2D* end) {
    to.insert(to.end(), begin, end);
}

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
    bookmarks.clear();
    eventCountIndex.clear();
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
        header = RawFileHeader::read(fileStream);
    } catch (const std::exception& e) {
        ORVANE_LOG(LOG_ERROR, "Cannot load raw file %s: malformed header (%s).", filePath.c_str(),
                   e.what());
        return false;
    }
    width = header.width;
    height = header.height;
    // To the log, with the file's name between the quotes, like every other error.
    if (header.status == RawFileHeader::Status::NotEvt3Format) {
        ORVANE_LOG(LOG_ERROR, "Error : detected non-EVT3 input file '%s'", filePath.c_str());
        return false;
    }
    if (header.status == RawFileHeader::Status::NotEvt3Version) {
        ORVANE_LOG(LOG_ERROR, "Error : detected non-EVT3 input file.'%s'", filePath.c_str());
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
    if (!bookmarkPath.empty() && std::filesystem::exists(bookmarkPath, unknown) &&
        checkBookmarksFromFile(bookmarkPath)) {
        loadBookmarksFromFile(bookmarkPath);
        ORVANE_LOG(LOG_DEBUG, "Bookmarks loaded from %s: %zu", bookmarkPath.c_str(),
                   bookmarks.size());
    } else {
        initBookmark();
    }

    if (bookmarks.empty()) {
        ORVANE_LOG(LOG_ERROR, "Loading raw file failed. There is no data in the file.");
        return false;
    }
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

// --- Index -------------------------------------------------------------------

void RawFileReader::buildBookmarks(std::istream& in, BookmarkMap& bookmarks,
                                   EventCountMap& eventCountIndex,
                                   const std::function<void(uint64_t)>& progress) {
    bookmarks.clear();
    eventCountIndex.clear();
    const std::streamoff start = in.tellg();
    const uint64_t payload = start < 0 ? 0 : static_cast<uint64_t>(start);

    // One pass: the bookmark positions come from the time words alone, and the
    // events before each position from a running count, so that the counts per
    // range need no second read of the payload.
    std::vector<uint64_t> eventsBefore;  // per bookmark in key order: events before its position
    Bookmark pending;
    pending.position = payload;
    uint64_t pendingEvents = 0;
    uint64_t last = 0;
    uint64_t time = 0;
    uint64_t events = 0;
    uint64_t chunkStart = payload;
    uint64_t nextReport = kProgressStep;
    std::vector<uint8_t> buffer;
    while (in.good()) {
        const uint64_t got = readInto(in, buffer, kChunkSize);
        if (got == 0) {
            break;
        }
        const uint8_t* data = buffer.data();
        const uint64_t whole = evenDown(got);
        uint64_t pos = 0;
        while (pos < whole) {
            // Until the first non-zero time the next bookmark waits for any time at all.
            const uint64_t threshold = last == 0 ? 1 : last + bookmark_period_us;
            pos += evt3ScanToTime(data + pos, data + whole, threshold, time, events);
            if (pos >= whole) {
                break;
            }
            if (last == 0) {
                last = time;
                pending.timestamp = time;
            } else {
                pending.timestamp = last;
                // Keys only grow here (each is 2000 us past the one before).
                bookmarks.emplace(last, pending);
                eventsBefore.push_back(pendingEvents);
                pending.position = chunkStart + pos;
                pendingEvents = events;
                last = time;
            }
            pos += kWordBytes;
        }
        chunkStart += got;
        if (progress && chunkStart - payload >= nextReport) {
            progress(chunkStart - payload);
            nextReport += kProgressStep;
        }
    }
    if (progress) {
        progress(chunkStart - payload);
    }

    // The end entry: the time reached at the end, positioned after the last byte
    // (at the payload start when there is no payload, so that a seek there never
    // decodes the header). It may land anywhere among the others, or on one of
    // them, when the payload's time steps back.
    Bookmark endEntry;
    endEntry.position = chunkStart;
    endEntry.timestamp = time;
    const bool endInserted = bookmarks.emplace(time, endEntry).second;

    // Counts between neighbours in key order, as decoding each range would give.
    size_t next = 0;
    auto before = [&](uint64_t key) {
        return endInserted && key == time ? events : eventsBefore[next++];
    };
    uint32_t count = 0;
    auto e = bookmarks.begin();
    uint64_t eBefore = before(e->first);
    for (auto s = std::next(e); s != bookmarks.end(); e = s++) {
        const uint64_t sBefore = before(s->first);
        if (s->second.position > e->second.position) {
            count += static_cast<uint32_t>(sBefore - eBefore);
        }
        s->second.eventIndex = count;
        eventCountIndex.emplace(count, s->first);
        eBefore = sBefore;
    }
    eventCountIndex.emplace(bookmarks.begin()->second.eventIndex,
                            bookmarks.begin()->second.timestamp);
}

void RawFileReader::buildBookmarksReference(std::istream& in, Decoder& decoder,
                                            BookmarkMap& bookmarks,
                                            EventCountMap& eventCountIndex) {
    bookmarks.clear();
    eventCountIndex.clear();
    std::vector<uint8_t> buffer;
    const std::streamoff start = in.tellg();
    const uint64_t payload = start < 0 ? 0 : static_cast<uint64_t>(start);

    // Pass 1: the time of every word.
    Bookmark pending;
    pending.position = payload;
    uint64_t last = 0;
    uint64_t chunkStart = payload;
    while (in.good()) {
        const uint64_t got = readInto(in, buffer, kChunkSize);
        const uint8_t w = decoder.getWordSize();
        for (uint64_t off = 0; off + w <= got; off += w) {
            decoder.decodeRange(buffer.data() + off, buffer.data() + off + w);
            const uint64_t t = decoder.getCurrentTimestamp();
            if (last == 0) {
                if (t == 0) {
                    continue;
                }
                last = t;
                pending.timestamp = t;
            } else {
                pending.timestamp = last;
                if (t == 0) {
                    continue;
                }
            }
            if (t < last + bookmark_period_us) {
                continue;
            }
            bookmarks.emplace(last, pending);
            pending.position = chunkStart + off;
            last = t;
        }
        chunkStart += got;
    }
    const uint64_t tEnd = decoder.getCurrentTimestamp();
    Bookmark endEntry;
    endEntry.position = chunkStart;
    endEntry.timestamp = tEnd;
    bookmarks.emplace(tEnd, endEntry);

    // Pass 2: decode each range between neighbours and count its events. A range
    // whose end lies before its start (time stepping back) holds nothing.
    uint32_t count = 0;
    auto e = bookmarks.begin();
    for (auto s = std::next(e); s != bookmarks.end(); e = s++) {
        in.clear();
        in.seekg(static_cast<std::streamoff>(e->second.position));
        uint64_t remaining =
            s->second.position > e->second.position ? s->second.position - e->second.position : 0;
        while (remaining > 0) {
            const uint64_t got = readInto(in, buffer, std::min(remaining, kChunkSize));
            if (got == 0) {
                break;
            }
            remaining -= got;
            dropLoneLastByte(buffer);
            count += static_cast<uint32_t>(decoder.decode(buffer));
        }
        s->second.eventIndex = count;
        eventCountIndex.emplace(count, s->first);
    }
    eventCountIndex.emplace(bookmarks.begin()->second.eventIndex,
                            bookmarks.begin()->second.timestamp);
}

void RawFileReader::initBookmark() {
    const uint64_t payloadBytes = fileSize > payloadOffset ? fileSize - payloadOffset : 0;
    currentEventNum = 0;
    buildBookmarks(fileStream, bookmarks, eventCountIndex, [&](uint64_t scanned) {
        if (progressCallback) {
            progressCallback(scanned, payloadBytes);
        }
    });
    ORVANE_LOG(LOG_DEBUG, "Bookmark index built: %zu bookmarks", bookmarks.size());
    if (bookmarkPath.empty()) {
        return;
    }
    serializeBookmarkMap(bookmarks, bookmarkPath);
}

void RawFileReader::serializeBookmarkMap(const BookmarkMap& map, const std::string& path) {
    // Written in one piece, CRC included: a side file cut short by a crash fails
    // its CRC and is rebuilt.
    const std::vector<uint8_t> bytes = BookmarkFile::serialize(map, fileSize, width, height);
    std::ofstream out(path, std::ios::out | std::ios::binary | std::ios::trunc);
    if (!out) {
        ORVANE_LOG(LOG_ERROR, "Failed to open file for writing");
        ORVANE_LOG(LOG_ERROR, "Failed to open file");
        ORVANE_LOG(LOG_ERROR, "Failed to open file for writing");
        return;
    }
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        ORVANE_LOG(LOG_ERROR, "Failed to write bookmark file %s", path.c_str());
    }
}

bool RawFileReader::checkBookmarksFromFile(const std::string& path) {
    std::ifstream in(path, std::ios::in | std::ios::binary);
    if (!in) {
        ORVANE_LOG(LOG_WARNING, "Error opening file for reading!");
        return false;
    }
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < 0 || static_cast<uint64_t>(size) > BookmarkFile::kMaxSize) {
        return false;
    }
    in.seekg(0, std::ios::beg);
    std::vector<uint8_t> bytes;
    readInto(in, bytes, static_cast<uint64_t>(size));
    switch (BookmarkFile::check(bytes, fileSize, width, height)) {
        case BookmarkFile::Verdict::Valid:
            return true;
        case BookmarkFile::Verdict::Empty:
            ORVANE_LOG(LOG_WARNING, "The file content is insufficient to perform CRC validation!");
            return false;
        case BookmarkFile::Verdict::CrcMismatch:
            ORVANE_LOG(LOG_INFO, "The file has changed");
            return false;
        case BookmarkFile::Verdict::OtherFile:
            return false;
    }
    return false;
}

void RawFileReader::loadBookmarksFromFile(const std::string& path) {
    std::ifstream in(path, std::ios::in | std::ios::binary);
    if (!in) {
        ORVANE_LOG(LOG_ERROR, "Error opening file for reading!");
        return;
    }
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    in.seekg(0, std::ios::beg);
    std::vector<uint8_t> bytes;
    // Never more than the check allowed, should the file have grown since.
    readInto(
        in, bytes,
        std::min<uint64_t>(size < 0 ? 0 : static_cast<uint64_t>(size), BookmarkFile::kMaxSize));
    BookmarkFile::parse(bytes, bookmarks, eventCountIndex);
}

bool RawFileReader::getRawFileBookmark(uint64_t timestamp, Bookmark& out) {
    auto found = bookmarks.lower_bound(timestamp);
    if (found == bookmarks.end()) {
        return false;
    }
    if (found->first == timestamp) {
        out = found->second;
        return true;
    }
    if (found == bookmarks.begin()) {
        return false;
    }
    out = std::prev(found)->second;
    return true;
}

bool RawFileReader::getRawFileBookmarkByNEvents(uint64_t eventNum, Bookmark& out) {
    auto found = eventCountIndex.lower_bound(eventNum);
    if (found == eventCountIndex.end() || bookmarks.empty()) {
        return false;
    }
    if (eventNum == 0) {
        out = bookmarks.begin()->second;
        return true;
    }
    if (found == eventCountIndex.begin()) {
        return false;
    }
    // A side file may name a time that is not a key; it then offers no start.
    auto bookmark = bookmarks.find(std::prev(found)->second);
    if (bookmark == bookmarks.end()) {
        return false;
    }
    out = bookmark->second;
    return true;
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
    if (!getRawFileBookmark(timestamp, bookmark)) {
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
    Bookmark bookmark = bookmarks.rbegin()->second;
    if (eventNum < maxEvents && !getRawFileBookmarkByNEvents(eventNum, bookmark)) {
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

// --- Queries -----------------------------------------------------------------

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

// --- Extraction and export ----------------------------------------------------

// Refused as an output: truncating it would destroy what is being read.
bool RawFileReader::isTheRecording(const std::string& path) const {
    std::error_code unknown;
    return std::filesystem::equivalent(path, filePath, unknown);
}

// The lock is taken per piece and the progress reported without it, so that a
// progress callback may query the reader.
void RawFileReader::copyPayload(std::ofstream& out, uint64_t start, uint64_t length) {
    const uint64_t total = length;
    while (length > 0) {
        const uint64_t piece = std::min(length, kCopyPiece);
        std::unique_lock<std::mutex> lock(readMutex);
        fileStream.clear();
        fileStream.seekg(static_cast<std::streamoff>(start + total - length));
        if (readInto(fileStream, readBuffer, piece) != piece) {
            throw std::runtime_error(
                "Failed to read the expected number of bytes from the input file.");
        }
        out.write(reinterpret_cast<const char*>(readBuffer.data()),
                  static_cast<std::streamsize>(piece));
        if (!out.good()) {
            throw std::runtime_error(
                "Failed to write the expected number of bytes to the output file.");
        }
        lock.unlock();
        length -= piece;
        if (progressCallback) {
            progressCallback(total - length, total);
        }
    }
}

// The source header's own "% format" and "% geometry" lines, or lines made from
// the width and height where it has none.
void RawFileReader::sourceGeometryLines(std::string& formatLine, std::string& geometryLine) {
    formatLine =
        "% format EVT3;height=" + std::to_string(height) + ";width=" + std::to_string(width);
    geometryLine = "% geometry " + std::to_string(width) + "x" + std::to_string(height);
    std::string header(static_cast<size_t>(payloadOffset), '\0');
    {
        std::lock_guard<std::mutex> lock(readMutex);
        fileStream.clear();
        fileStream.seekg(0);
        fileStream.read(header.data(), static_cast<std::streamsize>(header.size()));
        header.resize(static_cast<size_t>(std::max<std::streamsize>(fileStream.gcount(), 0)));
    }
    std::istringstream lines(header);
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, 9, "% format ") == 0) {
            formatLine = line;
        } else if (line.compare(0, 11, "% geometry ") == 0) {
            geometryLine = line;
        }
    }
}

bool RawFileReader::extractEventData(uint64_t startTime, uint64_t endTime, std::string outputPath) {
    // The end first: the start's seek is the one that leaves the reader usable.
    if (!seekTime(endTime)) {
        ORVANE_LOG(LOG_ERROR, "No end timestamp found.");
        return false;
    }
    const uint64_t endOffset = static_cast<uint64_t>(fileStream.tellg());
    if (!seekTime(startTime)) {
        ORVANE_LOG(LOG_ERROR, "No start timestamp found.");
        return false;
    }
    const uint64_t startOffset = static_cast<uint64_t>(fileStream.tellg());
    // The cut begins mid-stream, where a fresh decoder would know neither the
    // time's high part and wraps nor the row: words that set the state the seek
    // left the decoder in let the file decode on its own to exactly the source's
    // events and times. At the payload start a fresh decoder's state is right.
    const std::vector<uint8_t> stateWords =
        startOffset > payloadOffset ? evt3StateWords(*decoder) : std::vector<uint8_t>{};
    ORVANE_LOG(LOG_INFO, "extract event start time: %" PRIu64 ", end time: %" PRIu64, startTime,
               endTime);
    if (endOffset < startOffset) {
        ORVANE_LOG(LOG_ERROR, "Start time must be less than or equal to end time.");
        return false;
    }
    const uint64_t length = endOffset - startOffset;
    readBuffer.clear();
    if (length == 0) {
        ORVANE_LOG(LOG_ERROR, "There is no data in the interval.");
        return false;
    }
    if (isTheRecording(outputPath)) {
        ORVANE_LOG(LOG_ERROR, "Output file is the file being read: %s.", outputPath.c_str());
        return false;
    }
    std::ofstream out(outputPath, std::ios::out | std::ios::binary | std::ios::trunc);
    if (!out.is_open()) {
        ORVANE_LOG(LOG_ERROR, "Failed to open output file: %s.", outputPath.c_str());
        return false;
    }
    // An index left beside an earlier file of this name describes other bytes,
    // and its size check need not notice.
    const std::string outputIndex = BookmarkFile::pathFor(outputPath);
    if (!outputIndex.empty() && !isTheRecording(outputIndex)) {
        std::error_code ignored;
        std::filesystem::remove(outputIndex, ignored);
    }
    // The live recording's header with today's date. A source of another size
    // keeps its own format and geometry lines, which the fixed ones would
    // relabel 1280 x 720.
    const bool otherSize = width != 1280 || height != 720;
    std::string formatLine, geometryLine;
    if (otherSize) {
        sourceGeometryLines(formatLine, geometryLine);
    }
    std::istringstream live(RawFileHeader::kLiveRecordingHeader);
    for (std::string line; std::getline(live, line);) {
        if (line.compare(0, 7, "% date ") == 0) {
            line = "% date " + getSysTime();
        } else if (otherSize && line.compare(0, 9, "% format ") == 0) {
            line = formatLine;
        } else if (otherSize && line.compare(0, 11, "% geometry ") == 0) {
            line = geometryLine;
        }
        out << line << '\n' << std::flush;
    }
    out.write(reinterpret_cast<const char*>(stateWords.data()),
              static_cast<std::streamsize>(stateWords.size()));

    // The copy moves the stream to the end of the range while the decoder and
    // the time position stay at its start; putting the stream back makes the
    // next query read from startTime, as after a seek there.
    auto backToStart = [&] {
        std::lock_guard<std::mutex> lock(readMutex);
        fileStream.clear();
        fileStream.seekg(static_cast<std::streamoff>(startOffset));
    };
    try {
        copyPayload(out, startOffset, length);
    } catch (...) {
        backToStart();
        throw;
    }
    backToStart();
    out.close();
    return true;
}

bool RawFileReader::exportEventDataToVideo(uint64_t startTime, uint64_t endTime,
                                           std::string outputPath) {
    // Without a file every slice would be refused, one warning per 1/30 s of range.
    if (refuseUnloaded("exportEventDataToVideo")) {
        return false;
    }
    ORVANE_LOG(LOG_INFO, "Exporting event data to video...");
    if (isTheRecording(outputPath)) {
        ORVANE_LOG(LOG_ERROR, "Output file is the file being read: %s.", outputPath.c_str());
        return false;
    }
    videoConverter = std::make_shared<DataToVideoConverter>();
    // A geometry the encoder cannot take (from the source's header) fails here
    // rather than with pictures of a size the converter was not set up for.
    const bool ready = videoConverter->setConverterFrameSize(height, width, height, width) == 0 &&
                       videoConverter->setConverterFmt(AV_PIX_FMT_BGR24, AV_PIX_FMT_YUV420P) == 0 &&
                       videoConverter->initVideoConverter(outputPath) >= 0;
    if (!ready) {
        ORVANE_LOG(LOG_ERROR,
                   "Video converter initialization failed, please confirm that the input file is "
                   "correct.");
        videoConverter.reset();
        return false;
    }
    // A failed seek leaves a time position just outside the recording, from
    // which the slices still walk it (or find nothing).
    seekTime(startTime);

    std::vector<uint8_t> picture(size_t{width} * height * 3);
    const uint64_t period = 1000000 / static_cast<uint64_t>(videoFrameRate);
    const uint64_t span = endTime > startTime ? endTime - startTime : 0;
    uint64_t failed = 0;
    for (uint64_t t = startTime; t < endTime; t = saturatingAdd(t, period)) {
        auto slice = getNTimeEvents(period);
        if (slice && !slice->empty()) {
            eventsToRgbData(slice, picture);
            if (videoConverter->rgbToVideo(picture.data()) != 0) {
                ++failed;
            }
        }
        // The slice that passed the end took the rest of the file; the rest of
        // the range can only be empty slices, which make no picture.
        const bool rest = reachedEndOfEvents();
        if (progressCallback) {
            progressCallback(rest ? span : std::min(saturatingAdd(t, period), endTime) - startTime,
                             span);
        }
        if (rest) {
            break;
        }
    }
    videoConverter->flushAndCloseVideo();
    if (failed > 0) {
        ORVANE_LOG(LOG_ERROR, "%" PRIu64 " pictures could not be encoded into %s.", failed,
                   outputPath.c_str());
    }
    return true;
}

void RawFileReader::eventsToRgbData(std::shared_ptr<std::vector<Event2D>> events,
                                    std::vector<uint8_t>& rgb) {
    if (!events || events->empty()) {
        return;
    }
    rgb.assign(size_t{width} * height * 3, kBackground);
    for (const Event2D& e : *events) {
        if (e.x >= width || e.y >= height) {
            continue;
        }
        const uint8_t* colour = e.polarity != 0 ? kOnColour : kOffColour;
        uint8_t* pixel = rgb.data() + (size_t{e.y} * width + e.x) * 3;
        pixel[0] = colour[0];
        pixel[1] = colour[1];
        pixel[2] = colour[2];
    }
}

}  // namespace orvane
