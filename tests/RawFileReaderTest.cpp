// Reading raw recordings through DvsFileReader / RawFileReader: header rules,
// the side file, seeks and queries checked against a plain decode of the file.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <thread>

#include "orvane/orvane.h"
#include "support/LogCapture.h"
#include "support/Streams.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using Events = std::vector<Event2D>;

void expectEventsAt(const Events& all, size_t from, const Events& actual, const std::string& what) {
    ASSERT_LE(from + actual.size(), all.size()) << what;
    for (size_t i = 0; i < actual.size(); ++i) {
        const Event2D& e = all[from + i];
        const Event2D& a = actual[i];
        ASSERT_TRUE(e.x == a.x && e.y == a.y && e.polarity == a.polarity &&
                    e.timestamp == a.timestamp)
            << what << ": event " << from + i << " expected (" << e.x << "," << e.y << ","
            << int(e.polarity) << "," << e.timestamp << ") got (" << a.x << "," << a.y << ","
            << int(a.polarity) << "," << a.timestamp << ")";
    }
}

// The content hash a reader ties the side file of the recording at `path` to.
uint64_t contentOf(const std::string& path, uint64_t payloadOffset = 354) {
    std::ifstream raw(path, std::ios::binary);
    return BookmarkFile::contentHash(raw, fs::file_size(path), payloadOffset);
}

class RawFileReaderTest : public ::testing::Test {
  protected:
    // A line of that level whose message holds `text`.
    bool mentioned(LogLevelType level, const std::string& text) const {
        return std::any_of(log.lines.begin(), log.lines.end(), [&](const auto& line) {
            return line.level == level && line.message.find(text) != std::string::npos;
        });
    }
    bool logged(LogLevelType level, const std::string& message) const {
        return log.has(level, message, "src/FileReader/RawFileReader");
    }
    std::unique_ptr<RawFileReader> load(const std::string& path) {
        auto reader = std::make_unique<RawFileReader>(path);
        EXPECT_TRUE(reader->loadFile()) << path;
        return reader;
    }
    // A recording of `events` random events crossing `wraps` wraps of the counter.
    std::vector<uint8_t> record(const std::string& path, uint64_t seed, size_t events = 100000,
                                unsigned wraps = 1) {
        std::vector<uint8_t> payload = test::encode(test::randomStream(seed, events, wraps));
        test::writeRawFile(path, test::recordingHeader(), payload);
        return payload;
    }

    test::ScratchDir dir;
    test::LogCapture log;
};

TEST_F(RawFileReaderTest, FactoryGoesByTheTextAfterTheLastDot) {
    EXPECT_NE(DvsFileReader::createFileReader("my.videos/rec.raw"), nullptr);
    EXPECT_EQ(DvsFileReader::createFileReader("rec.RAW"), nullptr);
    EXPECT_EQ(DvsFileReader::createFileReader("my.raw/rec"), nullptr);
    EXPECT_EQ(DvsFileReader::createFileReader("rec"), nullptr);
    EXPECT_FALSE(DvsFileReader::createFileReader(dir.file("missing.raw"))->loadFile());
}

