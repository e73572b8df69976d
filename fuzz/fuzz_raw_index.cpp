// Any byte string as a raw file's payload: the fast index build ends and gives
// exactly the bookmarks of the word-by-word reference build.

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>

#include "orvane/RawFileReader.h"
#include "orvane/hal/DecoderFactory.h"
#include "support/ReferenceIndex.h"

using namespace orvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first byte sets the payload offset, so odd offsets are covered.
    const size_t offset = size > 0 ? data[0] % 8 : 0;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    RawFileReader::BookmarkMap fast, reference;
    RawFileReader::EventCountMap fastCounts, referenceCounts;

    std::istringstream in(bytes);
    in.seekg(static_cast<std::streamoff>(std::min(offset, size)));
    RawFileReader::buildBookmarks(in, fast, fastCounts);

    std::istringstream again(bytes);
    again.seekg(static_cast<std::streamoff>(std::min(offset, size)));
    auto decoder =
        DecoderFactory::createUniqueDecoder(RawEventStreamFormat("EVT3;height=720;width=1280"));
    test::buildBookmarksReference(again, *decoder, reference, referenceCounts);

    if (fast != reference || fastCounts != referenceCounts || fast.empty()) {
        std::abort();
    }
    return 0;
}
