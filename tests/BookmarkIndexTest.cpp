// The time index of raw files: the fast walk over time words, the index built
// from it against the word-by-word reference, and the side file's format.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <random>

#include "orvane/orvane.h"
#include "support/ReferenceIndex.h"
#include "support/Streams.h"

namespace orvane {
namespace {

struct Index {
    RawFileReader::BookmarkMap bookmarks;
    RawFileReader::EventCountMap counts;
};

Index buildFast(const std::string& path, uint64_t payloadOffset) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(payloadOffset));
    Index index;
    RawFileReader::buildBookmarks(in, index.bookmarks, index.counts);
    return index;
}

Index buildReference(const std::string& path, uint64_t payloadOffset) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(payloadOffset));
    Index index;
    auto decoder = test::evt3Decoder();
    test::buildBookmarksReference(in, *decoder, index.bookmarks, index.counts);
    return index;
}

// Both builds give the same index, and it counts every event of the payload.
void expectSameIndex(const std::string& path, uint64_t payloadOffset) {
    Index fast = buildFast(path, payloadOffset);
    Index reference = buildReference(path, payloadOffset);
    const test::RawFile file = test::readRawFile(path);
    std::vector<uint8_t> payload = file.payload;
    payload.insert(payload.begin(), file.header.begin() + static_cast<long>(payloadOffset),
                   file.header.end());
    EXPECT_EQ(fast.bookmarks.rbegin()->second.eventIndex, test::decodeEvents(payload).size());
    EXPECT_EQ(fast.bookmarks.rbegin()->second.position, payloadOffset + payload.size());
    auto differs = std::mismatch(fast.bookmarks.begin(), fast.bookmarks.end(),
                                 reference.bookmarks.begin(), reference.bookmarks.end());
    EXPECT_TRUE(differs.first == fast.bookmarks.end() &&
                differs.second == reference.bookmarks.end())
        << "first difference at key "
        << (differs.first != fast.bookmarks.end() ? differs.first->first : differs.second->first);
    EXPECT_EQ(fast.counts, reference.counts);
}

// The decoder's time after each word, and the events each word produces.
struct WordWalk {
    std::vector<uint64_t> timeAfter;
    std::vector<uint32_t> events;
};
WordWalk walk(const std::vector<uint8_t>& bytes, uint64_t startTime) {
    auto decoder = test::evt3Decoder();
    decoder->setCurrentTimestamp(startTime);
    WordWalk result;
    for (size_t off = 0; off + 2 <= bytes.size(); off += 2) {
        result.events.push_back(decoder->decodeCounting(&bytes[off], &bytes[off] + 2));
        result.timeAfter.push_back(decoder->getCurrentTimestamp());
    }
    return result;
}

// Scans to random thresholds and event counts stop where the decoder, word by
// word, gets there.
void expectScansAgree(const std::vector<uint8_t>& bytes, uint64_t start, std::mt19937_64& random) {
    WordWalk expected = walk(bytes, start);
    uint64_t all = 0;
    for (uint32_t n : expected.events) {
        all += n;
    }
    EXPECT_EQ(evt3CountEvents(bytes.data(), bytes.data() + bytes.size()), all);
    for (int trial = 0; trial < 40; ++trial) {
        // Anywhere, or within a period after a time the stream reaches (a real
        // recording's time starts far from 0).
        const uint64_t threshold =
            trial % 2 ? start + random() % (expected.timeAfter.back() - start + 10)
                      : expected.timeAfter[random() % expected.timeAfter.size()] + random() % 2000;
        uint64_t time = start, events = 7;
        size_t off =
            evt3ScanToTime(bytes.data(), bytes.data() + bytes.size(), threshold, time, events);
        size_t i = 0, before = 7;
        while (i < expected.timeAfter.size() && expected.timeAfter[i] < threshold) {
            before += expected.events[i++];
        }
        ASSERT_EQ(off, 2 * i) << "threshold " << threshold;
        ASSERT_EQ(events, before);
        ASSERT_EQ(time, i < expected.timeAfter.size() ? expected.timeAfter[i]
                                                      : expected.timeAfter.back());

        const uint64_t target = random() % 4000;
        time = start;
        events = 0;
        off = evt3ScanToEventCount(bytes.data(), bytes.data() + bytes.size(), target, time, events);
        uint64_t sum = 0;
        for (i = 0; i < expected.events.size() && (sum += expected.events[i]) < target; ++i) {
        }
        ASSERT_EQ(off, 2 * i);
        ASSERT_EQ(events, sum);
    }
}

