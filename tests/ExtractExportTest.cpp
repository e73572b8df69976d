// Cutting a time range of a recording into a new raw file, and rendering one
// as an H.264 video of event pictures (read back with Mp4FileReader).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <future>
#include <regex>
#include <sstream>

#include "orvane/orvane.h"
#include "support/LogCapture.h"
#include "support/Pictures.h"
#include "support/Streams.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using Events = std::vector<Event2D>;

const test::Bgr kGrey{0x70, 0x70, 0x70};
const test::Bgr kOn{0xB4, 0xBC, 0xBF};
const test::Bgr kOff{0x33, 0x3D, 0x40};

bool sameEvents(const Events& a, const Events& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](const Event2D& p, const Event2D& q) {
               return p.x == q.x && p.y == q.y && p.polarity == q.polarity &&
                      p.timestamp == q.timestamp;
           });
}

// The payload offset at which a decoder reading from the start first has a time
// of at least `t`, or the payload's end.
size_t firstWordReaching(const std::vector<uint8_t>& payload, uint64_t t) {
    auto decoder =
        DecoderFactory::createUniqueDecoder(RawEventStreamFormat("EVT3;height=720;width=1280"));
    for (size_t off = 0; off + 2 <= payload.size(); off += 2) {
        decoder->decodeRange(payload.data() + off, payload.data() + off + 2);
        if (decoder->getCurrentTimestamp() >= t) {
            return off;
        }
    }
    return payload.size();
}

// The events a full decode of `payload` produces from its words [from, to).
Events eventsOfWords(const std::vector<uint8_t>& payload, size_t from, size_t to) {
    const Events all = test::decodeEvents(payload);
    const size_t before =
        test::decodeEvents(std::vector<uint8_t>(payload.begin(), payload.begin() + from)).size();
    const size_t through =
        test::decodeEvents(std::vector<uint8_t>(payload.begin(), payload.begin() + to)).size();
    return Events(all.begin() + before, all.begin() + through);
}

std::vector<std::string> headerLines(const std::string& header) {
    std::istringstream lines(header);
    std::vector<std::string> result;
    for (std::string line; std::getline(lines, line);) {
        result.push_back(line);
    }
    return result;
}

class ExtractExportTest : public ::testing::Test {
  protected:
    void SetUp() override { test::quietFFmpegLog(); }
    bool logged(LogLevelType level, const std::string& message) const {
        return log.has(level, message, "src/FileReader/RawFileReader");
    }

    // A dense recording of about `bytes` of payload behind a header that claims
    // 640 x 480, so that a fresh header shows.
    std::vector<uint8_t> sceneRecording(const std::string& path, uint64_t bytes) {
        test::writeSceneRecording(path, bytes, 3);
        std::vector<uint8_t> payload = test::readRawFile(path).payload;
        test::writeRawFile(path, "% format EVT3;height=480;width=640\n% end\n", payload);
        return payload;
    }

    test::ScratchDir dir;
    test::LogCapture log;
};

