#pragma once

// The time index of a raw recording: built by one scan of the payload's time
// words, or reloaded from the side file beside the recording, which it also
// writes. RawFileReader seeks from it.

#include <cstdint>
#include <functional>
#include <istream>
#include <map>
#include <string>

#include "orvane/Bookmark.h"

namespace orvane {

// One bookmark about every kPeriodUs of recording, each a payload position with
// its time and the number of events before it, plus an end entry after the last
// byte; and the event counts of the bookmarks, count -> bookmark time.
class BookmarkIndex {
  public:
    using BookmarkMap = std::map<uint64_t, Bookmark>;
    using EventCountMap = std::map<uint64_t, uint64_t>;

    static constexpr uint64_t kPeriodUs = 2000;
    // The scan reads the payload in pieces of this size.
    static constexpr uint64_t kChunkSize = 131072;

    // Builds the index of the payload that starts at `in`'s position. It walks
    // time words only and counts events per range; `progress` hears the payload
    // bytes scanned so far.
    static void build(std::istream& in, BookmarkMap& bookmarks, EventCountMap& eventCountIndex,
                      const std::function<void(uint64_t scanned)>& progress = {});
    // Ends an index given the bookmarks the scan inserted, the time of the
    // pending (unfinished) period, whether the payload holds events, the
    // decoder's time at the end and the offset after the last byte. Every build
    // of this index, the fast one and any other, ends with it.
    static void close(BookmarkMap& bookmarks, uint64_t payload, uint64_t pendingTime,
                      bool holdsEvents, uint64_t endTime, uint64_t endPosition);

    void clear();
    void build(std::istream& in, const std::function<void(uint64_t scanned)>& progress = {});
    // Loads the side file at `sidePath` when it is a regular file (not a link)
    // valid for the recording whose content hash is `contentHash`
    // (BookmarkFile::contentHash); false otherwise, with the reason in the log
    // where it is not plainly another recording's or a missing file.
    bool load(const std::string& sidePath, uint64_t contentHash, uint64_t rawFileSize,
              uint64_t payloadOffset, uint16_t width, uint16_t height);
    // Writes the side file whole or not at all, never over a file that is not a
    // side file, and not for counts its records cannot hold; every reason for
    // not writing it is logged with the file's name.
    void save(const std::string& sidePath, uint64_t contentHash, uint64_t rawFileSize,
              uint16_t width, uint16_t height) const;

    // The bookmark a seek by time starts its walk from: the last one keyed at or
    // before the time, the first for a time before every key, never the end
    // entry unless it is alone (it follows the last byte, and the events before
    // it may be later than its key). The index must not be empty.
    Bookmark seekStart(uint64_t timestamp) const;
    // The bookmark to start from for an event number: the last one whose count
    // lies below it (the first for 0). False where the index offers none.
    bool atEventCount(uint64_t eventNum, Bookmark& out) const;

    bool empty() const { return bookmarks_.empty(); }
    const BookmarkMap& bookmarks() const { return bookmarks_; }
    const EventCountMap& eventCounts() const { return eventCounts_; }

  private:
    BookmarkMap bookmarks_;
    EventCountMap eventCounts_;
};

}  // namespace orvane
