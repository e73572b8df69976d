// The word-by-word reference build of the time index (see ReferenceIndex.h).

#include "support/ReferenceIndex.h"

#include <algorithm>
#include <iterator>
#include <vector>

#include "FileReader/RawPayload.h"

namespace orvane::test {

using payload::dropLoneLastByte;
using payload::readInto;

void buildBookmarksReference(std::istream& in, Decoder& decoder,
                             BookmarkIndex::BookmarkMap& bookmarks,
                             BookmarkIndex::EventCountMap& eventCountIndex) {
    bookmarks.clear();
    eventCountIndex.clear();
    std::vector<uint8_t> buffer;
    const std::streamoff start = in.tellg();
    const uint64_t payload = start < 0 ? 0 : static_cast<uint64_t>(start);

    // Pass 1: the time of every word.
    Bookmark pending;
    pending.position = payload;
    uint64_t last = 0;
    uint64_t chunkStart = payload;
    while (in.good()) {
        const uint64_t got = readInto(in, buffer, BookmarkIndex::kChunkSize);
        const uint8_t w = decoder.getWordSize();
        for (uint64_t off = 0; off + w <= got; off += w) {
            decoder.decodeRange(buffer.data() + off, buffer.data() + off + w);
            const uint64_t t = decoder.getCurrentTimestamp();
            if (last == 0) {
                if (t == 0) {
                    continue;
                }
                last = t;
                pending.timestamp = t;
            } else {
                pending.timestamp = last;
                if (t == 0) {
                    continue;
                }
            }
            if (t < last + BookmarkIndex::kPeriodUs) {
                continue;
            }
            bookmarks.emplace(last, pending);
            pending.position = chunkStart + off;
            last = t;
        }
        chunkStart += got;
    }
    const uint64_t tEnd = decoder.getCurrentTimestamp();
    // Whether a payload shorter than one period holds events, which decides its
    // start entry: decode it once more.
    bool holdsEvents = false;
    if (bookmarks.empty() && chunkStart > payload) {
        in.clear();
        in.seekg(static_cast<std::streamoff>(payload));
        readInto(in, buffer, chunkStart - payload);
        dropLoneLastByte(buffer);
        holdsEvents = decoder.decode(buffer) > 0;
    }
    BookmarkIndex::close(bookmarks, payload, last, holdsEvents, tEnd, chunkStart);

    // Pass 2: decode each range between neighbours and count its events.
    uint32_t count = 0;
    auto e = bookmarks.begin();
    for (auto s = std::next(e); s != bookmarks.end(); e = s++) {
        in.clear();
        in.seekg(static_cast<std::streamoff>(e->second.position));
        uint64_t remaining =
            s->second.position > e->second.position ? s->second.position - e->second.position : 0;
        while (remaining > 0) {
            const uint64_t got =
                readInto(in, buffer, std::min(remaining, BookmarkIndex::kChunkSize));
            if (got == 0) {
                break;
            }
            remaining -= got;
            dropLoneLastByte(buffer);
            count += static_cast<uint32_t>(decoder.decode(buffer));
        }
        s->second.eventIndex = count;
        eventCountIndex.emplace(count, s->first);
    }
    eventCountIndex.emplace(bookmarks.begin()->second.eventIndex,
                            bookmarks.begin()->second.timestamp);
}

}  // namespace orvane::test
