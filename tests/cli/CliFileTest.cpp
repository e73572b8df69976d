// The file subcommands, run as a user would, checked against a plain decode of
// the same recordings: generated ones and the real ones when they are present.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "CliRunner.h"
#include "orvane/hal/Evt3StateWords.h"
#include "orvane/orvane.h"
#include "support/Streams.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace orvane::test {
namespace {

using Json = nlohmann::json;

// A recording decoded in one piece by the library's decoder.
struct Decoded {
    uint16_t width = 0, height = 0;
    std::vector<Event2D> events;
    uint64_t triggers = 0;

    std::vector<Event2D> between(uint64_t from, uint64_t to) const {
        std::vector<Event2D> inside;
        for (const Event2D& e : events) {
            if (e.timestamp >= from && e.timestamp < to)
                inside.push_back(e);
        }
        return inside;
    }
};

Decoded decodeFile(const std::string& path) {
    RawFile file = readRawFile(path);
    Decoded decoded;
    decoded.width = file.width;
    decoded.height = file.height;
    auto decoder =
        DecoderFactory::createUniqueDecoder(RawEventStreamFormat("EVT3;height=720;width=1280"));
    decoder->setEventsStreamHandleCallback([&](const Event2D* b, const Event2D* e) {
        decoded.events.insert(decoded.events.end(), b, e);
    });
    decoder->setTriggerInCallback([&](EventTriggerIn) { ++decoded.triggers; });
    decoder->decode(file.payload);
    return decoded;
}

// An RGB PNG decoded by FFmpeg: rows of 3 x width bytes.
struct Png {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
};

Png readPng(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    bytes.resize(bytes.size() + AV_INPUT_BUFFER_PADDING_SIZE);
    Png png;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_PNG);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    packet->data = bytes.data();
    packet->size = static_cast<int>(bytes.size() - AV_INPUT_BUFFER_PADDING_SIZE);
    if (avcodec_open2(context, codec, nullptr) == 0 && avcodec_send_packet(context, packet) == 0 &&
        avcodec_receive_frame(context, frame) == 0 && frame->format == AV_PIX_FMT_RGB24) {
        png.width = frame->width;
        png.height = frame->height;
        for (int y = 0; y < frame->height; ++y) {
            const uint8_t* row = frame->data[0] + y * frame->linesize[0];
            png.rgb.insert(png.rgb.end(), row, row + 3 * frame->width);
        }
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&context);
    return png;
}

class CliFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        generated = scratch.file("scene.raw");
        writeSceneRecording(generated, 3 << 20, 7);
    }

    // The generated recording, then copies of the real ones (the program keeps
    // an index beside each recording it reads; the originals stay as they are).
    std::vector<std::string> recordings() const {
        std::vector<std::string> all = {generated};
        for (const std::string& path : realRecordings()) {
            const std::string copy = scratch.file(path.substr(path.rfind('/') + 1));
            std::filesystem::copy_file(path, copy, std::filesystem::copy_options::skip_existing);
            all.push_back(copy);
        }
        if (all.size() == 1) {
            std::cout << "no real recordings (../shared/data/evt3 absent, ORVANE_TEST_DATA unset): "
                         "generated recording only\n";
        }
        return all;
    }

    Json infoOf(const std::string& path) {
        CliRun run = runOrvane({"info", path, "--json"}, {}, scratch.path());
        EXPECT_EQ(run.status, 0) << describe(run);
        return Json::parse(run.out, nullptr, false);
    }

    ScratchDir scratch;
    std::string generated;
};

TEST_F(CliFiles, InfoAgreesWithAPlainDecode) {
    for (const std::string& path : recordings()) {
        SCOPED_TRACE(path);
        const Decoded decoded = decodeFile(path);
        ASSERT_FALSE(decoded.events.empty());
        const Json info = infoOf(path);
        ASSERT_FALSE(info.is_discarded());
        uint64_t on = 0;
        for (const Event2D& e : decoded.events)
            on += e.polarity != 0;
        EXPECT_EQ(info["type"], "raw");
        EXPECT_EQ(info["width"], decoded.width);
        EXPECT_EQ(info["height"], decoded.height);
        EXPECT_EQ(info["events"], decoded.events.size());
        EXPECT_EQ(info["on"], on);
        EXPECT_EQ(info["off"], decoded.events.size() - on);
        EXPECT_EQ(info["trigger_edges"], decoded.triggers);
        EXPECT_EQ(info["first_event_us"], decoded.events.front().timestamp);
        EXPECT_EQ(info["last_event_us"], decoded.events.back().timestamp);
        EXPECT_GE(info["peak_rate_per_ms"].get<double>(), info["mean_rate_per_ms"].get<double>());
        EXPECT_GT(info["index"]["bookmarks"], 0u);
    }
    // The second opening of a writable recording finds its index cached.
    EXPECT_TRUE(infoOf(generated)["index"]["cached"].get<bool>());
}

