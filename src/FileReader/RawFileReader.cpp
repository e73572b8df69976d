// RawFileReader: loading a raw recording (header, index, the look at whether it
// is EVT 3.0, its first and last events' times) and the accessors. The seeks
// live in RawFileSeeks.cpp, the queries, and the cut and export, in
// RawFileQueries.cpp and RawFileExtract.cpp; the index in BookmarkIndex.

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
    if (payloadOffset == 0) {
        // A bare EVT 3.0 dump is still readable; anything else under a .raw name
        // is told apart only by this warning and the look at its data below.
        ORVANE_LOG(LOG_WARNING,
                   "Raw file %s has no header ('%%' lines); it is read as EVT 3.0 at 1280x720.",
                   filePath.c_str());
    }
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
    if (!bookmarkPath.empty()) {
        contentHash = BookmarkFile::contentHash(fileStream, fileSize, payloadOffset);
        fileStream.clear();
        fileStream.seekg(static_cast<std::streamoff>(payloadOffset));
    }
    if (!bookmarkPath.empty() &&
        index.load(bookmarkPath, contentHash, fileSize, payloadOffset, width, height)) {
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
    findEventTimes();
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
    const uint64_t span = index.bookmarks().rbegin()->first - index.bookmarks().begin()->first;
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

// The index's keys are times its words reach, not its events' times: events
// before the first time word have time 0, and events after the last time-high
// word can be later than the time the last word leaves (a closing time-high that
// repeats the high part clears the low part). The recording spans from its first
// event (or first key, if earlier) to its last event, so that every time query
// reaches every event. Both ends are found by decoding the little before the
// first bookmark with events past it and after the last one with events past it.
void RawFileReader::findEventTimes() {
    if (maxEvents == 0) {
        return;
    }
    const BookmarkMap& bookmarks = index.bookmarks();
    auto decodeTimes = [&](const Bookmark& from, uint64_t to, bool firstOnly) {
        bool any = false;
        uint64_t first = 0, latest = 0;
        auto times =
            DecoderFactory::createUniqueDecoder(RawEventStreamFormat("EVT3;height=720;width=1280"));
        times->setCurrentTimestamp(decoderTimeAt(from));
        times->setEventsStreamHandleCallback([&](const Event2D* begin, const Event2D* end) {
            for (const Event2D* e = begin; e < end; ++e) {
                first = any ? first : e->timestamp;
                latest = any ? std::max(latest, e->timestamp) : e->timestamp;
                any = true;
            }
        });
        for (uint64_t at = from.position; at < to && !(firstOnly && any);) {
            const uint64_t got = readChunk(at);
            readBuffer.resize(evenDown(std::min(got, to - at)));
            if (readBuffer.empty()) {
                break;
            }
            times->decode(readBuffer);
            at += got;
        }
        return firstOnly ? first : latest;
    };
    // The first bookmark past which events have been counted ends the first's search.
    auto firstWith = std::find_if(bookmarks.begin(), bookmarks.end(),
                                  [](const auto& entry) { return entry.second.eventIndex > 0; });
    const uint64_t firstEvent =
        decodeTimes(bookmarks.begin()->second, firstWith->second.position, true);
    startTimestamp = std::min(startTimestamp, firstEvent);
    // The last bookmark with events after it starts the last's.
    auto lastFrom = std::prev(bookmarks.end());
    while (lastFrom != bookmarks.begin() && lastFrom->second.eventIndex >= maxEvents) {
        --lastFrom;
    }
    endTimestamp = decodeTimes(lastFrom->second, fileSize, false);
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
    index.save(bookmarkPath, contentHash, fileSize, width, height);
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