TEST_F(ExtractExportTest, WholeRangeReloadsWithTheSameEventsUnderAFreshHeader) {
    const std::string source = dir.file("rec.raw");
    const std::string cut = dir.file("cut.raw");
    // More than one copy piece, the last one partial.
    const std::vector<uint8_t> payload = sceneRecording(source, (3 << 20) / 2);
    const Events all = test::decodeEvents(payload);

    RawFileReader reader(source);
    ASSERT_TRUE(reader.loadFile());
    ASSERT_EQ(reader.getWidth(), 640);
    uint64_t start = 0, end = 0, max = 0;
    reader.getStartTimeStamp(start);
    reader.getEndTimeStamp(end);
    reader.getMaxEvents(max);
    std::vector<std::pair<uint64_t, uint64_t>> progress;
    reader.setProgressCallback([&](uint64_t done, uint64_t total) {
        progress.push_back({done, total});
    });

    ASSERT_TRUE(reader.extractEventData(start, end, cut));
    EXPECT_TRUE(logged(LOG_INFO, "extract event start time: " + std::to_string(start) +
                                     ", end time: " + std::to_string(end)));
    ASSERT_GE(progress.size(), 2u);
    EXPECT_EQ(progress.back(), std::make_pair(uint64_t(payload.size()), uint64_t(payload.size())));

    const test::RawFile file = test::readRawFile(cut);
    EXPECT_TRUE(file.payload == payload) << "from the payload start: copied unchanged";
    std::vector<std::string> header = headerLines(file.header);
    ASSERT_EQ(header.size(), 14u);
    EXPECT_TRUE(std::regex_match(header[1], std::regex(R"(% date \d{4}-\d\d-\d\d \d\d:\d\d:\d\d)")))
        << header[1];
    // The rest is what live recording writes, but for the source's own format
    // line and a geometry line of its size.
    std::vector<std::string> expected = headerLines(test::recordingHeader());
    expected[1] = header[1];
    expected[3] = "% format EVT3;height=480;width=640";
    expected[5] = "% geometry 640x480";
    EXPECT_EQ(header, expected);

    RawFileReader again(cut);
    ASSERT_TRUE(again.loadFile());
    EXPECT_EQ(again.getWidth(), 640);
    EXPECT_EQ(again.getHeight(), 480);
    uint64_t cutStart = 0, cutEnd = 0, cutMax = 0;
    again.getStartTimeStamp(cutStart);
    again.getEndTimeStamp(cutEnd);
    again.getMaxEvents(cutMax);
    EXPECT_EQ(cutStart, start);
    EXPECT_EQ(cutEnd, end);
    EXPECT_EQ(cutMax, max);
    EXPECT_TRUE(sameEvents(*again.getNEvents(max), all));

    // The reader goes on from the start of the range, as after a seek there.
    const Events next = *reader.getNEvents(1000);
    EXPECT_TRUE(sameEvents(next, Events(all.begin(), all.begin() + 1000)));
}

// A cut from the middle begins with the words of the decoder's state there and
// decodes on its own to exactly the source's events of the range, times and
// wraps included; its header keeps the source's geometry (the fixed lines for
// 1280 x 720).
TEST_F(ExtractExportTest, CutFromTheMiddleDecodesOnItsOwnToTheSourceEvents) {
    struct Source {
        std::string path;
        std::vector<uint8_t> payload;
        std::string header;
    };
    std::vector<Source> sources;
    for (const std::string& real : test::realRecordings()) {
        const std::string copy = dir.file(fs::path(real).filename().string());
        fs::copy_file(real, copy);
        const test::RawFile file = test::readRawFile(copy);
        sources.push_back({copy, file.payload, file.header});
    }
    // Generated: three wraps of the 24-bit counter, so the cut starts after some.
    const std::string generated = dir.file("wraps.raw");
    sources.push_back(
        {generated, test::encode(test::randomStream(41, 60000, 3)), test::recordingHeader()});
    test::writeRawFile(generated, sources.back().header, sources.back().payload);

    const std::string cut = dir.file("cut.raw");
    for (const Source& source : sources) {
        SCOPED_TRACE(source.path);
        RawFileReader reader(source.path);
        ASSERT_TRUE(reader.loadFile());
        uint64_t start = 0, end = 0;
        reader.getStartTimeStamp(start);
        reader.getEndTimeStamp(end);
        for (auto [from, to] : {std::pair<double, double>{0.3, 0.7}, {0.55, 1.0}}) {
            const uint64_t t0 = start + static_cast<uint64_t>(from * double(end - start)) + 7;
            const uint64_t t1 =
                to == 1.0 ? end : start + static_cast<uint64_t>(to * double(end - start));
            ASSERT_TRUE(reader.extractEventData(t0, t1, cut));
            const size_t a = firstWordReaching(source.payload, t0);
            const size_t b =
                t1 == end ? source.payload.size() : firstWordReaching(source.payload, t1);
            const test::RawFile file = test::readRawFile(cut);
            ASSERT_GT(file.payload.size(), b - a);
            EXPECT_TRUE(std::equal(source.payload.begin() + a, source.payload.begin() + b,
                                   file.payload.end() - static_cast<long>(b - a)))
                << "the range's bytes follow the state words unchanged";
            const Events expected = eventsOfWords(source.payload, a, b);
            ASSERT_FALSE(expected.empty());
            EXPECT_TRUE(sameEvents(test::decodeEvents(file.payload), expected));

            RawFileReader again(cut);
            ASSERT_TRUE(again.loadFile());
            EXPECT_EQ(again.getWidth(), reader.getWidth());
            EXPECT_EQ(again.getHeight(), reader.getHeight());
            EXPECT_TRUE(sameEvents(*again.getNEvents(expected.size()), expected));
            std::vector<std::string> header = headerLines(file.header);
            std::vector<std::string> fixed = headerLines(test::recordingHeader());
            ASSERT_EQ(header.size(), fixed.size());
            header[1] = fixed[1];
            if (reader.getWidth() == 1280 && reader.getHeight() == 720) {
                EXPECT_EQ(header, fixed) << "a 1280 x 720 source keeps the fixed lines";
            } else {
                EXPECT_EQ(header[3], "% format EVT3;height=480;width=640");
                EXPECT_EQ(header[5], "% geometry 640x480");
            }
        }
    }
}