TEST(Evt3Scan, AgreesWithTheDecoderWordByWord) {
    std::mt19937_64 random(3);
    for (uint64_t run = 0; run < 12; ++run) {
        // Each stream through the wide and the portable scalar code.
        const uint64_t seed = run / 2 + 1;
        test::ForceScalar force(run % 2 == 1);
        // Encoded streams, and noise whose time steps back and wraps at random.
        std::vector<uint8_t> bytes = seed % 2 ? test::encode(test::randomStream(seed, 3000, 1))
                                              : test::randomBytes(seed, 20001);
        expectScansAgree(bytes, seed < 3 ? 0 : (uint64_t{5} << 24) + 4242, random);
    }
    // Cameras repeat the high part in time-highs between the time-lows, which the
    // wide walk passes block by block.
    for (const std::string& path : test::realRecordings()) {
        SCOPED_TRACE(path);
        std::vector<uint8_t> bytes = test::readRawFile(path).payload;
        bytes.resize(std::min<size_t>(bytes.size(), 200000) & ~size_t{1});
        expectScansAgree(bytes, 0, random);
    }
}

TEST(BookmarkIndex, FastBuildEqualsReferenceOnGeneratedRecordings) {
    test::ScratchDir dir;
    const std::string path = dir.file("rec.raw");
    // Headers of even and odd length, payloads of even and odd length, noise, and
    // payloads shorter than one bookmark period or empty.
    const std::vector<std::string> headers = {test::recordingHeader(), "% evt 3.0\n% end\n", ""};
    for (uint64_t seed = 1; seed <= 12; ++seed) {
        std::vector<uint8_t> payload;
        if (seed <= 5) {
            payload = test::encode(test::randomStream(seed, 15000, seed % 3));
        } else if (seed <= 7) {
            payload = test::randomBytes(seed, 300001);
        } else if (seed == 8) {
            payload = test::encode(test::randomStream(seed, 50, 0));
            payload.resize(std::min<size_t>(payload.size(), 40));
        } else if (seed == 9) {
            // The time steps back at the end, below the last key.
            payload = test::evt3Words({0x8001, 0x2001, 0x8002, 0x2002, 0x8003, 0x2003, 0x6800,
                                       0x2004, 0x6FFF, 0x2005, 0x2006, 0x6001, 0x2007});
        } else if (seed == 10) {
            payload = test::endingOnItsLastKey();
        } else {
            // Shorter than one period: events over 1.5 ms, or a burst in one microsecond.
            std::vector<uint16_t> list = {0x8001};
            for (uint16_t i = 0; i < 300; ++i) {
                if (seed == 11) {
                    list.push_back(static_cast<uint16_t>(0x6000 + 5 * i));
                }
                list.push_back(static_cast<uint16_t>(0x2000 + i));
            }
            payload = test::evt3Words(list);
        }
        if (seed == 3) {
            payload.push_back(0x80);  // odd length: a lone last byte
        }
        const std::string& header = headers[seed % headers.size()];
        test::writeRawFile(path, header, payload);
        SCOPED_TRACE("seed " + std::to_string(seed));
        expectSameIndex(path, header.size());
    }
    // A steady, dense scene: bookmarks fall on time-low words, many events apart.
    test::writeSceneRecording(path, 3 << 20, 4);
    expectSameIndex(path, test::recordingHeader().size());
}

