#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "orvane/Bookmark.h"

namespace orvane {

// The bookmark side file of a raw recording ("rec.raw" -> "rec.ovmark.tmp"): the
// persistent time index that lets a second opening skip the scan of the payload.
//
// Layout, no padding, binary integers little-endian:
//   "max_byte:<size of the raw file>\n"
//   "sensor_width:<width>\n"
//   "sensor_height:<height>\n"
//   0x00
//   u64 record count N
//   N records of 29 bytes, ascending key:
//       u64 key, u64 position, u8 reserved, u64 timestamp, u32 eventIndex
//   CRC-8/SMBUS (poly 0x07, init 0, no reflection, no final xor) of all bytes before it
//
// A side file belongs to a raw file when its CRC matches, its size, width and
// height are those of the raw file now and its records fit the raw file's
// payload; otherwise it is rebuilt.
class BookmarkFile {
  public:
    using BookmarkMap = std::map<uint64_t, Bookmark>;
    using EventCountMap = std::map<uint64_t, uint64_t>;

    static constexpr uint64_t kMaxSize = 104857600;  // larger side files are never read
    static constexpr size_t kRecordSize = 29;
    static constexpr uint64_t kWordBytes = 2;  // of the EVT 3.0 payload
    static constexpr const char* kRawExtension = ".raw";
    static constexpr const char* kExtension = ".ovmark.tmp";

    // The side file of a recording: its path with the last ".raw" replaced by
    // ".ovmark.tmp"; empty when the path holds no ".raw".
    static std::string pathFor(const std::string& rawPath);

    static uint8_t crc8(const uint8_t* data, size_t size);

    enum class ReadResult {
        Read,
        Missing,     // no such file
        Unreadable,  // it cannot be opened, or it is no regular file (a FIFO, a directory)
        Stale,       // older than the recording (rewritten in place), or larger than kMaxSize
    };
    // Reads the side file at `sidePath` of the recording at `rawPath` into
    // `bytes`, once and without blocking. A recording rewritten in place with
    // the same size is told from its index only by being newer.
    static ReadResult read(const std::string& sidePath, const std::string& rawPath,
                           std::vector<uint8_t>& bytes);

    // The whole side file, CRC included.
    static std::vector<uint8_t> serialize(const BookmarkMap& bookmarks, uint64_t rawFileSize,
                                          uint16_t width, uint16_t height);

    enum class Verdict {
        Valid,
        Empty,         // not a single byte, so no CRC either
        CrcMismatch,   // written by someone else or damaged
        OtherFile,     // sound, but for a raw file of another size or geometry
        Inconsistent,  // its text, length or records cannot be this raw file's index
    };
    // Judges the bytes of a whole side file against the raw file it should index,
    // whose payload starts at `payloadOffset`: the CRC, the text lines (a value
    // that is no decimal number makes it Inconsistent), and every record (see
    // recordsAgree).
    static Verdict check(const std::vector<uint8_t>& bytes, uint64_t rawFileSize,
                         uint64_t payloadOffset, uint16_t width, uint16_t height);

    // Replaces both maps by the records of a side file that check() accepted. The
    // text part is skipped, a record cut short is dropped, a repeated key keeps its
    // last record and a repeated event count its first.
    static void parse(const std::vector<uint8_t>& bytes, BookmarkMap& bookmarks,
                      EventCountMap& eventCountIndex);

  private:
    static bool recordsAgree(const std::vector<uint8_t>& bytes, uint64_t rawFileSize,
                             uint64_t payloadOffset);
};

}  // namespace orvane
