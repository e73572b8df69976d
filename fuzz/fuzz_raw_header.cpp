// Any byte string as the start of a raw file: the header reader ends on every
// input, stops inside it, and leaves the stream at the payload it reports.
// Unreadable geometry values are the documented exceptions.

#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string>

#include "orvane/RawFileHeader.h"

using namespace orvane;

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    try {
        const RawFileHeader header = RawFileHeader::read(in);
        check(header.size <= size);
        if (header.status == RawFileHeader::Status::Ok) {
            // Ends at "% end" or before the first byte that is not '%'.
            check(header.size == size || data[header.size] != '%' ||
                  (header.size >= 6 && data[header.size - 1] == '\n'));
            if (header.size < size) {
                check(in.good() && static_cast<size_t>(in.tellg()) == header.size);
            }
        }
    } catch (const std::invalid_argument& error) {
        check(std::string(error.what()) == "invalid stoi argument");
    } catch (const std::out_of_range& error) {
        check(std::string(error.what()) == "stoi argument out of range");
    }
    return 0;
}