TEST_F(RawFileReaderTest, HeaderRulesSetGeometryPayloadStartAndRefuseOtherFormats) {
    std::vector<uint8_t> payload = test::encode(test::randomStream(5, 3000, 0));
    const std::string path = dir.file("rec.raw");
    struct Case {
        std::string header;
        bool loads;
        uint16_t width, height;
        std::string error;  // logged, with the path between the quotes
        size_t lostPayload = 0;
    };
    const std::vector<Case> cases = {
        {test::recordingHeader(), true, 1280, 720, ""},
        {"% format EVT3;height=480;width=640\n% end\n", true, 640, 480, ""},
        {"% format EVT3; height = 480; width = 640\n% end\n", true, 1280, 720, ""},
        {"% format EVT3;height=240;width=320\n% geometry 640x480\n% end\n", true, 640, 480, ""},
        {"% format EVT3\n% evt 3.0\n", true, 1280, 720, ""},
        {"% end \r\n", true, 1280, 720, ""},
        {"% format EVT3\n", true, 1280, 720, "", 4},  // no end line: "%ab\n" is read as header
        // Line ends of CR LF, and blanks after a value, as real files have them.
        {"% evt 3.0\r\n% format EVT3;height=480;width=640\r\n% end\r\n", true, 640, 480, ""},
        {"% evt 3.0 \n% geometry 640x480\t\n% end \n", true, 640, 480, ""},
        {"% format EVT2;height=480;width=640\n% end\n", false, 1280, 720,
         "Error : detected non-EVT3 input file '"},
        {"% geometry 640x480\n% evt 2.0\n% end\n", false, 640, 480,
         "Error : detected non-EVT3 input file.'"},
        {"% evt 3.0x\r\n% end\n", false, 1280, 720, "Error : detected non-EVT3 input file.'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.header);
        std::vector<uint8_t> bytes = payload;
        if (c.lostPayload) {
            bytes.insert(bytes.begin(), {'%', 'a', 'b', '\n'});
        }
        test::writeRawFile(path, c.header, bytes);
        fs::remove(BookmarkFile::pathFor(path));
        RawFileReader reader(path);
        log.clear();
        testing::internal::CaptureStderr();
        EXPECT_EQ(reader.loadFile(), c.loads);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "errors go to the log";
        if (!c.error.empty()) {
            EXPECT_TRUE(logged(LOG_ERROR, c.error + path + "'"));
        }
        EXPECT_EQ(reader.getWidth(), c.width);
        EXPECT_EQ(reader.getHeight(), c.height);
        if (c.loads) {
            EXPECT_EQ(reader.getBookmarks().begin()->second.position,
                      c.header.size() + c.lostPayload);
        }
    }

    // A geometry no EVT 3.0 word can address (x and y have 11 bits) sets nothing:
    // the file loads with what the lines before set, and a warning names the file
    // and the line.
    struct Odd {
        std::string header;
        unsigned line;
        uint16_t width, height;
    };
    const std::vector<Odd> odd = {
        {"% evt 3.0\n% geometry -1x-1\n% end\n", 2, 1280, 720},
        {"% geometry 65535x65535\n% end\n", 1, 1280, 720},
        {"% geometry 70000x70000\n% end\n", 1, 1280, 720},
        {"% geometry 0x0\n% end\n", 1, 1280, 720},
        {"% geometry 2049x480\n% end\n", 1, 1280, 720},
        {"% geometry 640x480\n% format EVT3;height=40000;width=40000\n% end\n", 2, 640, 480},
        {"% format EVT3;width=66000\n% end\n", 1, 1280, 720},
        {"% geometry 2048x2048\n% geometry 2048x0\n% end\n", 2, 2048, 2048},
    };
    for (const Odd& c : odd) {
        SCOPED_TRACE(c.header);
        test::writeRawFile(path, c.header, payload);
        fs::remove(BookmarkFile::pathFor(path));
        RawFileReader reader(path);
        log.clear();
        EXPECT_TRUE(reader.loadFile());
        EXPECT_EQ(reader.getWidth(), c.width);
        EXPECT_EQ(reader.getHeight(), c.height);
        const std::string where = "Raw file " + path + ", header line " + std::to_string(c.line);
        EXPECT_EQ(std::count_if(log.lines.begin(), log.lines.end(),
                                [&](const test::LogCapture::Line& l) {
                                    return l.level == LOG_WARNING && l.message.rfind(where, 0) == 0;
                                }),
                  1)
            << "one warning that begins with \"" << where << "\"";
    }
}

// Whatever the file, loadFile answers without throwing: an error naming the file
// and the reason where it cannot be read, a warning where its bytes do not look
// like EVT 3.0, and nothing for real recordings.
TEST_F(RawFileReaderTest, BadFilesFailOrWarnByNameAndNeverThrow) {
    const std::string path = dir.file("bad.raw");
    const std::vector<uint8_t> payload = test::encode(test::randomStream(5, 3000, 0));
    auto loadOnce = [&](bool loads) {
        log.clear();
        RawFileReader reader(path);
        bool result = !loads;
        EXPECT_NO_THROW(result = reader.loadFile());
        EXPECT_EQ(result, loads);
    };
    const std::string malformed = "Cannot load raw file " + path + ": malformed header (";
    test::writeRawFile(path, "% geometry axb\n% end\n", payload);
    loadOnce(false);
    EXPECT_TRUE(
        logged(LOG_ERROR, malformed + "invalid stoi argument in the header of '" + path + "')."));
    test::writeRawFile(path, "% format EVT3;height=99999999999\n% end\n", payload);
    loadOnce(false);
    EXPECT_TRUE(logged(LOG_ERROR,
                       malformed + "stoi argument out of range in the header of '" + path + "')."));
    fs::remove(path);
    loadOnce(false);
    EXPECT_TRUE(logged(LOG_ERROR, "Cannot open raw file " + path + ": No such file or directory."));
    // A FIFO would hold the open until a writer came; a device has no end.
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    loadOnce(false);
    EXPECT_TRUE(
        logged(LOG_ERROR, "Cannot open raw file " + path + ": not a regular file (a FIFO)."));
    fs::remove(path);
    {
        RawFileReader device("/dev/zero");
        EXPECT_FALSE(device.loadFile());
        EXPECT_TRUE(logged(
            LOG_ERROR, "Cannot open raw file /dev/zero: not a regular file (a character device)."));
    }
    // A name with a NUL byte is refused, not read as the shorter name before it.
    test::writeRawFile(path, test::recordingHeader(), payload);
    {
        RawFileReader nul(path + std::string("\0x", 2));
        EXPECT_FALSE(nul.loadFile());
    }

    auto warned = [&](const std::string& reason) {
        for (const auto& line : log.lines) {
            if (line.level == LOG_WARNING &&
                line.message.find("Raw file " + path + " does not look like EVT 3.0 data (") == 0 &&
                line.message.find(reason) != std::string::npos) {
                return true;
            }
        }
        return false;
    };
    std::string text;
    while (text.size() < 20000) {
        text += "A text file that was given the name of a recording, line after line.\n";
    }
    test::writeRawFile(path, text, {});
    loadOnce(true);
    EXPECT_TRUE(warned("no time word in its first " + std::to_string(text.size()) + " bytes"));
    std::mt19937 random(3);
    std::vector<uint8_t> noise(300000);
    for (auto& b : noise) {
        b = static_cast<uint8_t>(random());
    }
    test::writeRawFile(path, "", noise);
    loadOnce(true);
    EXPECT_TRUE(warned("backward time jumps"));
    EXPECT_TRUE(warned("words of reserved types"));
    EXPECT_TRUE(warned("hours in 300000 bytes"));

    // Generated and real recordings, and cuts that begin with state words, do not warn.
    test::writeRawFile(path, test::recordingHeader(),
                       test::encode(test::randomStream(8, 20000, 3)));
    loadOnce(true);
    EXPECT_FALSE(warned(""));
    for (const std::string& real : test::realRecordings()) {
        fs::copy_file(real, path, fs::copy_options::overwrite_existing);
        loadOnce(true);
        EXPECT_FALSE(warned("")) << real;
    }
}

TEST_F(RawFileReaderTest, EmptyShortOddAndGarbageFilesLoadWithoutHarm) {
    const std::string path = dir.file("rec.raw");
    for (const std::string& header : {std::string(), test::recordingHeader()}) {
        test::writeRawFile(path, header, {});  // nothing, or a header alone
        auto reader = load(path);
        uint64_t start = 1, end = 1, max = 1;
        reader->getStartTimeStamp(start);
        reader->getEndTimeStamp(end);
        reader->getMaxEvents(max);
        EXPECT_EQ(start, 0u);
        EXPECT_EQ(end, 0u);
        EXPECT_EQ(max, 0u);
        EXPECT_TRUE(reader->getNTimeEvents(100)->empty());
    }

    // Shorter than one bookmark period (a short cut, a burst in one microsecond):
    // every event is counted and read.
    for (uint64_t step : {7, 0}) {
        std::vector<Event2D> brief;
        for (uint64_t i = 0, t = 10; i < 300; ++i, t += step) {
            brief.emplace_back(static_cast<uint16_t>(i % 1280), 3, 1, t);
        }
        std::vector<uint8_t> briefPayload;
        Evt3Encoder().encode(brief, briefPayload);
        test::writeRawFile(path, test::recordingHeader(), briefPayload);
        SCOPED_TRACE(step);
        auto reader = load(path);
        uint64_t max = 0;
        reader->getMaxEvents(max);
        EXPECT_EQ(max, brief.size());
        const Events all = test::decodeEvents(briefPayload);
        Events got = *reader->getNTimeEvents(10000);
        EXPECT_EQ(got.size(), all.size());
        expectEventsAt(all, 0, got, "time slice");
        got = *reader->getNEventsGivenStartEvent(0, 1000);
        EXPECT_EQ(got.size(), all.size());
        expectEventsAt(all, 0, got, "count query");
    }

    // An odd payload: the lone last byte is never decoded, not even after a seek.
    std::vector<uint8_t> payload = record(path, 6, 20000);
    const Events all = test::decodeEvents(payload);
    payload.push_back(0x20);
    test::writeRawFile(path, test::recordingHeader(), payload);
    auto reader = load(path);
    uint64_t max = 0;
    reader->getMaxEvents(max);
    EXPECT_EQ(max, all.size());
    Events got = *reader->getNEvents(all.size() + 5);
    EXPECT_EQ(got.size(), all.size());
    uint64_t end = 0;
    reader->getEndTimeStamp(end);
    EXPECT_TRUE(reader->seekTime(end));
    got = *reader->getNTimeEvents(10);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back().timestamp, all.back().timestamp);
    EXPECT_TRUE(reader->getNTimeEvents(10)->empty());
    const uint64_t middle = all[all.size() / 2].timestamp;
    ASSERT_TRUE(reader->seekTime(middle));
    const size_t from =
        static_cast<size_t>(std::find_if(all.begin(), all.end(),
                                         [&](const Event2D& e) { return e.timestamp >= middle; }) -
                            all.begin());
    expectEventsAt(all, from, *reader->getNEvents(1000), "after reading the odd end");

    // Noise: time steps back and wraps at random; every query still ends.
    std::mt19937 random(9);
    std::vector<uint8_t> noise(400000);
    for (auto& b : noise) {
        b = static_cast<uint8_t>(random());
    }
    test::writeRawFile(path, test::recordingHeader(), noise);
    reader = load(path);
    size_t slices = 0;
    while (!reader->reachedEndOfEvents() && slices < 100000) {
        reader->getNTimeEvents(uint64_t{1} << 28);
        ++slices;
    }
    EXPECT_LT(slices, 100000u);
    ASSERT_TRUE(reader->seekNEvents(0));
    reader->getMaxEvents(max);
    uint64_t returned = 0;
    for (auto chunk = reader->getNEvents(100000); !chunk->empty();
         chunk = reader->getNEvents(100000)) {
        returned += chunk->size();
    }
    EXPECT_EQ(max, test::decodeEvents(noise).size());
    EXPECT_EQ(returned, max);

    fs::create_directory(dir.file("folder.raw"));
    EXPECT_FALSE(RawFileReader(dir.file("folder.raw")).loadFile());
}

