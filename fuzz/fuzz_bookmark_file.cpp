// Any byte string as a bookmark side file: judging and loading it never fails
// other than by the documented exceptions, and whatever loads writes back into
// a side file that judges valid and loads the same.

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "orvane/BookmarkFile.h"

using namespace orvane;

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> bytes(data, data + size);
    try {
        BookmarkFile::check(bytes, size, 1280, 720);
    } catch (const std::invalid_argument& error) {
        check(std::string(error.what()) == "invalid stoull argument");
    } catch (const std::out_of_range& error) {
        check(std::string(error.what()) == "stoull argument out of range");
    }

    BookmarkFile::BookmarkMap bookmarks;
    BookmarkFile::EventCountMap counts;
    BookmarkFile::parse(bytes, bookmarks, counts);
    check(bookmarks.size() <= size / BookmarkFile::kRecordSize);

    const std::vector<uint8_t> written = BookmarkFile::serialize(bookmarks, size, 640, 480);
    check(BookmarkFile::check(written, size, 640, 480) == BookmarkFile::Verdict::Valid);
    BookmarkFile::BookmarkMap again;
    BookmarkFile::EventCountMap againCounts;
    BookmarkFile::parse(written, again, againCounts);
    check(again == bookmarks);
    return 0;
}