TEST_F(ExtractExportTest, PartOfARecordingIsTheBytesFromTheWordReachingStartToTheOneReachingEnd) {
    const std::string source = dir.file("rec.raw");
    const std::string cut = dir.file("cut.raw");
    const std::vector<uint8_t> payload = sceneRecording(source, 2 << 20);
    RawFileReader reader(source);
    ASSERT_TRUE(reader.loadFile());
    uint64_t start = 0, end = 0;
    reader.getStartTimeStamp(start);
    reader.getEndTimeStamp(end);

    // A cut that was loaded leaves an index beside it; a new cut to the same
    // path must not be read through it.
    ASSERT_TRUE(reader.extractEventData(start, end, cut));
    ASSERT_TRUE(RawFileReader(cut).loadFile());
    ASSERT_TRUE(fs::exists(dir.file("cut.ovmark.tmp")));

    // Times between bookmarks, so that both seeks scan.
    const uint64_t from = start + (end - start) / 5 + 777;
    const uint64_t to = start + (end - start) * 9 / 10 + 333;
    // The progress callback runs without the reader's lock: a query from it (here
    // on another thread, which gives up after a few seconds) gets through.
    // The query's future outlives the extraction, so that a query stuck on the
    // lock is waited for only once the lock is free.
    std::future<bool> query;
    reader.setProgressCallback([&](uint64_t, uint64_t) {
        if (!query.valid()) {
            query = std::async(std::launch::async, [&] { return reader.seekTime(from); });
            EXPECT_EQ(query.wait_for(std::chrono::seconds(5)), std::future_status::ready)
                << "the callback was called with the read lock held";
        }
    });
    ASSERT_TRUE(reader.extractEventData(from, to, cut));
    ASSERT_TRUE(query.valid());
    EXPECT_TRUE(query.get());
    EXPECT_FALSE(fs::exists(dir.file("cut.ovmark.tmp")));
    const size_t a = firstWordReaching(payload, from);
    const size_t b = firstWordReaching(payload, to);
    ASSERT_GT(b - a, size_t{1} << 20);
    const std::vector<uint8_t> cutPayload = test::readRawFile(cut).payload;
    ASSERT_GT(cutPayload.size(), b - a);
    EXPECT_TRUE(std::equal(payload.begin() + a, payload.begin() + b,
                           cutPayload.end() - static_cast<long>(b - a)));
    EXPECT_TRUE(sameEvents(test::decodeEvents(cutPayload), eventsOfWords(payload, a, b)));
}