TEST(BookmarkIndex, FastBuildEqualsReferenceOnRealRecordings) {
    auto paths = test::realRecordings();
    if (paths.empty()) {
        GTEST_SKIP() << "no real recordings: ../shared/data/evt3 is absent (set ORVANE_TEST_DATA)";
    }
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        expectSameIndex(path, test::readRawFile(path).header.size());
    }
}

TEST(BookmarkFile, FormatRoundTripsAndRejectsWhatIsNotItsOwn) {
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(BookmarkFile::crc8(digits, sizeof digits), 0xF4);
    EXPECT_EQ(BookmarkFile::crc8(nullptr, 0), 0x00);
    EXPECT_EQ(BookmarkFile::pathFor("a.raw.raw"), "a.raw.ovmark.tmp");
    EXPECT_EQ(BookmarkFile::pathFor("my.videos/rec.raw"), "my.videos/rec.ovmark.tmp");
    EXPECT_EQ(BookmarkFile::pathFor("rec.bin"), "");

    BookmarkFile::BookmarkMap map;
    map[100] = Bookmark{354, 0, 100, 0};
    map[2100] = Bookmark{1000, 0, 2100, 17};
    map[2500] = Bookmark{1001, 0, 2500, 17};
    std::vector<uint8_t> bytes = BookmarkFile::serialize(map, 1001, 1280, 720);
    const std::string text = "max_byte:1001\nsensor_width:1280\nsensor_height:720\n";
    ASSERT_EQ(bytes.size(), text.size() + 1 + 8 + 3 * 29 + 1);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + static_cast<long>(text.size())), text);
    EXPECT_EQ(bytes[text.size() + 1], 3);              // count, low byte first
    EXPECT_EQ(bytes[text.size() + 9 + 29 + 8], 0xE8);  // second record's position, 1000

    using Verdict = BookmarkFile::Verdict;
    EXPECT_EQ(BookmarkFile::check(bytes, 1001, 354, 1280, 720), Verdict::Valid);
    EXPECT_EQ(BookmarkFile::check(bytes, 1002, 354, 1280, 720), Verdict::OtherFile);
    EXPECT_EQ(BookmarkFile::check(bytes, 1001, 354, 640, 480), Verdict::OtherFile);
    EXPECT_EQ(BookmarkFile::check({}, 0, 0, 1280, 720), Verdict::Empty);
    EXPECT_EQ(BookmarkFile::check({0x00}, 0, 0, 1280, 720), Verdict::OtherFile);  // no keys: all 0
    std::vector<uint8_t> damaged = bytes;
    damaged[text.size() + 20] ^= 1;
    EXPECT_EQ(BookmarkFile::check(damaged, 1001, 354, 1280, 720), Verdict::CrcMismatch);

    BookmarkFile::BookmarkMap loaded;
    BookmarkFile::EventCountMap counts;
    BookmarkFile::parse(bytes, loaded, counts);
    EXPECT_EQ(loaded, map);
    EXPECT_EQ(counts, (BookmarkFile::EventCountMap{{0, 100}, {17, 2100}}));
    std::vector<uint8_t> cut(bytes.begin(), bytes.end() - 10);  // last record incomplete
    BookmarkFile::parse(cut, loaded, counts);
    EXPECT_EQ(loaded.size(), 2u);

    std::vector<uint8_t> notNumeric = {'m', 'a', 'x', '_', 'b', 'y', 't', 'e', ':', 'x', '\n', 0};
    notNumeric.push_back(BookmarkFile::crc8(notNumeric.data(), notNumeric.size()));
    EXPECT_EQ(BookmarkFile::check(notNumeric, 0, 0, 1280, 720), Verdict::Inconsistent);
}

}  // namespace
}  // namespace orvane
