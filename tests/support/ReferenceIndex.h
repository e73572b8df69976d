#pragma once

// The time index built word by word, two decoder calls per word: the slow,
// obvious algorithm that the fast build in BookmarkIndex must match exactly.
// Tests, benchmarks and fuzz targets compare the two.

#include <istream>

#include "orvane/BookmarkIndex.h"
#include "orvane/hal/Decoder.h"

namespace orvane::test {

// Builds the index of the payload that starts at `in`'s position, as
// BookmarkIndex::build does.
void buildBookmarksReference(std::istream& in, Decoder& decoder,
                             BookmarkIndex::BookmarkMap& bookmarks,
                             BookmarkIndex::EventCountMap& eventCountIndex);

}  // namespace orvane::test