// A recording whose recorder lost data twice (each gap marked, the decoder
// state written again after it) and whose stream lost time-high words: info
// reports both, in its text and its JSON; a clean recording reports neither.
TEST_F(CliFiles, InfoReportsTheGapsOfARecordingAndTheTimeHighsItAssumed) {
    const std::vector<uint8_t> stream = encode(steadyStream(7, 60000, 6));
    const size_t piece = (stream.size() / 6) & ~size_t{1};  // on a word
    const std::vector<uint8_t> marker = evt3Words({kEvt3GapMarker[0], kEvt3GapMarker[1]});
    size_t dropped = 0;
    std::vector<uint8_t> payload = withoutTimeHighs(
        std::vector<uint8_t>(stream.begin(), stream.begin() + long(piece)), 3, dropped);
    ASSERT_GT(dropped, 0u);
    auto decoder = evt3Decoder();
    decoder->decodeCounting(stream.data(), stream.data() + piece);
    // Two gaps of a piece each: the marker, the state reached, then the next piece.
    for (size_t at = piece, gap = 0; gap < 2; ++gap, at += 2 * piece) {
        decoder->decodeCounting(stream.data() + at, stream.data() + at + piece);
        payload.insert(payload.end(), marker.begin(), marker.end());
        const std::vector<uint8_t> words = evt3StateWords(*decoder);
        payload.insert(payload.end(), words.begin(), words.end());
        payload.insert(payload.end(), stream.begin() + long(at + piece),
                       stream.begin() + long(at + 2 * piece));
        decoder->decodeCounting(stream.data() + at + piece, stream.data() + at + 2 * piece);
    }
    writeRawFile(scratch.file("gaps.raw"), recordingHeader(), payload);

    const Json info = infoOf(scratch.file("gaps.raw"));
    ASSERT_FALSE(info.is_discarded());
    EXPECT_EQ(info["recording_gaps"], 2u);
    EXPECT_EQ(info["lost_time_highs"], dropped);
    CliRun text = runOrvane({"info", "gaps.raw"}, {}, scratch.path());
    ASSERT_EQ(text.status, 0) << describe(text);
    EXPECT_NE(text.out.find("warning   2 gaps where the recorder lost data"), std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("warning   " + std::to_string(dropped) +
                            " time-high words were missing and assumed"),
              std::string::npos)
        << text.out;

    const Json clean = infoOf(generated);
    EXPECT_EQ(clean["recording_gaps"], 0u);
    EXPECT_EQ(clean["lost_time_highs"], 0u);
    CliRun cleanText = runOrvane({"info", generated}, {}, scratch.path());
    EXPECT_EQ(cleanText.out.find("warning"), std::string::npos) << cleanText.out;
}

TEST_F(CliFiles, CutThenInfoGivesTheEventsOfTheRange) {
    for (const std::string& path : recordings()) {
        SCOPED_TRACE(path);
        const Decoded decoded = decodeFile(path);
        const uint64_t first = decoded.events.front().timestamp;
        const uint64_t span = decoded.events.back().timestamp - first;
        const uint64_t from = first + span * 3 / 10, to = first + span * 6 / 10;
        const std::string out = scratch.file("cut.raw");
        CliRun cut = runOrvane({"cut", path, out, "--from", std::to_string(from) + "us", "--to",
                                std::to_string(to / 1000.0) + "ms", "--quiet", "--force"});
        ASSERT_EQ(cut.status, 0) << describe(cut);
        const Json info = infoOf(out);
        const auto inside = decoded.between(from, to);
        EXPECT_EQ(info["events"], inside.size());
        EXPECT_EQ(info["first_event_us"], inside.front().timestamp);
        EXPECT_EQ(info["last_event_us"], inside.back().timestamp);
    }
}

