// Any byte string as a bookmark side file: judging and loading it never fails,
// and whatever is judged valid writes back into a side file that judges valid
// and loads the same.

#include <cstdlib>
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
    // The recording's size is what the records may reach; the first byte picks
    // the payload offset, odd ones included.
    const uint64_t rawSize = size * 16;
    const uint64_t offset = size > 0 ? data[0] % 8 : 0;
    const BookmarkFile::Verdict verdict = BookmarkFile::check(bytes, rawSize, offset, 1280, 720);

    BookmarkFile::BookmarkMap bookmarks;
    BookmarkFile::EventCountMap counts;
    BookmarkFile::parse(bytes, bookmarks, counts);
    check(bookmarks.size() <= size / BookmarkFile::kRecordSize);
    if (verdict != BookmarkFile::Verdict::Valid) {
        return 0;
    }
    check(!bookmarks.empty() && bookmarks.rbegin()->second.position == rawSize);
    const std::vector<uint8_t> written = BookmarkFile::serialize(bookmarks, rawSize, 1280, 720);
    check(BookmarkFile::check(written, rawSize, offset, 1280, 720) == BookmarkFile::Verdict::Valid);
    BookmarkFile::BookmarkMap again;
    BookmarkFile::EventCountMap againCounts;
    BookmarkFile::parse(written, again, againCounts);
    check(again == bookmarks && againCounts == counts);
    return 0;
}
