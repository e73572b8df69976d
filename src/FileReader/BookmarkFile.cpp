#include "orvane/BookmarkFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <utility>

namespace orvane {

namespace {

// A side file of a long recording holds megabytes, and its CRC is most of the
// cost of a second opening. Eight bytes per step through eight tables (entry k
// is a byte followed by k zero bytes) break the byte-to-byte dependency.
using CrcTables = std::array<std::array<uint8_t, 256>, 8>;
constexpr CrcTables makeCrcTables() {
    CrcTables tables{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        uint8_t crc = static_cast<uint8_t>(byte);
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
        }
        tables[0][byte] = crc;
    }
    for (size_t k = 1; k < tables.size(); ++k) {
        for (unsigned byte = 0; byte < 256; ++byte) {
            tables[k][byte] = tables[0][tables[k - 1][byte]];
        }
    }
    return tables;
}
constexpr CrcTables kCrcTables = makeCrcTables();

template <typename T>
void putLittleEndian(std::vector<uint8_t>& out, T value) {
    for (size_t i = 0; i < sizeof(T); ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

template <typename T>
T getLittleEndian(const uint8_t* in) {
    T value = 0;
    for (size_t i = 0; i < sizeof(T); ++i) {
        value = static_cast<T>(value | (T{in[i]} << (8 * i)));
    }
    return value;
}

void putLine(std::vector<uint8_t>& out, const std::string& key, uint64_t value) {
    std::string line = key + ":" + std::to_string(value) + "\n";
    out.insert(out.end(), line.begin(), line.end());
}

// A decimal u64 as std::stoull reads it (leading blanks, stops at the first
// non-digit); false where it would throw.
bool toU64(const std::string& text, uint64_t& value) {
    const char* start = text.c_str();
    char* stop = nullptr;
    errno = 0;
    value = std::strtoull(start, &stop, 10);
    return stop != start && errno != ERANGE;
}

}  // namespace

std::string BookmarkFile::pathFor(const std::string& rawPath) {
    const std::string raw = kRawExtension;
    const size_t name = rawPath.find_last_of('/') + 1;  // 0 without a directory
    if (rawPath.size() - name < raw.size() ||
        rawPath.compare(rawPath.size() - raw.size(), raw.size(), raw) != 0) {
        return {};
    }
    return rawPath.substr(0, rawPath.size() - raw.size()) + kExtension;
}

uint64_t BookmarkFile::contentHash(std::istream& raw, uint64_t rawFileSize,
                                   uint64_t payloadOffset) {
    constexpr uint64_t kPrime = 0x100000001b3ULL;
    uint64_t hash = 0xcbf29ce484222325ULL;
    auto mix = [&](const uint8_t* data, size_t size) {
        for (size_t i = 0; i < size; ++i) {
            hash = (hash ^ data[i]) * kPrime;
        }
    };
    uint8_t size[8];
    for (size_t i = 0; i < sizeof size; ++i) {
        size[i] = static_cast<uint8_t>(rawFileSize >> (8 * i));
    }
    mix(size, sizeof size);
    const uint64_t payload = rawFileSize > payloadOffset ? rawFileSize - payloadOffset : 0;
    std::vector<uint8_t> bytes;
    auto mixRange = [&](uint64_t at, uint64_t length) {
        bytes.resize(static_cast<size_t>(length));
        raw.clear();
        raw.seekg(static_cast<std::streamoff>(at));
        raw.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(length));
        mix(bytes.data(), static_cast<size_t>(std::max<std::streamsize>(raw.gcount(), 0)));
    };
    mixRange(0, std::min(payloadOffset, rawFileSize));
    const uint64_t block = std::min(payload, kHashedBlock);
    mixRange(payloadOffset, block);
    mixRange(payloadOffset + (payload - block) / 2, block);
    mixRange(payloadOffset + payload - block, block);
    return hash;
}

bool BookmarkFile::replaceable(const std::string& sidePath) {
    struct stat there {};
    if (::lstat(sidePath.c_str(), &there) != 0) {
        return errno == ENOENT;
    }
    // A directory cannot be replaced by a rename at all, which the write reports.
    if (S_ISDIR(there.st_mode)) {
        return true;
    }
    if (!S_ISREG(there.st_mode)) {
        return false;
    }
    if (there.st_size == 0) {
        return true;
    }
    const int fd = ::open(sidePath.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    static constexpr char kMagic[] = "max_byte:";
    char start[sizeof kMagic - 1] = {};
    const ssize_t got = ::read(fd, start, sizeof start);
    ::close(fd);
    return got == static_cast<ssize_t>(sizeof start) &&
           std::equal(start, start + sizeof start, kMagic);
}

uint8_t BookmarkFile::crc8(const uint8_t* data, size_t size) {
    const auto& t = kCrcTables;
    uint8_t crc = 0;
    size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        crc = t[7][crc ^ data[i]] ^ t[6][data[i + 1]] ^ t[5][data[i + 2]] ^ t[4][data[i + 3]] ^
              t[3][data[i + 4]] ^ t[2][data[i + 5]] ^ t[1][data[i + 6]] ^ t[0][data[i + 7]];
    }
    for (; i < size; ++i) {
        crc = t[0][crc ^ data[i]];
    }
    return crc;
}

std::vector<uint8_t> BookmarkFile::serialize(const BookmarkMap& bookmarks, uint64_t rawFileSize,
                                             uint16_t width, uint16_t height,
                                             std::optional<uint64_t> contentHash) {
    std::vector<uint8_t> out;
    out.reserve(64 + 8 + bookmarks.size() * kRecordSize + 1);
    putLine(out, "max_byte", rawFileSize);
    putLine(out, "sensor_width", width);
    putLine(out, "sensor_height", height);
    if (contentHash) {
        putLine(out, "content", *contentHash);
    }
    out.push_back(0);
    putLittleEndian<uint64_t>(out, bookmarks.size());
    for (const auto& [key, bookmark] : bookmarks) {
        putLittleEndian<uint64_t>(out, key);
        putLittleEndian<uint64_t>(out, bookmark.position);
        putLittleEndian<uint8_t>(out, bookmark.reserved);
        putLittleEndian<uint64_t>(out, bookmark.timestamp);
        putLittleEndian<uint32_t>(out, bookmark.eventIndex);
    }
    out.push_back(crc8(out.data(), out.size()));
    return out;
}

BookmarkFile::Verdict BookmarkFile::check(const std::vector<uint8_t>& bytes, uint64_t rawFileSize,
                                          uint64_t payloadOffset, uint16_t width, uint16_t height,
                                          std::optional<uint64_t> contentHash) {
    if (bytes.empty()) {
        return Verdict::Empty;
    }
    if (bytes.back() != crc8(bytes.data(), bytes.size() - 1)) {
        return Verdict::CrcMismatch;
    }
    // The text part ends at the first 0x00; each line is "key:value" and the first
    // line without a colon ends the list. A key that is absent counts as 0.
    uint64_t size = 0, sensorWidth = 0, sensorHeight = 0, content = 0;
    bool hasContent = false;
    size_t pos = 0;
    while (pos < bytes.size() && bytes[pos] != 0) {
        size_t lineEnd = pos;
        while (lineEnd < bytes.size() && bytes[lineEnd] != 0 && bytes[lineEnd] != '\n') {
            ++lineEnd;
        }
        std::string line(bytes.begin() + static_cast<long>(pos),
                         bytes.begin() + static_cast<long>(lineEnd));
        size_t colon = line.find(':');
        if (colon == std::string::npos) {
            break;
        }
        const std::string key = line.substr(0, colon);
        uint64_t value = 0;
        if (!toU64(line.substr(colon + 1), value)) {
            // Damage that kept its CRC (a file cut inside a number): rebuilt,
            // rather than an exception out of loading the recording.
            return Verdict::Inconsistent;
        }
        if (key == "max_byte") {
            size = value;
        } else if (key == "sensor_width") {
            sensorWidth = value;
        } else if (key == "sensor_height") {
            sensorHeight = value;
        } else if (key == "content") {
            content = value;
            hasContent = true;
        }
        pos = lineEnd < bytes.size() && bytes[lineEnd] == '\n' ? lineEnd + 1 : lineEnd;
    }
    if (size != rawFileSize || sensorWidth != width || sensorHeight != height ||
        (contentHash && (!hasContent || content != *contentHash))) {
        return Verdict::OtherFile;
    }
    return recordsAgree(bytes, rawFileSize, payloadOffset) ? Verdict::Valid : Verdict::Inconsistent;
}

// A CRC-8 matches one damaged file in 256, so the CRC alone would trust a side
// file cut short by a full disk, or records that point anywhere. Everything that
// can be checked without decoding the payload is: the exact length for the
// record count; keys equal to their times and increasing; positions increasing,
// on words of the payload, the first at its start (with no events before it)
// and the last, the end entry, just after its last byte; counts never falling.
// An index alone in its file is that end entry, with nothing before it.
bool BookmarkFile::recordsAgree(const std::vector<uint8_t>& bytes, uint64_t rawFileSize,
                                uint64_t payloadOffset) {
    size_t pos = 0;
    while (pos < bytes.size() && bytes[pos] != 0) {
        ++pos;
    }
    ++pos;  // past the 0x00
    if (pos + sizeof(uint64_t) + 1 > bytes.size() || payloadOffset > rawFileSize) {
        return false;
    }
    const uint64_t count = getLittleEndian<uint64_t>(bytes.data() + pos);
    pos += sizeof(uint64_t);
    const size_t recordBytes = bytes.size() - 1 - pos;
    if (count == 0 || count > recordBytes / kRecordSize || count * kRecordSize != recordBytes) {
        return false;
    }
    uint64_t previousKey = 0, previousPosition = 0;
    uint32_t previousCount = 0;
    for (uint64_t i = 0; i < count; ++i, pos += kRecordSize) {
        const uint8_t* record = bytes.data() + pos;
        const uint64_t key = getLittleEndian<uint64_t>(record);
        const uint64_t position = getLittleEndian<uint64_t>(record + 8);
        const uint64_t timestamp = getLittleEndian<uint64_t>(record + 17);
        const uint32_t eventIndex = getLittleEndian<uint32_t>(record + 25);
        const bool first = i == 0, last = i + 1 == count;
        const bool ordered = first || (key > previousKey && position > previousPosition);
        const bool placed = last ? position == rawFileSize
                                 : position >= payloadOffset && position < rawFileSize &&
                                       (position - payloadOffset) % kWordBytes == 0;
        const bool starts = !first || (eventIndex == 0 && (last || position == payloadOffset));
        // Counts never fall along the records; a fall is a count past 32 bits that
        // wrapped (written before such counts were refused).
        if (key != timestamp || !ordered || !placed || !starts || eventIndex < previousCount) {
            return false;
        }
        previousCount = eventIndex;
        previousKey = key;
        previousPosition = position;
    }
    return true;
}

void BookmarkFile::parse(const std::vector<uint8_t>& bytes, BookmarkMap& bookmarks,
                         EventCountMap& eventCountIndex) {
    size_t pos = 0;
    while (pos < bytes.size() && bytes[pos] != 0) {
        ++pos;
    }
    ++pos;  // past the 0x00
    BookmarkMap records;
    EventCountMap counts;
    if (pos + sizeof(uint64_t) <= bytes.size()) {
        const uint64_t count = getLittleEndian<uint64_t>(bytes.data() + pos);
        pos += sizeof(uint64_t);
        for (uint64_t i = 0; i < count && pos + kRecordSize <= bytes.size(); ++i) {
            const uint8_t* record = bytes.data() + pos;
            Bookmark bookmark;
            const uint64_t key = getLittleEndian<uint64_t>(record);
            bookmark.position = getLittleEndian<uint64_t>(record + 8);
            bookmark.reserved = record[16];
            bookmark.timestamp = getLittleEndian<uint64_t>(record + 17);
            bookmark.eventIndex = getLittleEndian<uint32_t>(record + 25);
            // Records come in ascending order: the hint makes each insertion O(1).
            counts.emplace_hint(counts.end(), bookmark.eventIndex, bookmark.timestamp);
            records.insert_or_assign(records.end(), key, bookmark);
            pos += kRecordSize;
        }
    }
    bookmarks = std::move(records);
    eventCountIndex = std::move(counts);
}

// Only a regular file is read, and its opening never blocks: a FIFO in its
// place would wait for a writer for ever.
BookmarkFile::ReadResult BookmarkFile::read(const std::string& sidePath,
                                            std::vector<uint8_t>& bytes) {
    bytes.clear();
    const int fd = ::open(sidePath.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT ? ReadResult::Missing : ReadResult::Unreadable;
    }
    struct stat side {};
    if (::fstat(fd, &side) != 0 || !S_ISREG(side.st_mode)) {
        ::close(fd);
        return ReadResult::Unreadable;
    }
    const uint64_t size = static_cast<uint64_t>(side.st_size);
    if (size > kMaxSize) {
        ::close(fd);
        return ReadResult::Stale;
    }
    bytes.resize(size);
    size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    bytes.resize(got);
    return ReadResult::Read;
}

}  // namespace orvane
