// The raw reader's time index: the fast build by one scan of the time words,
// the lookups the seeks start from, and the side file's check, load and atomic
// write (its byte layout is BookmarkFile's).

#include "orvane/BookmarkIndex.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <utility>
#include <vector>

#include "FileReader/RawPayload.h"
#include "orvane/BookmarkFile.h"
#include "orvane/base/Logger.h"
#include "orvane/hal/Evt3Scan.h"

namespace orvane {

namespace {

// The index is part of the reader to its users: it logs under the reader's name.
constexpr const char* kLogModule = "src/FileReader/RawFileReader";

constexpr uint64_t kProgressStep = uint64_t{64} << 20;

using payload::evenDown;
using payload::kWordBytes;
using payload::readInto;
using payload::saturatingAdd;

}  // namespace

// The word-by-word algorithm this index follows lost events here in two ways,
// fixed in every build alike:
// - a payload shorter than one period had its end entry alone, with count 0, so
//   none of its events could be read: one that holds events also gets its start
//   entry (the payload start, the first time or 0 when none was reached);
// - an end time at or below the last key (a closing time word that steps back,
//   or a recording whose time never moved) dropped the end entry or put it among
//   the others, losing or double counting the events after the last key: the end
//   entry always comes last, keyed by the pending period's time, or just above
//   the last key when that is not later.
// Every other index keeps the end entry under the end time, as before.
void BookmarkIndex::close(BookmarkMap& bookmarks, uint64_t payload, uint64_t pendingTime,
                          bool holdsEvents, uint64_t endTime, uint64_t endPosition) {
    if (bookmarks.empty() && holdsEvents) {
        Bookmark start;
        start.position = payload;
        start.timestamp = pendingTime;
        bookmarks.emplace(pendingTime, start);
    }
    uint64_t key = endTime;
    if (!bookmarks.empty() && endTime <= bookmarks.rbegin()->first) {
        key = std::max(pendingTime, saturatingAdd(bookmarks.rbegin()->first, 1));
    }
    Bookmark end;
    end.position = endPosition;
    end.timestamp = key;
    bookmarks.emplace_hint(bookmarks.end(), key, end);
}

void BookmarkIndex::build(std::istream& in, BookmarkMap& bookmarks, EventCountMap& eventCountIndex,
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
            const uint64_t threshold = last == 0 ? 1 : last + kPeriodUs;
            pos += evt3ScanToTime(data + pos, data + whole, threshold, time, events);
            if (pos >= whole) {
                break;
            }
            if (last == 0) {
                last = time;
                pending.timestamp = time;
            } else {
                pending.timestamp = last;
                // Keys only grow here (each is 2000 us past the one before): no
                // descent of the tree per bookmark.
                bookmarks.emplace_hint(bookmarks.end(), last, pending);
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

    // The end entry sits after the last byte (at the payload start when there is
    // no payload, so that a seek there never decodes the header).
    close(bookmarks, payload, last, events > 0, time, chunkStart);

    // Counts between neighbours in key order, as decoding each range would give:
    // the end entry (always last) has every event of the payload before it, and
    // a start entry added by close() none.
    auto before = [&](size_t i) {
        return i + 1 == bookmarks.size() ? events : i < eventsBefore.size() ? eventsBefore[i] : 0;
    };
    uint64_t count = 0;
    size_t i = 0;
    uint64_t eBefore = before(i);
    for (auto s = std::next(bookmarks.begin()); s != bookmarks.end(); ++s) {
        const uint64_t sBefore = before(++i);
        count += sBefore - eBefore;
        s->second.eventIndex = count;
        eventCountIndex.emplace_hint(eventCountIndex.end(), count, s->first);  // counts grow
        eBefore = sBefore;
    }
    eventCountIndex.emplace(bookmarks.begin()->second.eventIndex,
                            bookmarks.begin()->second.timestamp);
}

void BookmarkIndex::clear() {
    bookmarks_.clear();
    eventCounts_.clear();
}

void BookmarkIndex::build(std::istream& in, const std::function<void(uint64_t)>& progress) {
    build(in, bookmarks_, eventCounts_, progress);
}

// Written under a name of its own and renamed into place, so that whoever opens
// the side file meanwhile (another reader) finds the old file or the whole new
// one, never a part; a write cut short (a full disk) leaves the old name alone.
void BookmarkIndex::save(const std::string& path, uint64_t contentHash, uint64_t rawFileSize,
                         uint16_t width, uint16_t height) const {
    // Its records count events in 32 bits: a larger count would come back wrong.
    const uint64_t events = bookmarks_.empty() ? 0 : bookmarks_.rbegin()->second.eventIndex;
    if (events > UINT32_MAX) {
        ORVANE_LOG(LOG_WARNING,
                   "The recording indexed in %s holds %" PRIu64
                   " events, more than a bookmark file can count; its index is kept in memory "
                   "only and built at every opening.",
                   path.c_str(), events);
        return;
    }
    if (!BookmarkFile::replaceable(path)) {
        ORVANE_LOG(LOG_WARNING,
                   "Not writing the bookmark file %s: something that is not a bookmark file is "
                   "there; the index is kept in memory only.",
                   path.c_str());
        return;
    }
    const std::vector<uint8_t> bytes =
        BookmarkFile::serialize(bookmarks_, rawFileSize, width, height, contentHash);
    // Workers on several machines may index one shared recording at once: the
    // host's name keeps their temporary files apart, the process id and the
    // serial those of one machine.
    static std::atomic<uint64_t> serial{0};
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0) {
        host[0] = '\0';
    }
    const std::string temporary = path + "." + host + "-" + std::to_string(::getpid()) + "-" +
                                  std::to_string(serial++) + ".part";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        ORVANE_LOG(LOG_ERROR, "Failed to open file for writing: cannot create %s: %s",
                   temporary.c_str(), std::strerror(errno));
        return;
    }
    size_t written = 0;
    int error = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = n < 0 ? errno : ENOSPC;
            break;
        }
        written += static_cast<size_t>(n);
    }
    if (::close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error != 0) {
        ORVANE_LOG(LOG_ERROR, "Failed to write bookmark file %s: %s", path.c_str(),
                   std::strerror(error));
        ::unlink(temporary.c_str());
    } else if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        // Something that is not a file stands in its place (a directory).
        ORVANE_LOG(LOG_ERROR, "Failed to open file for writing: cannot replace %s: %s",
                   path.c_str(), std::strerror(errno));
        ::unlink(temporary.c_str());
    }
}

