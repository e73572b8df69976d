#pragma once

// A zip archive of stored (uncompressed) members written one after another, as
// NumPy's .npz is: each member's size and CRC-32 are patched into its local
// header once it is complete. Zip64 throughout, so members may pass 4 GiB.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace orvane::cli {

class ZipWriter {
  public:
    // Opens `path` for writing; `name` is the file's name in errors. Throws
    // Failure when it cannot be opened.
    ZipWriter(const std::string& path, std::string name);
    ~ZipWriter();
    ZipWriter(const ZipWriter&) = delete;
    ZipWriter& operator=(const ZipWriter&) = delete;

    // Starts the member `memberName`; write its bytes to file().
    void beginMember(const std::string& memberName);
    // Ends the current member, `size` bytes with CRC-32 `crc`.
    void endMember(uint64_t size, uint32_t crc);
    // Writes the central directory and closes the file; Failure when the disk
    // did not take it all.
    void finish();

    std::FILE* file() const { return file_; }

  private:
    struct Member {
        std::string name;
        uint64_t offset = 0, size = 0;
        uint32_t crc = 0;
    };
    void put(std::string& out, uint64_t value, int bytes) const;
    void write(const std::string& bytes);

    std::FILE* file_ = nullptr;
    std::string name_;
    std::vector<Member> members_;
};

}  // namespace orvane::cli