TEST_F(ExtractExportTest, BadRangesAndOutputsFailWithTheirReasonAndLeaveNoFile) {
    const std::string source = dir.file("rec.raw");
    const std::string cut = dir.file("cut.raw");
    const std::vector<uint8_t> payload = sceneRecording(source, 256 << 10);
    RawFileReader reader(source);
    ASSERT_TRUE(reader.loadFile());
    uint64_t start = 0, end = 0;
    reader.getStartTimeStamp(start);
    reader.getEndTimeStamp(end);
    const uint64_t middle = start + (end - start) / 2;
    ASSERT_GT(start, 0u);

    struct Case {
        uint64_t from, to;
        std::string output, message;
    };
    const std::string nowhere = dir.file("no/such/dir/cut.raw");
    const std::vector<Case> cases = {
        {middle, middle, cut, "There is no data in the interval."},
        {start, end + 1, cut, "No end timestamp found."},
        {start - 1, end, cut, "No start timestamp found."},
        {middle + 1000, middle - 1000, cut, "Start time must be less than or equal to end time."},
        {start, end, nowhere, "Failed to open output file: " + nowhere + "."},
        {start, end, source, "Output file is the file being read: " + source + "."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        log.clear();
        EXPECT_FALSE(reader.extractEventData(c.from, c.to, c.output));
        EXPECT_TRUE(logged(LOG_ERROR, c.message));
        EXPECT_FALSE(fs::exists(cut));
        EXPECT_FALSE(fs::exists(nowhere));
    }
    EXPECT_TRUE(test::readRawFile(source).payload == payload);

    const std::string nowhereVideo = dir.file("no/such/dir/out.mp4");
    fs::create_directory(dir.file("folder.mp4"));
    for (const std::string& output : {nowhereVideo, dir.file("folder.mp4")}) {
        SCOPED_TRACE(output);
        log.clear();
        EXPECT_FALSE(reader.exportEventDataToVideo(start, end, output));
        EXPECT_TRUE(logged(LOG_ERROR,
                           "Video converter initialization failed, please confirm that the input "
                           "file is correct."));
    }
    EXPECT_FALSE(fs::exists(nowhereVideo));
    RawFileReader unloaded(source);
    EXPECT_FALSE(unloaded.exportEventDataToVideo(start, end, dir.file("out.mp4")));
    EXPECT_FALSE(fs::exists(dir.file("out.mp4")));

    // A device that takes no bytes: the copy stops with an error, not silently.
    if (fs::exists("/dev/full")) {
        try {
            reader.extractEventData(start, end, "/dev/full");
            ADD_FAILURE() << "writing to /dev/full succeeded";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(),
                         "Failed to write the expected number of bytes to the output file.");
        }
    }
    // A recording cut short after it was indexed.
    fs::resize_file(source, fs::file_size(source) - payload.size() / 2);
    try {
        reader.extractEventData(start, end, cut);
        ADD_FAILURE() << "copied more bytes than the file holds";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Failed to read the expected number of bytes from the input file.");
    }
}

