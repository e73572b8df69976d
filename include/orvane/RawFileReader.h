#pragma once

#include <cstdint>
#include <fstream>
#include <functional>
#include <istream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "orvane/Bookmark.h"
#include "orvane/BookmarkIndex.h"
#include "orvane/DvsFileReader.h"
#include "orvane/Event2D.h"
#include "orvane/EventTriggerIn.h"
#include "orvane/hal/Decoder.h"

namespace orvane {

class DataToVideoConverter;

// Reads a raw event file: a '%' text header followed by an EVT 3.0 payload.
//
// loadFile() checks the header and builds the time index: one bookmark about
// every 2 ms of recording, each a payload position with its time and the number
// of events before it. The index is kept in a side file beside the recording
// ("rec.raw" -> "rec.ovmark.tmp") so that the next opening reads only the header
// and that file. A reader built on a path without ".raw" indexes in memory only.
//
// After a successful loadFile the reader stands at the start of the recording.
// Seeks move the read position from the nearest bookmark; queries decode whole
// chunks and keep what they could not use for the next query.
//
// One caller at a time: seeks lock the file and decoder, but queries update the
// read position and the shared vectors without a lock. Every query returns the
// same vector object (unless it says otherwise), so a returned vector stays
// valid for as long as the caller holds it but its content is replaced by the
// next query; copy it to keep it. Before a successful loadFile, seeks fail and
// queries return a new empty vector, with a warning.
class RawFileReader : public DvsFileReader {
  public:
    using Bookmark = orvane::Bookmark;
    using BookmarkMap = BookmarkIndex::BookmarkMap;
    using EventCountMap = BookmarkIndex::EventCountMap;
    // Called during long work: what is done so far, and in all, in the work's own
    // unit (payload bytes for the index and extraction, microseconds of the range
    // for export). The last call of a finished piece of work has done == total.
    using ProgressCallback = std::function<void(uint64_t done, uint64_t total)>;

    static constexpr uint64_t kChunkSize = BookmarkIndex::kChunkSize;

    explicit RawFileReader(std::string path);
    ~RawFileReader() override;
    RawFileReader(const RawFileReader&) = delete;
    RawFileReader& operator=(const RawFileReader&) = delete;

    // Opens the file, reads its header and builds or reloads the index. Never
    // throws. False, with an error in the log that names the file and the reason,
    // when the file cannot be opened (missing, unreadable, a directory), its
    // header is malformed (a width or height that is no number) or not EVT 3.0,
    // or its side file holds no bookmark. A payload that does not look like
    // EVT 3.0 (backward time jumps, words of reserved types, no time words, times
    // spanning far longer than its time words can) still loads, with a warning
    // naming the file.
    bool loadFile() override;

    bool getStartTimeStamp(uint64_t& timestamp) override;
    bool getEndTimeStamp(uint64_t& timestamp) override;
    bool getMaxEvents(uint64_t& eventNum) override;
    // True once the read position's time is beyond the end time, which a query
    // that reaches the end of the payload also brings about.
    bool reachedEndOfEvents() override;

    // Positions the reader just after the last event earlier than `timestamp`
    // (the rule in DvsFileReader.h). The position's event number is exact: the
    // number of the first event the next query returns. False outside
    // [start, end], with the position's time set just outside that range.
    bool seekTime(uint64_t timestamp) override;
    // Positions the reader at event `eventNum` exactly (inside a vector word too):
    // the next query returns it first, and the position's time is its time.
    // False beyond the total; `eventNum` equal to the total stands at the end.
    bool seekNEvents(uint64_t eventNum) override;
    uint64_t getCurrentPosTimeStamp() override;
    uint64_t getCurrentPosEventNum() override;

    // The next n events (fewer at the end of the recording). Afterwards the
    // position's time is the last event's time + 1, or beyond the end time when
    // the query used up the payload.
    std::shared_ptr<std::vector<Event2D>> getNEvents(uint64_t n) override;
    std::shared_ptr<std::vector<Event2D>> getNEventsGivenStartTimeStamp(uint64_t timestamp,
                                                                        uint64_t n) override;
    std::shared_ptr<std::vector<Event2D>> getNEventsGivenStartEvent(uint64_t eventNum,
                                                                    uint64_t n) override;
    // The next events up to and including the time of the position + duration;
    // consecutive calls walk the recording in adjacent slices.
    std::shared_ptr<std::vector<Event2D>> getNTimeEvents(uint64_t duration) override;
    std::shared_ptr<std::vector<Event2D>> getNTimeEventsGivenStartTimeStamp(
        uint64_t timestamp, uint64_t duration) override;
    std::shared_ptr<std::vector<Event2D>> getNTimeEventsGivenStartEvent(uint64_t eventNum,
                                                                        uint64_t duration) override;

