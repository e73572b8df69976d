// Stored zip members with zip64 sizes and offsets, the layout of PKWARE's
// APPNOTE: local headers, data, central directory, zip64 end records.

#include "ZipWriter.h"

#include "Output.h"

namespace orvane::cli {

namespace {

constexpr uint64_t kVersion = 45;  // zip64
constexpr uint64_t kDate = 0x21;   // 1980-01-01, as a DOS date
constexpr uint64_t kSaturated32 = 0xFFFFFFFF;

}  // namespace

ZipWriter::ZipWriter(const std::string& path, std::string name)
    : file_(std::fopen(path.c_str(), "wb")), name_(std::move(name)) {
    if (file_ == nullptr) {
        throw Failure(name_ + ": cannot be written");
    }
}

ZipWriter::~ZipWriter() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

void ZipWriter::put(std::string& out, uint64_t value, int bytes) const {
    for (int i = 0; i < bytes; ++i) {
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

void ZipWriter::write(const std::string& bytes) {
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) {
        throw Failure(name_ + ": cannot be written (disk full?)");
    }
}

void ZipWriter::beginMember(const std::string& memberName) {
    members_.push_back({memberName, static_cast<uint64_t>(std::ftell(file_)), 0, 0});
    std::string header;
    put(header, 0x04034b50, 4);
    put(header, kVersion, 2);
    put(header, 0, 2);  // flags
    put(header, 0, 2);  // stored
    put(header, 0, 2);  // time
    put(header, kDate, 2);
    put(header, 0, 4);  // CRC-32, patched by endMember
    put(header, kSaturated32, 4);
    put(header, kSaturated32, 4);
    put(header, memberName.size(), 2);
    put(header, 20, 2);  // the zip64 field
    header += memberName;
    put(header, 0x0001, 2);
    put(header, 16, 2);
    put(header, 0, 8);  // sizes, patched by endMember
    put(header, 0, 8);
    write(header);
}

void ZipWriter::endMember(uint64_t size, uint32_t crc) {
    Member& member = members_.back();
    member.size = size;
    member.crc = crc;
    const long end = std::ftell(file_);
    std::string crcBytes, sizes;
    put(crcBytes, crc, 4);
    put(sizes, size, 8);
    put(sizes, size, 8);
    const long crcAt = static_cast<long>(member.offset) + 14;
    const long sizesAt =
        static_cast<long>(member.offset) + 30 + static_cast<long>(member.name.size()) + 4;
    if (std::fseek(file_, crcAt, SEEK_SET) != 0) {
        throw Failure(name_ + ": cannot be written");
    }
    write(crcBytes);
    if (std::fseek(file_, sizesAt, SEEK_SET) != 0) {
        throw Failure(name_ + ": cannot be written");
    }
    write(sizes);
    if (std::fseek(file_, end, SEEK_SET) != 0) {
        throw Failure(name_ + ": cannot be written");
    }
}

void ZipWriter::finish() {
    const uint64_t directoryAt = static_cast<uint64_t>(std::ftell(file_));
    std::string directory;
    for (const Member& member : members_) {
        put(directory, 0x02014b50, 4);
        put(directory, kVersion, 2);  // made by
        put(directory, kVersion, 2);  // needed
        put(directory, 0, 2);
        put(directory, 0, 2);
        put(directory, 0, 2);
        put(directory, kDate, 2);
        put(directory, member.crc, 4);
        put(directory, kSaturated32, 4);
        put(directory, kSaturated32, 4);
        put(directory, member.name.size(), 2);
        put(directory, 28, 2);  // the zip64 field
        put(directory, 0, 2);   // comment
        put(directory, 0, 2);   // disk
        put(directory, 0, 2);   // internal attributes
        put(directory, 0, 4);   // external attributes
        put(directory, kSaturated32, 4);
        directory += member.name;
        put(directory, 0x0001, 2);
        put(directory, 24, 2);
        put(directory, member.size, 8);
        put(directory, member.size, 8);
        put(directory, member.offset, 8);
    }
    const uint64_t endAt = directoryAt + directory.size();
    std::string end;
    put(end, 0x06064b50, 4);  // zip64 end of central directory
    put(end, 44, 8);
    put(end, kVersion, 2);
    put(end, kVersion, 2);
    put(end, 0, 4);
    put(end, 0, 4);
    put(end, members_.size(), 8);
    put(end, members_.size(), 8);
    put(end, directory.size(), 8);
    put(end, directoryAt, 8);
    put(end, 0x07064b50, 4);  // its locator
    put(end, 0, 4);
    put(end, endAt, 8);
    put(end, 1, 4);
    put(end, 0x06054b50, 4);  // end of central directory, pointing to the above
    put(end, 0, 2);
    put(end, 0, 2);
    put(end, 0xFFFF, 2);
    put(end, 0xFFFF, 2);
    put(end, kSaturated32, 4);
    put(end, kSaturated32, 4);
    put(end, 0, 2);
    write(directory + end);
    const int closed = std::fclose(file_);
    file_ = nullptr;
    if (closed != 0) {
        throw Failure(name_ + ": cannot be written (disk full?)");
    }
}

}  // namespace orvane::cli