// Four slices of 33333 us: events, nothing, events, then only events outside
// the 640 x 480 picture. Each frame shows its own slice alone.
TEST_F(ExtractExportTest, ExportWritesOneFrameForEachSliceWithEventsInTheEventColours) {
    constexpr uint16_t kWidth = 640, kHeight = 480;
    constexpr uint64_t t0 = 4096;  // a time-high step: the first time the file shows
    Events events;
    auto block = [&](uint16_t x0, uint16_t y0, uint8_t polarity, uint64_t t) {
        for (uint16_t y = y0; y < y0 + 64; ++y) {
            for (uint16_t x = x0; x < x0 + 64; ++x) {
                events.emplace_back(x, y, polarity, t);
            }
        }
    };
    block(64, 64, 1, t0);                              // ON
    block(256, 64, 0, t0 + 1000);                      // OFF
    block(448, 64, 1, t0 + 2000);                      // ON, then
    block(448, 64, 0, t0 + 3000);                      // OFF at the same pixels
    block(64, 300, 0, t0 + 70000);                     // third slice
    block(256, 300, 1, t0 + 80000);                    // third slice
    events.emplace_back(kWidth, 10, 1, t0 + 110000);   // fourth slice: outside
    events.emplace_back(10, kHeight, 0, t0 + 120000);  // fourth slice: outside
    block(448, 300, 1, t0 + 200000);                   // after the range
    std::vector<uint8_t> payload;
    Evt3Encoder().encode(events, payload);
    const std::string source = dir.file("rec.raw");
    test::writeRawFile(source, "% geometry 640x480\n% end\n", payload);

    RawFileReader reader(source);
    ASSERT_TRUE(reader.loadFile());
    uint64_t start = 0;
    reader.getStartTimeStamp(start);
    ASSERT_EQ(start, t0);
    std::vector<std::pair<uint64_t, uint64_t>> progress;
    reader.setProgressCallback([&](uint64_t done, uint64_t total) {
        progress.push_back({done, total});
    });
    const std::string video = dir.file("out.mp4");
    ASSERT_TRUE(reader.exportEventDataToVideo(t0, t0 + 100000, video));
    EXPECT_TRUE(logged(LOG_INFO, "Exporting event data to video..."));
    EXPECT_EQ(progress.size(), 4u);
    EXPECT_EQ(progress.back(), std::make_pair(uint64_t{100000}, uint64_t{100000}));

    Mp4FileReader mp4(video);
    ASSERT_TRUE(mp4.loadFile());
    EXPECT_EQ(mp4.getWidth(), kWidth);
    EXPECT_EQ(mp4.getHeight(), kHeight);
    std::vector<uint64_t> times;
    ASSERT_TRUE(mp4.getTimeStamps(times));
    EXPECT_EQ(times, (std::vector<uint64_t>{0, 33333, 66666}));

    // Block centres and background, per frame; H.264 blurs only the edges.
    constexpr int kLoss = 6;
    struct Spot {
        int x, y;
        test::Bgr colour;
    };
    const std::vector<std::vector<Spot>> expected = {
        {{96, 96, kOn}, {288, 96, kOff}, {480, 96, kOff}, {96, 332, kGrey}, {20, 20, kGrey}},
        {{96, 332, kOff}, {288, 332, kOn}, {480, 332, kGrey}, {96, 96, kGrey}, {480, 96, kGrey}},
    };
    ApsFrame frame;
    for (const auto& spots : expected) {
        SCOPED_TRACE("frame " + std::to_string(&spots - expected.data()));
        ASSERT_TRUE(mp4.getNextFrame(frame));
        for (const Spot& s : spots) {
            EXPECT_LE(test::distance(test::pixelAt(frame.data, kWidth, s.x, s.y), s.colour), kLoss)
                << "at " << s.x << "," << s.y;
        }
    }
    ASSERT_TRUE(mp4.getNextFrame(frame));
    const test::Colour grey{0, 0, 0, kGrey};  // only its BGR is compared
    EXPECT_LE(test::largestDistance(frame.data, kWidth, kHeight, {grey, grey, grey, grey}), kLoss)
        << "a slice with events outside the picture only is all background";
    EXPECT_FALSE(mp4.getNextFrame(frame));

    // A range to the end of time ends with the recording, its last events drawn.
    progress.clear();
    ASSERT_TRUE(reader.exportEventDataToVideo(t0, UINT64_MAX, video));
    EXPECT_EQ(progress.back(), std::make_pair(UINT64_MAX - t0, UINT64_MAX - t0));
    Mp4FileReader whole(video);
    ASSERT_TRUE(whole.loadFile());
    ASSERT_TRUE(whole.getTimeStamps(times));
    ASSERT_EQ(times.size(), 4u);
    ASSERT_TRUE(whole.getNFrame(3, frame));
    EXPECT_LE(test::distance(test::pixelAt(frame.data, kWidth, 480, 332), kOn), kLoss);
}

}  // namespace
}  // namespace orvane