TEST_F(RawFileReaderTest, SideFileIsReusedAndRebuiltWhenItIsNotTheRecordingsOwn) {
    const std::string path = dir.file("rec.raw");
    const std::string side = dir.file("rec.ovmark.tmp");
    record(path, 7, 3000);
    std::vector<std::pair<uint64_t, uint64_t>> progress;
    RawFileReader first(path);
    first.setProgressCallback([&](uint64_t done, uint64_t total) {
        progress.push_back({done, total});
    });
    ASSERT_TRUE(first.loadFile());
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back().first, fs::file_size(path) - 354);
    EXPECT_EQ(progress.back().second, fs::file_size(path) - 354);
    EXPECT_EQ(test::fileBytes(side),
              BookmarkFile::serialize(first.getBookmarks(), fs::file_size(path), 1280, 720,
                                      contentOf(path)));

    // A valid side file is used as it is: a shortened index proves it was read.
    BookmarkFile::BookmarkMap shortened = {*first.getBookmarks().begin(),
                                           *first.getBookmarks().rbegin()};
    auto writeSide = [&](const std::vector<uint8_t>& bytes) {
        std::ofstream(side, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    };
    writeSide(BookmarkFile::serialize(shortened, fs::file_size(path), 1280, 720, contentOf(path)));
    progress.clear();
    RawFileReader second(path);
    second.setProgressCallback([&](uint64_t done, uint64_t total) {
        progress.push_back({done, total});
    });
    ASSERT_TRUE(second.loadFile());
    EXPECT_EQ(second.getBookmarks(), shortened);
    EXPECT_TRUE(progress.empty());

    // Each of these is rebuilt into the full index.
    auto rebuilt = [&](const char* what) {
        SCOPED_TRACE(what);
        RawFileReader reader(path);
        ASSERT_TRUE(reader.loadFile());
        EXPECT_GT(reader.getBookmarks().size(), shortened.size());
        EXPECT_EQ(BookmarkFile::check(test::fileBytes(side), fs::file_size(path),
                                      reader.getBookmarks().begin()->second.position,
                                      reader.getWidth(), reader.getHeight()),
                  BookmarkFile::Verdict::Valid);
    };
    writeSide(BookmarkFile::serialize(shortened, fs::file_size(path), 1280, 720));
    std::ofstream(path, std::ios::binary | std::ios::app).put('\0');  // grew by one byte
    rebuilt("recording grew");

    std::vector<uint8_t> bytes = BookmarkFile::serialize(shortened, fs::file_size(path), 1280, 720);
    bytes.back() ^= 0x5A;
    writeSide(bytes);
    rebuilt("CRC damaged");
    EXPECT_TRUE(logged(LOG_INFO, "The file has changed"));

    writeSide({});
    testing::internal::CaptureStderr();
    rebuilt("empty");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(logged(LOG_WARNING, "The file content is insufficient to perform CRC validation!"));

    writeSide(BookmarkFile::serialize(shortened, fs::file_size(path), 1280, 720));
    fs::resize_file(side, BookmarkFile::kMaxSize + 1);
    rebuilt("larger than 100 MiB");

    // Same size, other geometry.
    std::vector<uint8_t> payload = test::encode(test::randomStream(8, 20000, 1));
    test::writeRawFile(path, "% format EVT3;height=720;width=1280\n% end\n", payload);
    ASSERT_TRUE(RawFileReader(path).loadFile());
    test::writeRawFile(path, "% format EVT3;height=480;width=0640\n% end\n", payload);
    rebuilt("geometry changed");
    EXPECT_EQ(BookmarkFile::check(test::fileBytes(side), fs::file_size(path), 42, 640, 480),
              BookmarkFile::Verdict::Valid);

    // A sound side file without a single record is no index of this recording.
    writeSide(BookmarkFile::serialize({}, fs::file_size(path), 640, 480));
    rebuilt("no records");

    // A side file that cannot be written: the index stays in memory.
    fs::remove(side);
    fs::create_directory(side);
    testing::internal::CaptureStderr();
    EXPECT_TRUE(RawFileReader(path).loadFile());
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(logged(
        LOG_ERROR, "Failed to open file for writing: cannot replace " + side + ": Is a directory"))
        << "one line that names the side file and the reason";

    // Without ".raw" in its path a recording is indexed in memory only.
    test::ScratchDir other;
    record(other.file("rec.bin"), 9);
    EXPECT_TRUE(RawFileReader(other.file("rec.bin")).loadFile());
    EXPECT_EQ(std::distance(fs::directory_iterator(other.path()), fs::directory_iterator()), 1);
}

