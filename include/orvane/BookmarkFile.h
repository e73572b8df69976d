#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <map>
#include <optional>
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
//   "content:<contentHash of the raw file>\n"   (written by this library; see below)
//   0x00
//   u64 record count N
//   N records of 29 bytes, ascending key:
//       u64 key, u64 position, u8 reserved, u64 timestamp, u32 eventIndex
//   CRC-8/SMBUS (poly 0x07, init 0, no reflection, no final xor) of all bytes before it
//
// A side file belongs to a raw file when its CRC matches, its size, width,
// height and content hash are those of the raw file now and its records fit the
// raw file's payload; otherwise it is rebuilt. The content line is one more
// "key:value" line, which readers that do not know it skip. A file's times say
// nothing: copies and archives keep a replaced recording's old ones.
class BookmarkFile {
  public:
    using BookmarkMap = std::map<uint64_t, Bookmark>;
    using EventCountMap = std::map<uint64_t, uint64_t>;

    static constexpr uint64_t kMaxSize = 104857600;  // larger side files are never read
    static constexpr size_t kRecordSize = 29;
    static constexpr uint64_t kWordBytes = 2;  // of the EVT 3.0 payload
    static constexpr const char* kRawExtension = ".raw";
    static constexpr const char* kExtension = ".ovmark.tmp";

    // The side file of a recording, beside it: its file name's ".raw" extension
    // replaced by ".ovmark.tmp" ("a.raw.raw" -> "a.raw.ovmark.tmp"); empty when
    // the file name does not end in ".raw" (the index then stays in memory).
    static std::string pathFor(const std::string& rawPath);

    // What ties a side file to the bytes it indexes: a 64-bit FNV-1a hash of the
    // raw file's size, its header and the first, middle and last kHashedBlock
    // bytes of its payload. Reads those bytes from `raw`, which it leaves failed
    // or at an unspecified position.
    static constexpr uint64_t kHashedBlock = 65536;
    static uint64_t contentHash(std::istream& raw, uint64_t rawFileSize, uint64_t payloadOffset);

    // Whether the file at `sidePath` may be replaced by a new side file: nothing
    // is there, or a regular file (not a link) that is empty or begins as a side
    // file does. Anything else is someone's and stays.
    static bool replaceable(const std::string& sidePath);

    static uint8_t crc8(const uint8_t* data, size_t size);

    enum class ReadResult {
        Read,
        Missing,     // no such file
        Unreadable,  // it cannot be opened, or it is no regular file (a FIFO, a directory)
        Stale,       // larger than kMaxSize
    };
    // Reads the side file at `sidePath` into `bytes`, once, without blocking and
    // without following a symbolic link there.
    static ReadResult read(const std::string& sidePath, std::vector<uint8_t>& bytes);

    // The whole side file, CRC included; the content line only with a hash.
    static std::vector<uint8_t> serialize(const BookmarkMap& bookmarks, uint64_t rawFileSize,
                                          uint16_t width, uint16_t height,
                                          std::optional<uint64_t> contentHash = {});

    enum class Verdict {
        Valid,
        Empty,         // not a single byte, so no CRC either
        CrcMismatch,   // written by someone else or damaged
        OtherFile,     // sound, but for a raw file of another size, geometry or content
        Inconsistent,  // its text, length or records cannot be this raw file's index
    };
    // Judges the bytes of a whole side file against the raw file it should index,
    // whose payload starts at `payloadOffset`: the CRC, the text lines (a value
    // that is no decimal number makes it Inconsistent), and every record (see
    // recordsAgree). With `contentHash`, a content line with that hash is
    // required too (OtherFile otherwise).
    static Verdict check(const std::vector<uint8_t>& bytes, uint64_t rawFileSize,
                         uint64_t payloadOffset, uint16_t width, uint16_t height,
                         std::optional<uint64_t> contentHash = {});

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
