// HDF5 event files: real recordings through HDF5 and back, event for event,
// the millisecond index against the events, and ranges by time.

#include <gtest/gtest.h>
#include <hdf5.h>

#include <algorithm>
#include <fstream>

#include "orvane/orvane.h"
#include "support/Streams.h"

namespace orvane {
namespace {

bool sameTriggers(const std::vector<EventTriggerIn>& a, const std::vector<EventTriggerIn>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const EventTriggerIn& l, const EventTriggerIn& r) {
                          return l.id == r.id && l.polarity == r.polarity &&
                                 l.timestamp == r.timestamp;
                      });
}

std::vector<uint64_t> readMsToIdx(const std::string& path) {
    const hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    const hid_t dataset = H5Dopen2(file, "ms_to_idx", H5P_DEFAULT);
    const hid_t space = H5Dget_space(dataset);
    std::vector<uint64_t> values(static_cast<size_t>(H5Sget_simple_extent_npoints(space)));
    H5Dread(dataset, H5T_NATIVE_UINT64, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data());
    H5Sclose(space);
    H5Dclose(dataset);
    H5Fclose(file);
    return values;
}

// Entry k: the first event at or after k ms from t_offset; one past the last
// event's millisecond, the number of events.
void expectMsToIdx(const std::vector<uint64_t>& index, const std::vector<Event2D>& events,
                   uint64_t tOffset) {
    ASSERT_FALSE(events.empty());
    const uint64_t lastMs = (events.back().timestamp - tOffset) / 1000;
    ASSERT_EQ(index.size(), lastMs + 2);
    for (uint64_t k = 0; k < index.size(); ++k) {
        const auto first =
            std::lower_bound(events.begin(), events.end(), tOffset + k * 1000,
                             [](const Event2D& e, uint64_t t) { return e.timestamp < t; });
        ASSERT_EQ(index[k], static_cast<uint64_t>(first - events.begin())) << "ms " << k;
    }
}

TEST(Hdf5EventFile, RealRecordingsRoundTripEventForEvent) {
    const auto paths = test::realRecordings();
    if (paths.empty()) {
        GTEST_SKIP() << "no real recordings: ../shared/data/evt3 is absent";
    }
    test::ScratchDir dir;
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        const test::RawFile source = test::readRawFile(path);
        const test::PlainDecoded original = test::plainDecodeFile(path);
        ASSERT_FALSE(original.events.empty());

        const std::string h5 = dir.file("events.h5"), raw = dir.file("back.raw");
        const ConversionCounts out = convertRawToHdf5(path, h5, {});
        EXPECT_EQ(out.events, original.events.size());
        EXPECT_EQ(out.triggers, original.triggers.size());
        EXPECT_EQ(out.outsideGeometry, 0u);

        Hdf5EventReader reader(h5);
        EXPECT_EQ(reader.width(), source.width);
        EXPECT_EQ(reader.height(), source.height);
        EXPECT_EQ(reader.tOffset(), static_cast<int64_t>(original.events.front().timestamp));
        EXPECT_FALSE(reader.headerLines().empty());
        expectMsToIdx(readMsToIdx(h5), original.events, original.events.front().timestamp);

        const ConversionCounts back = convertHdf5ToRaw(h5, raw);
        EXPECT_EQ(back.events, original.events.size());
        const test::RawFile result = test::readRawFile(raw);
        EXPECT_EQ(result.width, source.width);
        EXPECT_EQ(result.height, source.height);
        const test::PlainDecoded decoded = test::plainDecodeFile(raw);
        EXPECT_EQ(test::firstDifference(decoded.events, original.events), "");
        EXPECT_TRUE(sameTriggers(decoded.triggers, original.triggers));
        // The source's own header lines come along.
        EXPECT_NE(result.header.find(reader.headerLines().front()), std::string::npos);

        // The reader indexes it like any recording.
        RawFileReader indexed(raw);
        ASSERT_TRUE(indexed.loadFile());
        uint64_t count = 0;
        indexed.getMaxEvents(count);
        EXPECT_EQ(count, original.events.size());
        EXPECT_EQ(indexed.getWidth(), source.width);
    }
}