// Every slice and every count query together return each event exactly once, in
// order; seeks land where a plain decode says.
// The reading loops end and return every event once; seeks land exactly: after
// seekTime(t) on the first event at or after t, after seekNEvents(k) on event k.
void checkAgainstPlainDecode(RawFileReader& reader, const std::vector<uint8_t>& payload,
                             uint64_t seed) {
    const Events all = test::decodeEvents(payload);
    uint64_t start = 0, end = 0, max = 0;
    reader.getStartTimeStamp(start);
    reader.getEndTimeStamp(end);
    reader.getMaxEvents(max);
    ASSERT_EQ(max, all.size());
    ASSERT_EQ(reader.getCurrentPosEventNum(), 0u);
    if (!all.empty()) {
        // The recording spans its events: the last one's time ends it.
        ASSERT_EQ(end, all.back().timestamp);
        ASSERT_LE(start, all.front().timestamp);
    }

    Events walked;
    uint64_t sliceEnd = start;
    for (uint64_t calls = 0; !reader.reachedEndOfEvents(); ++calls) {
        ASSERT_LT(calls, (end - start) / 3000 + 100) << "the time loop does not end";
        const uint64_t previousEnd = sliceEnd;
        sliceEnd = reader.getCurrentPosTimeStamp() + 3000;
        auto slice = reader.getNTimeEvents(3000);
        for (const Event2D& e : *slice) {
            ASSERT_LE(e.timestamp, sliceEnd);
            ASSERT_TRUE(walked.empty() || e.timestamp > previousEnd);
        }
        walked.insert(walked.end(), slice->begin(), slice->end());
    }
    ASSERT_EQ(walked.size(), all.size());
    expectEventsAt(all, 0, walked, "time slices");

    ASSERT_TRUE(reader.seekTime(start));
    Events counted;
    uint64_t n = 1;
    for (size_t calls = 0; !reader.reachedEndOfEvents(); ++calls, n = n * 3 + 1) {
        ASSERT_LT(calls, all.size() + 100) << "the count loop does not end";
        auto chunk = reader.getNEvents(n % 70000);
        if (!chunk->empty() && !reader.reachedEndOfEvents()) {
            ASSERT_EQ(reader.getCurrentPosTimeStamp(), std::min(chunk->back().timestamp + 1, end));
        }
        counted.insert(counted.end(), chunk->begin(), chunk->end());
        ASSERT_EQ(reader.getCurrentPosEventNum(), counted.size());
    }
    ASSERT_EQ(counted.size(), all.size());
    expectEventsAt(all, 0, counted, "count queries");

    auto firstAtOrAfter = [&](uint64_t t) {
        return static_cast<size_t>(
            std::lower_bound(all.begin(), all.end(), t,
                             [](const Event2D& e, uint64_t time) { return e.timestamp < time; }) -
            all.begin());
    };
    std::mt19937_64 random(seed);
    std::vector<uint64_t> times;
    for (double fraction : {0.1, 0.5, 0.9, 0.995}) {
        times.push_back(start + static_cast<uint64_t>(fraction * static_cast<double>(end - start)));
    }
    for (int trial = 0; trial < 30; ++trial) {
        times.push_back(start + 1 + random() % (end - start));
    }
    for (uint64_t t : times) {
        ASSERT_TRUE(reader.seekTime(t));
        const size_t from = firstAtOrAfter(t);
        ASSERT_EQ(reader.getCurrentPosEventNum(), from) << "seekTime " << t;
        const size_t want = std::min<size_t>(5000, all.size() - from);
        auto got = reader.getNEvents(5000);
        ASSERT_EQ(got->size(), want) << "seekTime " << t;
        expectEventsAt(all, from, *got, "seekTime " + std::to_string(t));
    }
    for (int trial = 0; trial < 40; ++trial) {
        const uint64_t k = trial == 0 ? 0 : trial == 1 ? max : random() % (max + 1);
        ASSERT_TRUE(reader.seekNEvents(k)) << k;
        ASSERT_EQ(reader.getCurrentPosEventNum(), k);
        if (k == 0) {
            ASSERT_EQ(reader.getCurrentPosTimeStamp(), start);
        } else if (k < max) {
            ASSERT_EQ(reader.getCurrentPosTimeStamp(), all[k].timestamp);
        }
        auto got = reader.getNEventsGivenStartEvent(k, 50);
        ASSERT_EQ(got->size(), std::min<uint64_t>(50, max - k));
        expectEventsAt(all, k, *got, "seekNEvents " + std::to_string(k));
    }
}

void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

// The side file with its last byte made the CRC of the bytes before it.
std::vector<uint8_t> withCrc(std::vector<uint8_t> bytes) {
    bytes.back() = BookmarkFile::crc8(bytes.data(), bytes.size() - 1);
    return bytes;
}

