// Cutting a time range of a recording into a new raw file, and rendering one
// as an H.264 video of event pictures (read back with Mp4FileReader).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
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
    EXPECT_TRUE(file.payload == payload) << "the payload is copied unchanged";
    std::istringstream lines(file.header);
    std::vector<std::string> header;
    for (std::string line; std::getline(lines, line);) {
        header.push_back(line);
    }
    ASSERT_EQ(header.size(), 14u);
    EXPECT_TRUE(std::regex_match(header[1], std::regex(R"(% date \d{4}-\d\d-\d\d \d\d:\d\d:\d\d)")))
        << header[1];
    header[1] = "% date 2024 - 09 - 06 16:03 : 38";  // the rest is what live recording writes
    std::string rebuilt;
    for (const std::string& line : header) {
        rebuilt += line + "\n";
    }
    EXPECT_EQ(rebuilt, test::recordingHeader());

    RawFileReader again(cut);
    ASSERT_TRUE(again.loadFile());
    EXPECT_EQ(again.getWidth(), 1280);
    EXPECT_EQ(again.getHeight(), 720);
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
    ASSERT_TRUE(reader.extractEventData(from, to, cut));
    EXPECT_FALSE(fs::exists(dir.file("cut.ovmark.tmp")));
    const size_t a = firstWordReaching(payload, from);
    const size_t b = firstWordReaching(payload, to);
    ASSERT_GT(b - a, size_t{1} << 20);
    EXPECT_TRUE(test::readRawFile(cut).payload ==
                std::vector<uint8_t>(payload.begin() + a, payload.begin() + b));
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

    // A range that begins before the recording is clamped to it: the same video
    // whatever the reader read before.
    for (uint64_t readBefore : {0, 1, 2}) {
        SCOPED_TRACE(readBefore);
        reader.seekTime(t0);
        for (uint64_t i = 0; i < readBefore; ++i) {
            reader.getNTimeEvents(100000);
        }
        ASSERT_TRUE(reader.exportEventDataToVideo(0, UINT64_MAX, video));
        Mp4FileReader again(video);
        ASSERT_TRUE(again.loadFile());
        ASSERT_TRUE(again.getTimeStamps(times));
        EXPECT_EQ(times.size(), 4u);
    }
    // Nothing of the recording in the range: refused, no file.
    uint64_t end = 0;
    reader.getEndTimeStamp(end);
    const std::string none = dir.file("none.mp4");
    EXPECT_FALSE(reader.exportEventDataToVideo(end + 1, UINT64_MAX, none));
    EXPECT_FALSE(reader.exportEventDataToVideo(0, t0, none));
    EXPECT_FALSE(fs::exists(none));

    // A disk that takes nothing: the export reports the unfinished video.
    if (fs::exists("/dev/full")) {
        const std::string full = dir.file("full.mp4");
        fs::create_symlink("/dev/full", full);
        EXPECT_FALSE(reader.exportEventDataToVideo(t0, UINT64_MAX, full));
    }
}

}  // namespace
}  // namespace orvane
