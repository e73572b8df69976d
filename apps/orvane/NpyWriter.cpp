// The .npy format, version 1.0: magic, version, header length, a Python dict
// literal padded with blanks to a 64-byte boundary, then the records.

#include "NpyWriter.h"

#include <zlib.h>

#include "Output.h"

namespace orvane::cli {

namespace {

// A shape wide enough for any count keeps the header's length.
constexpr int kCountWidth = 20;

}  // namespace

NpyWriter::NpyWriter(std::FILE* file, std::string name, std::string descr, size_t itemSize)
    : file_(file),
      name_(std::move(name)),
      descr_(std::move(descr)),
      itemSize_(itemSize),
      start_(std::ftell(file)) {
    const std::string text = header(0);
    headerBytes_ = text.size();
    write(text.data(), text.size());
    dataCrc_ = ::crc32(0L, Z_NULL, 0);
}

std::string NpyWriter::header(uint64_t count) const {
    std::string shape = std::to_string(count) + ",)";
    shape.append(static_cast<size_t>(kCountWidth) + 2 - shape.size(), ' ');
    std::string dict = "{'descr': " + descr_ + ", 'fortran_order': False, 'shape': (" + shape + "}";
    const size_t fixed = 10;  // magic, version and the header's length
    dict.append(63 - (fixed + dict.size() + 1 + 63) % 64, ' ');
    dict += '\n';
    std::string out = "\x93NUMPY\x01";
    out += '\0';
    out += static_cast<char>(dict.size() & 0xFF);
    out += static_cast<char>(dict.size() >> 8);
    return out + dict;
}

void NpyWriter::write(const void* bytes, size_t size) {
    if (size > 0 && std::fwrite(bytes, 1, size, file_) != size) {
        throw Failure(name_ + ": cannot be written (disk full?)");
    }
}

void NpyWriter::add(const void* records, uint64_t count) {
    const size_t size = static_cast<size_t>(count * itemSize_);
    write(records, size);
    dataCrc_ = ::crc32_z(dataCrc_, static_cast<const Bytef*>(records), size);
    dataBytes_ += size;
    count_ += count;
}

void NpyWriter::finish() {
    const std::string text = header(count_);
    const long end = std::ftell(file_);
    if (std::fseek(file_, start_, SEEK_SET) != 0) {
        throw Failure(name_ + ": cannot be written");
    }
    write(text.data(), text.size());
    if (std::fseek(file_, end, SEEK_SET) != 0) {
        throw Failure(name_ + ": cannot be written");
    }
    const unsigned long headerCrc =
        ::crc32(0L, reinterpret_cast<const Bytef*>(text.data()), static_cast<uInt>(text.size()));
    crc_ = static_cast<uint32_t>(
        ::crc32_combine(headerCrc, dataCrc_, static_cast<z_off_t>(dataBytes_)));
}

}  // namespace orvane::cli