TEST_F(RawFileReaderTest, SideFileIsTrustedOnlyWhenItFitsTheRecording) {
    const std::string path = dir.file("rec.raw");
    const std::string side = dir.file("rec.ovmark.tmp");
    // 20000 events over 200 ms: about a hundred bookmarks.
    Events written;
    for (uint32_t i = 0; i < 20000; ++i) {
        written.emplace_back(static_cast<uint16_t>(i * 37 % 1280),
                             static_cast<uint16_t>(i * 11 % 720), i % 2, 1000 + 10 * i);
    }
    std::vector<uint8_t> payload;
    Evt3Encoder().encode(written, payload);
    test::writeRawFile(path, test::recordingHeader(), payload);
    Events all = test::decodeEvents(payload);
    ASSERT_TRUE(RawFileReader(path).loadFile());
    const std::vector<uint8_t> good = test::fileBytes(side);
    const uint64_t size = fs::file_size(path);

    // Loading gives every event and leaves the recording's own index beside it.
    auto readsEverything = [&](const std::string& what) {
        SCOPED_TRACE(what);
        RawFileReader reader(path);
        ASSERT_TRUE(reader.loadFile());
        uint64_t max = 0;
        reader.getMaxEvents(max);
        EXPECT_EQ(max, all.size());
        const Events got = *reader.getNEvents(all.size() + 1);
        EXPECT_EQ(got.size(), all.size());
        expectEventsAt(all, 0, got, what);
        EXPECT_EQ(test::fileBytes(side),
                  BookmarkFile::serialize(reader.getBookmarks(), fs::file_size(path), 1280, 720,
                                          contentOf(path)));
    };

    // Cut short (a disk that filled) at every length, the CRC made to match.
    size_t trusted = 0;
    for (size_t length = 1; length < good.size(); ++length) {
        const std::vector<uint8_t> cut =
            withCrc(std::vector<uint8_t>(good.begin(), good.begin() + static_cast<long>(length)));
        trusted += BookmarkFile::check(cut, size, 354, 1280, 720) == BookmarkFile::Verdict::Valid;
    }
    EXPECT_EQ(trusted, 0u);
    for (size_t length : {good.size() - 1, good.size() - 29, good.size() / 2}) {
        writeBytes(side, withCrc(std::vector<uint8_t>(good.begin(),
                                                      good.begin() + static_cast<long>(length))));
        readsEverything("cut to " + std::to_string(length));
    }

    // Records that pass the CRC but cannot be this recording's index.
    const size_t records = static_cast<size_t>(std::find(good.begin(), good.end(), 0) -
                                               good.begin() + 1 + sizeof(uint64_t));
    const size_t count = (good.size() - records - 1) / BookmarkFile::kRecordSize;
    ASSERT_GE(count, 4u);
    const size_t kKey = 0, kPosition = 8, kTimestamp = 17;
    auto forged = [&](size_t record, std::vector<size_t> fields, uint64_t value,
                      const std::string& what) {
        std::vector<uint8_t> bytes = good;
        for (size_t field : fields) {
            for (size_t i = 0; i < 8; ++i) {
                bytes[records + record * BookmarkFile::kRecordSize + field + i] =
                    static_cast<uint8_t>(value >> (8 * i));
            }
        }
        writeBytes(side, withCrc(bytes));
        readsEverything(what);
    };
    forged(count - 1, {kPosition}, size + 2, "end entry past the end");
    forged(count - 1, {kPosition}, size - 2, "end entry before the end");
    forged(1, {kPosition}, 355, "position off the words");
    forged(0, {kPosition}, 356, "first record after the payload start");
    forged(2, {kPosition}, 354, "positions not increasing");
    forged(2, {kKey, kTimestamp}, 1, "keys not increasing");
    forged(2, {kTimestamp}, 1, "key and time differ");
    std::vector<uint8_t> longer = good;
    longer.insert(longer.end() - 1, 29, 0);
    writeBytes(side, withCrc(longer));
    readsEverything("bytes after the records");

    // A FIFO in the side file's place: no opening waits for a writer.
    fs::remove(side);
    ASSERT_EQ(::mkfifo(side.c_str(), 0600), 0);
    auto loading = std::async(std::launch::async, [&] { return RawFileReader(path).loadFile(); });
    if (loading.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        ADD_FAILURE() << "loadFile waits on a FIFO";
        const int release = ::open(side.c_str(), O_RDWR | O_NONBLOCK);
        loading.wait_for(std::chrono::seconds(5));
        ::close(release);
    }
    EXPECT_TRUE(loading.get());
    EXPECT_TRUE(fs::is_fifo(side));  // not a side file: left alone
    fs::remove(side);

    // Rewritten in place with the same size: the older index is not trusted.
    writeBytes(side, good);
    for (Event2D& e : written) {
        e.polarity ^= 1;
    }
    payload.clear();
    Evt3Encoder().encode(written, payload);
    test::writeRawFile(path, test::recordingHeader(), payload);
    fs::last_write_time(path, fs::last_write_time(side) + std::chrono::seconds(2));
    ASSERT_EQ(fs::file_size(path), size);
    all = test::decodeEvents(payload);
    readsEverything("rewritten");

    // Readers opening the recording while others rebuild its side file.
    std::atomic<int> failed{0};
    auto openMany = [&](bool damage) {
        for (int i = 0; i < 60; ++i) {
            if (damage) {
                std::vector<uint8_t> bytes = test::fileBytes(side);
                if (!bytes.empty()) {
                    bytes.back() ^= 0x5A;
                    writeBytes(side, bytes);
                }
            }
            RawFileReader reader(path);
            uint64_t max = 0;
            if (!reader.loadFile() || !reader.getMaxEvents(max) || max != all.size()) {
                ++failed;
            }
        }
    };
    testing::internal::CaptureStderr();
    std::thread rebuilder(openMany, true);
    std::thread first(openMany, false);
    openMany(false);
    first.join();
    rebuilder.join();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(failed, 0);
}

TEST_F(RawFileReaderTest, RecordingEndingOnItsLastKeyReadsLikeItsPlainDecode) {
    const std::string path = dir.file("rec.raw");
    const std::vector<uint8_t> payload = test::endingOnItsLastKey();
    test::writeRawFile(path, test::recordingHeader(), payload);
    checkAgainstPlainDecode(*load(path), payload, 41);
    checkAgainstPlainDecode(*load(path), payload, 41);  // from the side file
}

TEST_F(RawFileReaderTest, SeeksAndQueriesAgreeWithAPlainDecode) {
    const std::string path = dir.file("rec.raw");
    for (uint64_t seed : {21, 22}) {
        std::vector<uint8_t> payload = record(path, seed, 30000, seed == 21 ? 1 : 0);
        SCOPED_TRACE("seed " + std::to_string(seed));
        checkAgainstPlainDecode(*load(path), payload, seed);
        checkAgainstPlainDecode(*load(path), payload, seed);  // from the side file
    }
    // A dense scene: thousands of events per chunk, bookmarks on time-low words.
    test::writeSceneRecording(path, 2 << 20, 23);
    checkAgainstPlainDecode(*load(path), test::readRawFile(path).payload, 23);
}

TEST_F(RawFileReaderTest, RealRecordingsReadLikeTheirPlainDecode) {
    auto paths = test::realRecordings();
    if (paths.empty()) {
        GTEST_SKIP() << "no real recordings: ../shared/data/evt3 is absent (set ORVANE_TEST_DATA)";
    }
    for (const std::string& source : paths) {
        SCOPED_TRACE(source);
        test::RawFile file = test::readRawFile(source);
        const std::string path = dir.file(fs::path(source).filename().string());
        fs::copy_file(source, path);
        auto reader = load(path);
        EXPECT_EQ(reader->getBookmarks().begin()->second.position, file.header.size());
        if (file.header.find("% geometry") != std::string::npos) {
            EXPECT_EQ(reader->getWidth(), file.width);
            EXPECT_EQ(reader->getHeight(), file.height);
        }
        checkAgainstPlainDecode(*reader, file.payload, 5);
    }
}