TEST(Hdf5EventFile, TimeRangesHoldExactlyTheirEvents) {
    const auto paths = test::realRecordings();
    if (paths.empty()) {
        GTEST_SKIP() << "no real recordings: ../shared/data/evt3 is absent";
    }
    test::ScratchDir dir;
    const std::string path = paths.back();
    const test::PlainDecoded original = test::plainDecodeFile(path);
    const uint64_t start = original.events.front().timestamp;
    const uint64_t span = original.events.back().timestamp - start;
    const std::string whole = dir.file("whole.h5");
    convertRawToHdf5(path, whole, {Hdf5EventWriter::Compression::None, {}});
    Hdf5EventReader reader(whole);
    auto firstAt = [&](uint64_t t) {
        return static_cast<uint64_t>(
            std::lower_bound(original.events.begin(), original.events.end(), t,
                             [](const Event2D& e, uint64_t time) { return e.timestamp < time; }) -
            original.events.begin());
    };
    for (const auto& [from, to] :
         std::vector<std::pair<uint64_t, uint64_t>>{{1, start + 1},
                                                    {start + span / 3 + 17, start + span / 2 + 999},
                                                    {start + 1500, start + 1501},
                                                    {start + span / 2, start + span * 2},
                                                    {start + span + 1, start + span + 5000}}) {
        SCOPED_TRACE(std::to_string(from) + " to " + std::to_string(to));
        const auto [first, last] = reader.eventRange(from, to);
        EXPECT_EQ(first, firstAt(from));
        EXPECT_EQ(last, firstAt(to));

        // Both directions cut the same events.
        const std::vector<Event2D> expected(original.events.begin() + long(firstAt(from)),
                                            original.events.begin() + long(firstAt(to)));
        const std::string part = dir.file("part.h5"), raw = dir.file("part.raw");
        const ConversionCounts counts = convertRawToHdf5(path, part, {}, from, to);
        EXPECT_EQ(counts.events, expected.size());
        Hdf5EventReader partReader(part);
        EXPECT_EQ(partReader.tOffset(), static_cast<int64_t>(from));
        std::vector<Event2D> read;
        partReader.readEvents(0, partReader.eventCount(), read);
        EXPECT_EQ(test::firstDifference(read, expected), "");
        if (!expected.empty()) {
            expectMsToIdx(readMsToIdx(part), expected, from);
        }
        convertHdf5ToRaw(whole, raw, from, to);
        EXPECT_EQ(test::firstDifference(test::plainDecodeFile(raw).events, expected), "");
    }
}

TEST(Hdf5EventFile, EventsBeyondTheGeometryAreLeftOutAndCounted) {
    test::ScratchDir dir;
    const std::string path = dir.file("small.h5");
    Hdf5EventWriter writer(path, 64, 48, {"% evt 3.0"}, {});
    const std::vector<Event2D> events = {
        {1, 2, 1, 5000}, {64, 2, 0, 5001}, {3, 48, 1, 5002}, {63, 47, 0, 7500}};
    writer.addEvents(events.data(), events.data() + events.size());
    writer.addTrigger(EventTriggerIn(3, 1, 4000));
    writer.finish();
    EXPECT_EQ(writer.events(), 2u);
    EXPECT_EQ(writer.outsideGeometry(), 2u);

    Hdf5EventReader reader(path);
    EXPECT_EQ(reader.width(), 64);
    EXPECT_EQ(reader.height(), 48);
    EXPECT_EQ(reader.tOffset(), 5000);  // the first item added: the events came first
    std::vector<Event2D> read;
    reader.readEvents(0, 10, read);
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[1].x, 63);
    EXPECT_EQ(read[1].timestamp, 7500u);
    std::vector<EventTriggerIn> edges;
    reader.readTriggers(0, 10, edges);
    ASSERT_EQ(edges.size(), 1u);
    EXPECT_EQ(edges[0].id, 3);
    EXPECT_EQ(edges[0].timestamp, 4000u);  // before t_offset: a negative t in the file
    EXPECT_EQ(readMsToIdx(path), (std::vector<uint64_t>{0, 1, 1, 2}));
}

// Deflated chunks are made on worker threads and written as they are: a run
// of whole chunks in several pieces, ending in a partial chunk, reads back
// the same compressed as uncompressed, inflated by HDF5's own filters.
TEST(Hdf5EventFile, DeflatedChunksFromTheWorkersReadBackInOrder) {
    test::ScratchDir dir;
    std::vector<Event2D> events;
    const size_t count = (size_t{1} << 16) * 19 + 777;
    for (size_t i = 0; i < count; ++i) {
        events.emplace_back(static_cast<uint16_t>(i % 1280), static_cast<uint16_t>(i * 7 % 720),
                            static_cast<uint8_t>(i / 3 % 2), 100 + i / 5);
    }
    for (const auto compression :
         {Hdf5EventWriter::Compression::Deflate, Hdf5EventWriter::Compression::None}) {
        const std::string path = dir.file("many.h5");
        Hdf5EventWriter writer(path, 1280, 720, {}, {compression, {}});
        // Pieces that end inside chunks and span several at once.
        for (size_t at = 0; at < count; at += 300001) {
            writer.addEvents(events.data() + at, events.data() + std::min(count, at + 300001));
        }
        writer.finish();
        Hdf5EventReader reader(path);
        std::vector<Event2D> read;
        reader.readEvents(0, count + 1, read);
        EXPECT_EQ(test::firstDifference(read, events), "");
        const std::vector<uint64_t> msToIdx = readMsToIdx(path);
        ASSERT_FALSE(msToIdx.empty());
        EXPECT_EQ(msToIdx.back(), count);
    }
}

TEST(Hdf5EventFile, InputThatIsNoEventFileIsRefusedWithItsName) {
    test::ScratchDir dir;
    const std::string text = dir.file("notes.h5");
    std::ofstream(text) << "x,y,p,t\n1,2,1,3\n";
    auto message = [](const std::string& path) {
        try {
            Hdf5EventReader reader(path);
        } catch (const std::exception& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(message(text), text + ": not an HDF5 file");
    EXPECT_NE(message(dir.file("absent.h5")).find("absent.h5: cannot be opened"),
              std::string::npos);
    // An HDF5 file of another layout.
    const std::string other = dir.file("other.h5");
    H5Fclose(H5Fcreate(other.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT));
    EXPECT_NE(message(other).find("other.h5: has no width attribute"), std::string::npos);
    EXPECT_THROW(convertHdf5ToRaw(other, dir.file("out.raw")), std::invalid_argument);
}

}  // namespace
}  // namespace orvane