// Read once, judged and loaded from the same bytes: a second reading could meet
// another reader's rebuild.
bool BookmarkIndex::load(const std::string& path, uint64_t contentHash, uint64_t rawFileSize,
                         uint64_t payloadOffset, uint16_t width, uint16_t height) {
    std::vector<uint8_t> bytes;
    switch (BookmarkFile::read(path, bytes)) {
        case BookmarkFile::ReadResult::Read:
            break;
        case BookmarkFile::ReadResult::Unreadable:
            ORVANE_LOG(LOG_WARNING, "Error opening file for reading!");
            return false;
        case BookmarkFile::ReadResult::Missing:
        case BookmarkFile::ReadResult::Stale:
            return false;
    }
    switch (BookmarkFile::check(bytes, rawFileSize, payloadOffset, width, height, contentHash)) {
        case BookmarkFile::Verdict::Valid:
            BookmarkFile::parse(bytes, bookmarks_, eventCounts_);
            return true;
        case BookmarkFile::Verdict::Empty:
            ORVANE_LOG(LOG_WARNING, "The file content is insufficient to perform CRC validation!");
            return false;
        case BookmarkFile::Verdict::CrcMismatch:
            ORVANE_LOG(LOG_INFO, "The file has changed");
            return false;
        case BookmarkFile::Verdict::Inconsistent:
            ORVANE_LOG(LOG_INFO, "The bookmark file %s does not fit the recording; rebuilding it.",
                       path.c_str());
            return false;
        case BookmarkFile::Verdict::OtherFile:
            return false;
    }
    return false;
}

Bookmark BookmarkIndex::seekStart(uint64_t timestamp) const {
    auto last = std::prev(bookmarks_.end());
    auto after = bookmarks_.upper_bound(timestamp);
    if (after == bookmarks_.end()) {
        after = last;
    }
    return after == bookmarks_.begin() ? after->second : std::prev(after)->second;
}

bool BookmarkIndex::atEventCount(uint64_t eventNum, Bookmark& out) const {
    auto found = eventCounts_.lower_bound(eventNum);
    if (found == eventCounts_.end() || bookmarks_.empty()) {
        return false;
    }
    if (eventNum == 0) {
        out = bookmarks_.begin()->second;
        return true;
    }
    if (found == eventCounts_.begin()) {
        return false;
    }
    // A side file may name a time that is not a key; it then offers no start.
    auto bookmark = bookmarks_.find(std::prev(found)->second);
    if (bookmark == bookmarks_.end()) {
        return false;
    }
    out = bookmark->second;
    return true;
}

}  // namespace orvane