TEST_F(RawFileReaderTest, TriggerEdgesAreReadWithoutMovingTheReadPosition) {
    std::vector<std::string> paths;
    for (const std::string& real : test::realRecordings()) {
        paths.push_back(dir.file(fs::path(real).filename().string()));
        fs::copy_file(real, paths.back());
    }
    paths.push_back(dir.file("generated.raw"));
    record(paths.back(), 51, 30000, 1);
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        const std::vector<uint8_t> payload = test::readRawFile(path).payload;
        auto decoder = test::evt3Decoder();
        test::Collector plain(*decoder);
        decoder->decode(payload);
        std::vector<EventTriggerIn> expected;
        for (const test::Item& item : plain.items) {
            if (item.isTrigger) {
                expected.push_back(item.trigger);
            }
        }
        auto same = [](const std::vector<EventTriggerIn>& a, const std::vector<EventTriggerIn>& b) {
            return a.size() == b.size() &&
                   std::equal(a.begin(), a.end(), b.begin(), [](const auto& p, const auto& q) {
                       return p.id == q.id && p.polarity == q.polarity &&
                              p.timestamp == q.timestamp;
                   });
        };

        auto reader = load(path);
        const Events all = test::decodeEvents(payload);
        const Events first = *reader->getNEvents(100);
        EXPECT_TRUE(same(reader->getTriggerEvents(), expected)) << expected.size();
        if (path.find("640x480") != std::string::npos) {
            EXPECT_EQ(expected.size(), 4157u);
        }
        if (expected.size() > 10) {
            const uint64_t from = expected[expected.size() / 3].timestamp;
            const uint64_t to = expected[expected.size() * 2 / 3].timestamp;
            std::vector<EventTriggerIn> inside;
            std::copy_if(expected.begin(), expected.end(), std::back_inserter(inside),
                         [&](const auto& t) { return t.timestamp >= from && t.timestamp <= to; });
            EXPECT_TRUE(same(reader->getTriggerEvents(from, to), inside));
        }
        EXPECT_EQ(reader->getCurrentPosEventNum(), 100u);
        expectEventsAt(all, 100, *reader->getNEvents(100), "after reading the triggers");
    }
}

TEST_F(RawFileReaderTest, PositionRulesAtTheEdgesOfTheRecording) {
    const std::string path = dir.file("rec.raw");
    const Events all = test::decodeEvents(record(path, 31, 40000, 0));
    auto reader = load(path);
    uint64_t start = 0, end = 0, max = 0;
    reader->getStartTimeStamp(start);
    reader->getEndTimeStamp(end);
    reader->getMaxEvents(max);
    EXPECT_EQ(reader->getCurrentPosTimeStamp(), start);

    auto first = reader->getNEvents(5);
    const Events firstCopy = *first;
    auto second = reader->getNEvents(5);
    EXPECT_EQ(first.get(), second.get());  // one shared result vector
    expectEventsAt(all, 5, *first, "the first result shows the second query");
    expectEventsAt(all, 0, firstCopy, "first query");

    const uint64_t before = reader->getCurrentPosTimeStamp();
    EXPECT_TRUE(reader->getNEvents(0)->empty());
    EXPECT_EQ(reader->getCurrentPosTimeStamp(), before);

    EXPECT_FALSE(reader->seekTime(end + 1));
    EXPECT_EQ(reader->getCurrentPosTimeStamp(), end + 1);
    EXPECT_TRUE(reader->reachedEndOfEvents());
    auto none = reader->getNTimeEvents(10);
    EXPECT_TRUE(none->empty());
    EXPECT_NE(none.get(), first.get());
    EXPECT_EQ(reader->getCurrentPosEventNum(), max);
    EXPECT_TRUE(logged(LOG_WARNING, "Current read pos exceeds end timestamp."));

    ASSERT_GT(start, 0u);
    EXPECT_FALSE(reader->seekTime(start - 1));
    EXPECT_EQ(reader->getCurrentPosTimeStamp(), start - 1);
    EXPECT_TRUE(reader->getNTimeEvents(0)->empty());
    EXPECT_EQ(reader->getCurrentPosEventNum(), 0u);
    EXPECT_TRUE(logged(LOG_WARNING, "Requested interval is before start timestamp."));

    // The end time is the last event's: a seek there reads the events at that time.
    EXPECT_TRUE(reader->seekTime(end));
    const Events atEnd = *reader->getNEvents(all.size());
    ASSERT_FALSE(atEnd.empty());
    EXPECT_EQ(atEnd.front().timestamp, all.back().timestamp);
    EXPECT_EQ(atEnd.back().timestamp, all.back().timestamp);
    EXPECT_TRUE(reader->getNEvents(10)->empty());

    EXPECT_FALSE(reader->seekNEvents(max + 1));
    EXPECT_EQ(reader->getCurrentPosEventNum(), max + 1);
    EXPECT_EQ(reader->getCurrentPosTimeStamp(), end + 1);
    EXPECT_TRUE(reader->getNEvents(10)->empty());
    EXPECT_TRUE(logged(LOG_WARNING, "Requested number of events exceeds total number of events."));

    // A slice past the end returns the rest; the position moves by the full span.
    ASSERT_TRUE(reader->seekTime(end - 500));
    auto rest = reader->getNTimeEvents(5000);
    ASSERT_FALSE(rest->empty());
    EXPECT_EQ(rest->back().timestamp, all.back().timestamp);
    EXPECT_EQ(reader->getCurrentPosTimeStamp(), end - 500 + 5000);
    EXPECT_TRUE(reader->reachedEndOfEvents());
    EXPECT_TRUE(logged(LOG_WARNING, "Requested interval exceeds end timestamp."));
}

// seekTime(t) stands after the last event earlier than t: where every event read
// from there is at or after t. Its event number, from a plain decode.
size_t afterLastEarlier(const Events& all, uint64_t t) {
    size_t at = 0;
    for (size_t i = 0; i < all.size(); ++i) {
        if (all[i].timestamp < t) {
            at = i + 1;
        }
    }
    return at;
}