TEST_F(CliFiles, RenderDrawsTheOnAndOffPixelsOfTheWindow) {
    for (const std::string& path : recordings()) {
        SCOPED_TRACE(path);
        const Decoded decoded = decodeFile(path);
        const uint64_t at =
            (decoded.events.front().timestamp + decoded.events.back().timestamp) / 2;
        const std::string out = scratch.file("look.png");
        CliRun run = runOrvane(
            {"render", path, out, "--at", std::to_string(at), "--window", "2ms", "--force"});
        ASSERT_EQ(run.status, 0) << describe(run);
        // Each pixel shows the last event of [at - 1 ms, at + 1 ms) that fell on it.
        std::vector<int> last(size_t{decoded.width} * decoded.height, -1);
        for (const Event2D& e : decoded.between(at - 1000, at + 1000)) {
            if (e.x < decoded.width && e.y < decoded.height) {
                last[size_t{e.y} * decoded.width + e.x] = e.polarity != 0;
            }
        }
        const auto expectedOn = std::count(last.begin(), last.end(), 1);
        const auto expectedOff = std::count(last.begin(), last.end(), 0);
        ASSERT_GT(expectedOn + expectedOff, 0);

        const Png png = readPng(out);
        ASSERT_EQ(png.width, decoded.width);
        ASSERT_EQ(png.height, decoded.height);
        long on = 0, off = 0, grey = 0;
        for (size_t i = 0; i < png.rgb.size(); i += 3) {
            const uint8_t r = png.rgb[i], g = png.rgb[i + 1], b = png.rgb[i + 2];
            on += r == 0xBF && g == 0xBC && b == 0xB4;
            off += r == 0x40 && g == 0x3D && b == 0x33;
            grey += r == 0x70 && g == 0x70 && b == 0x70;
        }
        EXPECT_EQ(on, expectedOn);
        EXPECT_EQ(off, expectedOff);
        EXPECT_EQ(on + off + grey, long{png.width} * png.height);
    }
}

TEST_F(CliFiles, CsvOfAWholeRecordingListsEveryEvent) {
    for (const std::string& path : recordings()) {
        SCOPED_TRACE(path);
        const Decoded decoded = decodeFile(path);
        CliRun run = runOrvane({"csv", path, "all.csv", "--quiet", "--force"}, {}, scratch.path());
        ASSERT_EQ(run.status, 0) << describe(run);
        std::ifstream in(scratch.file("all.csv"));
        size_t lines = 0;
        std::string line, last;
        for (; std::getline(in, line); ++lines)
            last = line;
        EXPECT_EQ(lines, decoded.events.size() + 1);
        const Event2D& e = decoded.events.back();
        EXPECT_EQ(last, std::to_string(e.x) + "," + std::to_string(e.y) + "," +
                            std::to_string(e.polarity) + "," + std::to_string(e.timestamp));
    }
}

TEST_F(CliFiles, CsvListsEveryEventOfTheRange) {
    const Decoded decoded = decodeFile(generated);
    CliRun run =
        runOrvane({"csv", generated, "events.csv", "--from", "20ms", "--to", "50ms", "--quiet"}, {},
                  scratch.path());
    ASSERT_EQ(run.status, 0) << describe(run);
    std::ifstream in(scratch.file("events.csv"));
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "x,y,p,t");
    const auto expected = decoded.between(20000, 50000);
    ASSERT_FALSE(expected.empty());
    size_t n = 0;
    for (; std::getline(in, line); ++n) {
        if (n < expected.size()) {
            const Event2D& e = expected[n];
            ASSERT_EQ(line, std::to_string(e.x) + "," + std::to_string(e.y) + "," +
                                std::to_string(e.polarity) + "," + std::to_string(e.timestamp));
        }
    }
    EXPECT_EQ(n, expected.size());
}

TEST_F(CliFiles, ExportedVideoListsItsPicturesAndWritesOne) {
    const Decoded decoded = decodeFile(generated);
    const uint64_t span = decoded.events.back().timestamp - decoded.events.front().timestamp;
    ASSERT_GT(span, 100000u) << "the generated recording should last over 100 ms";
    // The scene never pauses, so every slice of the range makes one picture.
    for (const auto& [slice, pictures] :
         std::vector<std::pair<std::string, size_t>>{{"", 3}, {"10ms", 10}}) {
        SCOPED_TRACE("slice " + slice);
        std::vector<std::string> args = {"export", generated,   "video.mp4", "--from", "1ms",
                                         "--to",   "100.999ms", "--quiet",   "--force"};
        if (!slice.empty())
            args.insert(args.end(), {"--slice", slice});
        CliRun run = runOrvane(args, {}, scratch.path());
        ASSERT_EQ(run.status, 0) << describe(run);
        const Json info = infoOf(scratch.file("video.mp4"));
        EXPECT_EQ(info["type"], "mp4");
        EXPECT_EQ(info["width"], 1280);
        EXPECT_EQ(info["height"], 720);
        EXPECT_EQ(info["pictures"], pictures);
        EXPECT_EQ(info["first_us"], 0);
        EXPECT_NEAR(info["mean_spacing_us"].get<double>(), 33333.3, 1.0);
    }
    CliRun frames = runOrvane({"frames", "video.mp4"}, {}, scratch.path());
    ASSERT_EQ(frames.status, 0) << describe(frames);
    EXPECT_NE(frames.out.find("10 pictures of 1280 x 720"), std::string::npos) << frames.out;
    EXPECT_NE(frames.out.find("299.997 ms"), std::string::npos) << frames.out;
    CliRun listed = runOrvane({"frames", "video.mp4", "--json"}, {}, scratch.path());
    ASSERT_EQ(listed.status, 0) << describe(listed);
    const Json pictures = Json::parse(listed.out)["pictures"];
    ASSERT_EQ(pictures.size(), 10u) << listed.out;
    EXPECT_EQ(pictures[9]["time_us"], 299997) << listed.out;
    CliRun extract =
        runOrvane({"frames", "video.mp4", "--extract", "9", "last.png"}, {}, scratch.path());
    ASSERT_EQ(extract.status, 0) << describe(extract);
    const Png png = readPng(scratch.file("last.png"));
    EXPECT_EQ(png.width, 1280);
    EXPECT_EQ(png.height, 720);
}