    // Writes a new raw file: a fresh header (today's date; the source's own
    // format and geometry lines when it is not 1280 x 720), the EVT 3.0 words that
    // set a decoder's time, wraps, row and vector base as they stand at the cut
    // (none for a cut from the payload start), then, byte for byte, the payload
    // from where seekTime(startTime) stands up to where seekTime(endTime) stands
    // (to the end of the file when endTime is the end time). The
    // file thus decodes on its own to exactly the source's events of the range,
    // with their times. False, with an error in the log, when a time
    // lies outside the recording, the range is empty or backwards, or the output
    // cannot be opened or is the recording itself. A read or write that falls
    // short throws std::runtime_error and leaves the output partial. Afterwards
    // the reader stands at startTime.
    bool extractEventData(uint64_t startTime, uint64_t endTime, std::string outputPath) override;
    // Renders [startTime, endTime) as an H.264 video of the sensor's size: one
    // picture per 1/30 s slice that holds events, grey with each pixel's last
    // event of the slice drawn in the ON or OFF colour. Slices without events
    // make no picture. The range is clamped to the recording. False, with an
    // error in the log, when no file is loaded, the range holds no events (no
    // file is left then), or the video file cannot be made or finished completely
    // (a full disk). Afterwards the reader stands after the last slice read.
    bool exportEventDataToVideo(uint64_t startTime, uint64_t endTime,
                                std::string outputPath) override;

    uint16_t getWidth() const override;
    uint16_t getHeight() const override;

    // Reports the progress of an index build (not of a reload from the side
    // file), an extraction and an export, on the thread that runs them and never
    // with the reader's lock held: the callback may query the reader.
    void setProgressCallback(ProgressCallback callback);

    // The trigger edges of [startTime, endTime] (both included), in stream order,
    // with their times on the events' clock; without arguments, all of the
    // recording's. Reads with a stream and decoder of its own: the read position
    // and the next query's events stay as they were. Empty, with a warning,
    // before a successful loadFile.
    std::vector<EventTriggerIn> getTriggerEvents(uint64_t startTime, uint64_t endTime);
    std::vector<EventTriggerIn> getTriggerEvents();

    // The time index: time -> bookmark, and event count -> bookmark time.
    const BookmarkMap& getBookmarks() const { return index.bookmarks(); }
    const EventCountMap& getEventCountIndex() const { return index.eventCounts(); }

    // Build the index of the payload that starts at `in`'s position, as loadFile
    // does (BookmarkIndex::build): it walks time words only and counts events
    // per range.
    static void buildBookmarks(std::istream& in, BookmarkMap& bookmarks,
                               EventCountMap& eventCountIndex,
                               const std::function<void(uint64_t scanned)>& progress = {});

  private:
    // A place in the payload with the decoder's time and the events before it.
    struct Position {
        uint64_t offset = 0;
        uint64_t time = 0;
        uint64_t events = 0;
    };
    Position timePosition(uint64_t timestamp, const Bookmark& from);
    void findEventTimes();

    void initBookmark();
    bool readAndDecodeEvents(std::function<bool()> stop);

    bool load();
    void warnIfNotEvt3();
    void settleAtEnd();
    void sourceGeometryLines(std::string& formatLine, std::string& geometryLine);
    void resetForLoad();
    bool refuseUnloaded(const char* operation);
    uint64_t readChunk(uint64_t position);
    uint64_t decoderTimeAt(const Bookmark& bookmark) const;
    void restoreDecoder(uint64_t position, uint64_t time);
    void makeDecoder();
    bool isTheRecording(const std::string& path) const;
    void copyPayload(std::ofstream& out, uint64_t start, uint64_t length);
    void eventsToRgbData(std::shared_ptr<std::vector<Event2D>> events, std::vector<uint8_t>& rgb);

    std::unique_ptr<Decoder> decoder;
    std::string filePath;
    std::string bookmarkPath;
    std::ifstream fileStream;
    std::mutex readMutex;
    uint64_t chunkSize = kChunkSize;
    std::vector<uint8_t> readBuffer;
    std::shared_ptr<std::vector<Event2D>> decodedEvents;
    std::shared_ptr<std::vector<Event2D>> pendingEvents;
    std::shared_ptr<std::vector<Event2D>> resultEvents;
    uint64_t currentEventNum = 0;
    uint64_t currentTimestamp = 0;
    uint64_t startTimestamp = 0;
    uint64_t endTimestamp = 0;
    uint64_t maxEvents = 0;
    uint16_t width = 1280;
    uint16_t height = 720;
    uint64_t fileSize = 0;
    BookmarkIndex index;

    // Replaced by every export; kept, closed, until the next one.
    std::shared_ptr<DataToVideoConverter> videoConverter;
    int videoFrameRate = 30;

    uint64_t payloadOffset = 0;
    uint64_t contentHash = 0;  // ties the side file to these bytes
    bool loaded = false;
    ProgressCallback progressCallback;
};

}  // namespace orvane