TEST_F(RawFileReaderTest, TimeSeeksReachTheFirstAndLastEventsAndNeverLandBeforeTheirTime) {
    // Events before the first time word (time 0) and after the last time-high
    // word, whose repetition at the very end clears the time's low part; a
    // time-low that runs ahead and comes back right after a time-high.
    const std::vector<uint8_t> payload = test::evt3Words({
        0x0005, 0x2001, 0x2002,                  // y 5; two events at time 0
        0x8001, 0x6010, 0x0006, 0x2003,          // time 0x1010: one event
        0x8002, 0x6F00, 0x6005, 0x2004, 0x2005,  // ahead to 0x2F00, back to 0x2005: two events
        0x6F10, 0x2006,                          // 0x2F10: one event
        0x8003, 0x6100, 0x2007,                  // 0x3100
        0x8004, 0x67E7, 0x2008, 0x2009, 0x8004,  // 0x47E7: two events, then the high repeated
    });
    const std::string path = dir.file("edges.raw");
    test::writeRawFile(path, test::recordingHeader(), payload);
    const Events all = test::decodeEvents(payload);
    ASSERT_EQ(all.size(), 9u);
    for (int opening = 0; opening < 2; ++opening) {  // built, then from the side file
        SCOPED_TRACE(opening == 0 ? "built" : "reloaded");
        auto reader = load(path);
        uint64_t start = 1, end = 0;
        reader->getStartTimeStamp(start);
        reader->getEndTimeStamp(end);
        EXPECT_EQ(start, 0u);
        EXPECT_EQ(end, 0x47E7u);
        for (uint64_t t : {uint64_t{0}, uint64_t{1}, uint64_t{0x1010}, uint64_t{0x2004},
                           uint64_t{0x2005}, uint64_t{0x2006}, uint64_t{0x2F00}, uint64_t{0x2F11},
                           uint64_t{0x4000}, uint64_t{0x47E7}}) {
            ASSERT_TRUE(reader->seekTime(t)) << t;
            const size_t from = afterLastEarlier(all, t);
            EXPECT_EQ(reader->getCurrentPosEventNum(), from) << t;
            const Events got = *reader->getNEvents(100);
            EXPECT_EQ(got.size(), all.size() - from) << t;
            expectEventsAt(all, from, got, "seekTime " + std::to_string(t));
        }
        EXPECT_FALSE(reader->seekTime(0x47E8));
    }

    // Real streams: a time-low word runs ahead right after a time-high in the
    // gen 4.1 sample; a closing time-high hides the last 268 events of the other.
    for (const std::string& source : test::realRecordings()) {
        SCOPED_TRACE(source);
        const std::string copy = dir.file(fs::path(source).filename().string());
        fs::copy_file(source, copy);
        const Events real = test::decodeEvents(test::readRawFile(copy).payload);
        auto reader = load(copy);
        uint64_t end = 0;
        reader->getEndTimeStamp(end);
        EXPECT_EQ(end, real.back().timestamp);
        std::vector<uint64_t> times = {real.front().timestamp, end, end - 1500};
        if (source.find("gen41") != std::string::npos) {
            times.push_back(11721463);
            ASSERT_TRUE(reader->seekTime(11721463));
            EXPECT_EQ(reader->getCurrentPosEventNum(), 71618u);
        }
        if (source.find("640x480") != std::string::npos) {
            EXPECT_EQ(end, 9218023u);
            ASSERT_TRUE(reader->seekTime(9216000));
            EXPECT_EQ(reader->getNEvents(1000)->size(), 268u);
            times.push_back(9217000);
        }
        std::mt19937_64 random(7);
        for (int i = 0; i < 300; ++i) {
            times.push_back(real.front().timestamp + random() % (end - real.front().timestamp));
        }
        for (uint64_t t : times) {
            ASSERT_TRUE(reader->seekTime(t)) << t;
            // Their events never go back in time: the first at or after t.
            const auto first = std::lower_bound(
                real.begin(), real.end(), t,
                [](const Event2D& e, uint64_t time) { return e.timestamp < time; });
            ASSERT_EQ(reader->getCurrentPosEventNum(), size_t(first - real.begin())) << t;
            const Events got = *reader->getNEvents(50);
            ASSERT_FALSE(got.empty()) << t;
            ASSERT_GE(got.front().timestamp, t);
        }
    }
}

TEST_F(RawFileReaderTest, SeekIntoAVectorWordAdvancedByEarlierVectorWordsKeepsItsX) {
    // No vector-base word: the first vector word starts at x 0 and moves the base
    // to 12; a row word comes between the two vector words.
    const std::vector<uint8_t> payload =
        test::evt3Words({0x8001, 0x0005, 0x4FFF, 0x0006, 0x4007, 0x6001});
    const std::string path = dir.file("vectors.raw");
    test::writeRawFile(path, test::recordingHeader(), payload);
    const Events all = test::decodeEvents(payload);
    ASSERT_EQ(all.size(), 15u);
    ASSERT_EQ(all[12].x, 12u);
    auto reader = load(path);
    for (uint64_t k = 11; k < 15; ++k) {
        ASSERT_TRUE(reader->seekNEvents(k));
        expectEventsAt(all, k, *reader->getNEvents(1), "seekNEvents " + std::to_string(k));
    }
}

TEST_F(RawFileReaderTest, SideFileIsTheRecordingsOwnByNameAndContentAndReplacesNothingElse) {
    // Named from the file name's own extension, beside the recording.
    EXPECT_EQ(BookmarkFile::pathFor("rec.raw"), "rec.ovmark.tmp");
    EXPECT_EQ(BookmarkFile::pathFor("a.raw.raw"), "a.raw.ovmark.tmp");
    EXPECT_EQ(BookmarkFile::pathFor("my.videos/rec.raw"), "my.videos/rec.ovmark.tmp");
    EXPECT_EQ(BookmarkFile::pathFor("sess.raw.d/take.bin"), "");
    EXPECT_EQ(BookmarkFile::pathFor("sess.raw.d/take"), "");
    fs::create_directories(dir.file("sess.raw.d"));
    fs::create_directories(dir.file("sess.ovmark.tmp.d"));
    const std::string userFile = dir.file("sess.ovmark.tmp.d/take.bin");
    std::ofstream(userFile) << "my notes\n";
    record(dir.file("sess.raw.d/take.bin"), 3, 2000);
    load(dir.file("sess.raw.d/take.bin"));
    EXPECT_EQ(test::fileBytes(userFile),
              std::vector<uint8_t>({'m', 'y', ' ', 'n', 'o', 't', 'e', 's', '\n'}));
    EXPECT_EQ(
        std::distance(fs::directory_iterator(dir.file("sess.raw.d")), fs::directory_iterator()), 1);

    // A replaced recording of the same size, older than the index (as mv, cp -p,
    // rsync -a and tar x leave it): its own index, not the old one.
    const std::string path = dir.file("rec.raw");
    const std::string side = dir.file("rec.ovmark.tmp");
    const Events first = test::decodeEvents(record(path, 11, 20000, 0));
    load(path);
    std::vector<uint8_t> other = test::readRawFile(path).payload;
    for (size_t i = other.size() / 2; i < other.size(); i += 2) {
        if ((other[i + 1] >> 4) == 0x4) {
            other[i] ^= 0x01;  // a vector word's first event, there or not
        }
    }
    const auto before = fs::last_write_time(side);
    test::writeRawFile(path, test::recordingHeader(), other);
    fs::last_write_time(path, before - std::chrono::hours(1));
    const Events second = test::decodeEvents(other);
    ASSERT_NE(first.size(), second.size());
    {
        auto reader = load(path);
        uint64_t max = 0;
        reader->getMaxEvents(max);
        EXPECT_EQ(max, second.size());
        expectEventsAt(second, 0, *reader->getNEvents(second.size()), "replaced recording");
    }

    // A link at the side file's path is neither followed nor replaced; nor is a
    // file that is no side file.
    const std::string victim = dir.file("victim.txt");
    std::ofstream(victim) << "keep";
    fs::remove(side);
    fs::create_symlink(victim, side);
    load(path);
    EXPECT_TRUE(fs::is_symlink(side));
    EXPECT_EQ(test::fileBytes(victim), std::vector<uint8_t>({'k', 'e', 'e', 'p'}));
    EXPECT_TRUE(mentioned(LOG_WARNING, "Not writing the bookmark file " + side));
    fs::remove(side);
    std::ofstream(side) << "keep";
    load(path);
    EXPECT_EQ(test::fileBytes(side), std::vector<uint8_t>({'k', 'e', 'e', 'p'}));
    fs::remove(side);
    load(path);
    EXPECT_EQ(BookmarkFile::check(test::fileBytes(side), fs::file_size(path), 354, 1280, 720,
                                  contentOf(path)),
              BookmarkFile::Verdict::Valid);
}