// Lines of a CSV file, its title line excluded.
size_t csvEvents(const std::string& path) {
    std::ifstream in(path);
    size_t lines = 0;
    for (std::string line; std::getline(in, line);)
        ++lines;
    return lines == 0 ? 0 : lines - 1;
}

TEST_F(CliFiles, TimeRangesReachTheFirstAndLastEventsAndAgreeAcrossCommands) {
    // Events before the first time word have time 0.
    std::vector<uint8_t> payload = evt3Words({0x0005, 0x2001, 0x2002});
    const std::vector<uint8_t> scene = readRawFile(generated).payload;
    payload.insert(payload.end(), scene.begin(), scene.end());
    const std::string early = scratch.file("early.raw");
    writeRawFile(early, recordingHeader(), payload);
    ASSERT_EQ(decodeFile(early).events.front().timestamp, 0u);
    CliRun whole = runOrvane({"csv", early, "early.csv", "--quiet"}, {}, scratch.path());
    ASSERT_EQ(whole.status, 0) << describe(whole);
    EXPECT_EQ(csvEvents(scratch.file("early.csv")), infoOf(early)["events"].get<size_t>());

    for (const std::string& path : recordings()) {
        const bool tail = path.find("640x480") != std::string::npos;
        const bool aheadAndBack = path.find("gen41") != std::string::npos;
        if (!tail && !aheadAndBack)
            continue;
        SCOPED_TRACE(path);
        const Decoded decoded = decodeFile(path);
        // [from, to) by csv and by cut, counted.
        auto counts = [&](const std::string& from, const std::string& to) {
            std::vector<std::string> range = {"--from", from};
            if (!to.empty())
                range.insert(range.end(), {"--to", to});
            std::vector<std::string> csv = {"csv", path, "range.csv", "--quiet", "--force"};
            std::vector<std::string> cut = {"cut", path, "range.raw", "--quiet", "--force"};
            csv.insert(csv.end(), range.begin(), range.end());
            cut.insert(cut.end(), range.begin(), range.end());
            CliRun listed = runOrvane(csv, {}, scratch.path());
            CliRun kept = runOrvane(cut, {}, scratch.path());
            EXPECT_EQ(listed.status, 0) << describe(listed);
            EXPECT_EQ(kept.status, 0) << describe(kept);
            return std::make_pair(csvEvents(scratch.file("range.csv")),
                                  infoOf(scratch.file("range.raw"))["events"].get<size_t>());
        };
        if (tail) {
            // The last 268 events come after the closing time-high word.
            EXPECT_EQ(decoded.events.back().timestamp, 9218023u);
            EXPECT_EQ(counts("9.216s", "9.3s"), std::make_pair(size_t{268}, size_t{268}));
            const size_t late = decoded.between(9217000, UINT64_MAX).size();
            EXPECT_EQ(counts("9.217s", "9.3s"), std::make_pair(late, late));
            CliRun render = runOrvane({"render", path, "late.png", "--at", "9.217s", "--force"}, {},
                                      scratch.path());
            ASSERT_EQ(render.status, 0) << describe(render);
            const size_t drawn = decoded.between(9212000, 9222000).size();
            EXPECT_NE(render.out.find("rendered " + std::to_string(drawn) + " events"),
                      std::string::npos)
                << render.out;
        } else {
            // A time-low word runs ahead of its neighbours just before this range.
            const size_t inside = decoded.between(11721463, 11721470).size();
            EXPECT_EQ(inside, 168u);
            EXPECT_EQ(counts("11721463us", "11721470us"), std::make_pair(inside, inside));
        }
    }
}

}  // namespace
}  // namespace orvane::test
