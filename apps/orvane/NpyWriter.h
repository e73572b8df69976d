#pragma once

// A NumPy .npy array of records written as it comes: the header is written
// first with room for any length and rewritten with the real one at the end.
// Also the CRC-32 and size a zip member needs.

#include <cstdint>
#include <cstdio>
#include <string>

namespace orvane::cli {

class NpyWriter {
  public:
    // numpy's dtype description of orvane.EVENT_DTYPE and TRIGGER_DTYPE, with
    // their padding, as numpy itself writes them.
    static constexpr const char* kEventDescr =
        "[('x', '<u2'), ('y', '<u2'), ('p', '|u1'), ('', '|V3'), ('t', '<u8')]";
    static constexpr const char* kTriggerDescr =
        "[('polarity', '<i2'), ('', '|V6'), ('t', '<u8'), ('id', '<i2'), ('', '|V6')]";

    // Starts a 1-D array of `itemSize`-byte records at `file`'s position.
    // `name` is the file's name in errors.
    NpyWriter(std::FILE* file, std::string name, std::string descr, size_t itemSize);
    NpyWriter(const NpyWriter&) = delete;
    NpyWriter& operator=(const NpyWriter&) = delete;

    // Throws Failure when the disk does not take them.
    void add(const void* records, uint64_t count);
    // Rewrites the header with the number of records; the file stands at the
    // array's end afterwards.
    void finish();

    uint64_t bytes() const { return headerBytes_ + dataBytes_; }
    // Of the whole array, header included, once finished.
    uint32_t crc32() const { return crc_; }

  private:
    std::string header(uint64_t count) const;
    void write(const void* bytes, size_t size);

    std::FILE* file_;
    std::string name_, descr_;
    size_t itemSize_;
    long start_;
    uint64_t headerBytes_ = 0, dataBytes_ = 0, count_ = 0;
    unsigned long dataCrc_ = 0;
    uint32_t crc_ = 0;
};

}  // namespace orvane::cli