TEST_F(RawFileReaderTest, FileWithoutHeaderLoadsAsBareEvt3WithAWarningNamingIt) {
    const std::string path = dir.file("bare.raw");
    const std::vector<uint8_t> payload = test::encode(test::randomStream(4, 3000, 0));
    test::writeRawFile(path, "", payload);
    auto reader = load(path);
    uint64_t max = 0;
    reader->getMaxEvents(max);
    EXPECT_EQ(max, test::decodeEvents(payload).size());
    EXPECT_EQ(reader->getWidth(), 1280);
    EXPECT_TRUE(logged(LOG_WARNING, "Raw file " + path +
                                        " has no header ('%' lines); it is read as EVT 3.0 at "
                                        "1280x720."));
    const std::string headed = dir.file("headed.raw");
    record(headed, 4, 3000, 0);
    log.clear();
    load(headed);
    EXPECT_FALSE(mentioned(LOG_WARNING, "has no header"));
}

// Over 2^32 events: about 720 MB of dense vector words, written and removed here.
TEST_F(RawFileReaderTest, CountsBeyond32BitsAreExactAndNeverKeptInASideFile) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a 720 MB recording: too slow under the sanitizers";
#endif
    // One block per 4096 us: time-high, time-low, row, then runs of 100 full
    // vector words (1200 events, x 0 to 1199) each after a vector-base word.
    constexpr uint64_t kRuns = 320, kPerRun = 1200, kPerBlock = kRuns * kPerRun;
    constexpr uint64_t kBlocks = (uint64_t{1} << 32) / kPerBlock + 2;
    std::vector<uint16_t> words = {0x8000, 0x6000, 0x0007};
    for (uint64_t run = 0; run < kRuns; ++run) {
        words.push_back(0x3000);
        words.insert(words.end(), kPerRun / 12, 0x4FFF);
    }
    std::vector<uint8_t> block = test::evt3Words(words);
    const std::string path = dir.file("huge.raw");
    const uint64_t size = test::recordingHeader().size() + kBlocks * block.size();
    std::error_code unknown;
    if (fs::space(dir.path(), unknown).available < size + (uint64_t{1} << 30)) {
        GTEST_SKIP() << "needs " << (size >> 20) << " MB free in " << dir.path();
    }
    {
        std::ofstream out(path, std::ios::binary);
        out << test::recordingHeader();
        for (uint64_t b = 0; b < kBlocks; ++b) {
            const uint16_t high = static_cast<uint16_t>(0x8000 | ((b + 1) & 0xFFF));
            block[0] = static_cast<uint8_t>(high);
            block[1] = static_cast<uint8_t>(high >> 8);
            out.write(reinterpret_cast<const char*>(block.data()),
                      static_cast<std::streamsize>(block.size()));
        }
        ASSERT_TRUE(out.good()) << "cannot write " << path;
    }
    const uint64_t total = kBlocks * kPerBlock;
    ASSERT_GT(total, uint64_t{1} << 32);
    for (int opening = 0; opening < 2; ++opening) {
        auto reader = load(path);
        uint64_t max = 0;
        reader->getMaxEvents(max);
        EXPECT_EQ(max, total);
        for (uint64_t k : {(uint64_t{1} << 32) + 5, total - 1, uint64_t{12345}}) {
            ASSERT_TRUE(reader->seekNEvents(k)) << k;
            EXPECT_EQ(reader->getCurrentPosEventNum(), k);
            const Events one = *reader->getNEvents(1);
            ASSERT_EQ(one.size(), 1u) << k;
            EXPECT_EQ(one[0].x, k % kPerBlock % kPerRun) << k;
            EXPECT_EQ(one[0].timestamp, (k / kPerBlock + 1) * 4096) << k;
        }
        const uint64_t late = kBlocks - 3;
        ASSERT_TRUE(reader->seekTime((late + 1) * 4096));
        EXPECT_EQ(reader->getCurrentPosEventNum(), late * kPerBlock);
        EXPECT_FALSE(fs::exists(dir.file("huge.ovmark.tmp")));
        EXPECT_TRUE(mentioned(LOG_WARNING, "more than a bookmark file can count"));
        log.clear();
    }
    fs::remove(path);
}

TEST_F(RawFileReaderTest, ReaderWithoutALoadedFileAnswersEmptyWithAWarning) {
    const std::string path = dir.file("rec.raw");
    test::writeRawFile(path, "% format EVT2\n% end\n", {1, 2, 3, 4});
    RawFileReader never(path);
    RawFileReader failed(path);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(failed.loadFile());
    testing::internal::GetCapturedStderr();
    for (RawFileReader* reader : {&never, &failed}) {
        log.clear();
        EXPECT_FALSE(reader->seekTime(0));
        EXPECT_FALSE(reader->seekNEvents(0));
        EXPECT_TRUE(reader->getNEvents(10)->empty());
        EXPECT_TRUE(reader->getNTimeEvents(10)->empty());
        EXPECT_TRUE(reader->getNTimeEventsGivenStartTimeStamp(0, 10)->empty());
        EXPECT_TRUE(logged(LOG_WARNING, "getNEvents: no raw file loaded; call loadFile() first."));
    }
    EXPECT_FALSE(fs::exists(dir.file("rec.ovmark.tmp")));
}

}  // namespace
}  // namespace orvane
