// Mp4FileReader: pictures of a file written by DataToVideoConverter come back
// in order and by index, with their times.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>

#include "orvane/ApsFileReader.h"
#include "orvane/DataToVideoConverter.h"
#include "orvane/Mp4FileReader.h"
#include "support/LogCapture.h"
#include "support/Pictures.h"
#include "support/Streams.h"

namespace orvane {
namespace {

constexpr int kWidth = 320, kHeight = 240;
// More than one group of pictures (FFmpeg's default: a key picture every 12).
constexpr int kPictures = 20;

// Picture i is a uniform grey of its own.
test::Colour greyOf(int i) {
    return test::grey(static_cast<uint8_t>(40 + 8 * i));
}

class Mp4FileReaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test::quietFFmpegLog();
        DataToVideoConverter converter;
        converter.setConverterFrameSize(kHeight, kWidth, kHeight, kWidth);
        converter.setConverterFmt(AV_PIX_FMT_NV12, AV_PIX_FMT_YUV420P);
        ASSERT_EQ(converter.initVideoConverter(path), 0);
        for (int i = 0; i < kPictures; ++i) {
            const test::Colour c = greyOf(i);
            ASSERT_EQ(
                converter.nv12ToViedo(test::nv12Picture(kWidth, kHeight, {c, c, c, c}).data()), 0);
        }
        ASSERT_EQ(converter.flushAndCloseVideo(), 0);
    }

    // Which picture `frame` shows, by its grey; -1 for none.
    static int pictureShown(const ApsFrame& frame) {
        const test::Bgr seen = test::pixelAt(frame.data, kWidth, kWidth / 2, kHeight / 2);
        for (int i = 0; i < kPictures; ++i) {
            if (test::distance(seen, greyOf(i).bgr) <= 3) {
                return i;
            }
        }
        return -1;
    }

    test::ScratchDir dir;
    const std::string path = dir.file("greys.mp4");
};

TEST_F(Mp4FileReaderTest, ReadsEveryPictureInOrderWithItsTime) {
    std::unique_ptr<ApsFileReader> reader = ApsFileReader::createFileReader(path);
    ASSERT_TRUE(reader);
    ASSERT_TRUE(reader->loadFile());
    EXPECT_EQ(reader->getWidth(), kWidth);
    EXPECT_EQ(reader->getHeight(), kHeight);
    std::vector<uint64_t> times;
    ASSERT_TRUE(reader->getTimeStamps(times));
    ASSERT_EQ(times.size(), size_t(kPictures));

    ApsFrame frame;
    int read = 0;
    while (reader->getNextFrame(frame)) {
        ASSERT_LT(read, kPictures);
        EXPECT_EQ(times[read], uint64_t(read) * 33333);
        EXPECT_EQ(frame.timestamp, times[read]) << "both paths give the same time";
        EXPECT_EQ(frame.dataSize, uint32_t(kWidth * kHeight * 3));
        EXPECT_EQ(pictureShown(frame), read);
        ++read;
    }
    EXPECT_EQ(read, kPictures) << "the pictures the decoder held at the end come out too";
    EXPECT_FALSE(reader->getNextFrame(frame));
}

TEST_F(Mp4FileReaderTest, GetNFrameRepositionsTheReading) {
    Mp4FileReader reader(path);
    ASSERT_TRUE(reader.loadFile());
    ApsFrame frame;
    ASSERT_TRUE(reader.getNextFrame(frame));
    ASSERT_TRUE(reader.getNextFrame(frame));

    ASSERT_TRUE(reader.getNFrame(15, frame));  // after the second key picture
    EXPECT_EQ(pictureShown(frame), 15);
    EXPECT_EQ(frame.timestamp, 499995u);
    ASSERT_TRUE(reader.getNextFrame(frame));
    EXPECT_EQ(pictureShown(frame), 16);

    ASSERT_TRUE(reader.getNFrame(3, frame));
    EXPECT_EQ(pictureShown(frame), 3);
    EXPECT_EQ(frame.timestamp, 99999u);
    ASSERT_TRUE(reader.getNFrame(kPictures - 1, frame));
    EXPECT_EQ(pictureShown(frame), kPictures - 1);
    ASSERT_TRUE(reader.getNFrame(0, frame));
    EXPECT_EQ(pictureShown(frame), 0);
    EXPECT_EQ(frame.timestamp, 0u);

    for (int outside : {kPictures, -1}) {
        try {
            reader.getNFrame(outside, frame);
            ADD_FAILURE() << outside << " was accepted";
        } catch (const std::out_of_range& e) {
            EXPECT_STREQ(e.what(), "invalid vector subscript");
        }
    }
}

// Pictures at irregular times: after getNFrame(n) reading goes on with picture
// n + 1, the last one included, on every run (the decoder's threads vary).
TEST_F(Mp4FileReaderTest, ReadingContinuesAfterGetNFrameOnEveryRun) {
    const std::string irregular = dir.file("irregular.mp4");
    const std::vector<int64_t> times = {0, 33333, 66666, 500000};
    {
        DataToVideoConverter converter;
        converter.setConverterFrameSize(kHeight, kWidth, kHeight, kWidth);
        converter.setConverterFmt(AV_PIX_FMT_NV12, AV_PIX_FMT_YUV420P);
        ASSERT_EQ(converter.initVideoConverter(irregular), 0);
        for (size_t i = 0; i < times.size(); ++i) {
            const test::Colour c = greyOf(static_cast<int>(i));
            ASSERT_EQ(converter.nv12ToViedo(test::nv12Picture(kWidth, kHeight, {c, c, c, c}).data(),
                                            times[i]),
                      0);
        }
        ASSERT_EQ(converter.flushAndCloseVideo(), 0);
    }
    for (int run = 0; run < 40; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        Mp4FileReader reader(irregular);
        ASSERT_TRUE(reader.loadFile());
        const int n = run % static_cast<int>(times.size());
        ApsFrame frame;
        ASSERT_TRUE(reader.getNFrame(n, frame));
        EXPECT_EQ(pictureShown(frame), n);
        EXPECT_EQ(frame.timestamp, uint64_t(times[size_t(n)]));
        for (size_t next = size_t(n) + 1; next < times.size(); ++next) {
            ASSERT_TRUE(reader.getNextFrame(frame)) << "picture " << next;
            EXPECT_EQ(pictureShown(frame), int(next));
            EXPECT_EQ(frame.timestamp, uint64_t(times[next]));
        }
        EXPECT_FALSE(reader.getNextFrame(frame));
    }
}

TEST(ApsFileReaderTest, FactoryFollowsTheExtension) {
    EXPECT_TRUE(ApsFileReader::createFileReader("a.mp4"));
    EXPECT_TRUE(ApsFileReader::createFileReader("dir.v2/clip.mp4"));
    EXPECT_FALSE(ApsFileReader::createFileReader("clip.MP4"));
    EXPECT_FALSE(ApsFileReader::createFileReader("clip"));
    EXPECT_FALSE(ApsFileReader::createFileReader("dir.mp4/clip"));
    EXPECT_FALSE(ApsFileReader::createFileReader("clip.mp4.raw"));
}

TEST_F(Mp4FileReaderTest, BadFilesFailAndReloadsStartAfresh) {
    ApsFrame frame;
    Mp4FileReader missing(dir.file("missing.mp4"));
    EXPECT_FALSE(missing.loadFile());
    EXPECT_FALSE(missing.getNextFrame(frame));
    // Unloaded: false, as for every read (only a loaded index raises for a bad n).
    EXPECT_FALSE(missing.getNFrame(0, frame));
    EXPECT_FALSE(Mp4FileReader(path).getNFrame(0, frame));
    EXPECT_FALSE(Mp4FileReader(path).getNextFrame(frame));
    std::ofstream(dir.file("junk.mp4")) << "not a video at all";
    EXPECT_FALSE(Mp4FileReader(dir.file("junk.mp4")).loadFile());
    // A FIFO would make FFmpeg wait for a writer; it is refused unopened.
    ASSERT_EQ(mkfifo(dir.file("fifo.mp4").c_str(), 0600), 0);
    {
        test::LogCapture log;
        EXPECT_FALSE(Mp4FileReader(dir.file("fifo.mp4")).loadFile());
        EXPECT_TRUE(log.has(LOG_ERROR, dir.file("fifo.mp4") + ": not a regular file (a FIFO)."));
    }
    // A sample entry naming another codec leaves FFmpeg's decoder without a
    // picture format: refused by name, never an abort in the scaler.
    const std::vector<uint8_t> video = test::fileBytes(path);
    const std::string avc1 = "avc1";
    // The last "avc1" is the sample entry; the first is among the file's brands.
    const auto entry = std::find_end(video.begin(), video.end(), avc1.begin(), avc1.end());
    ASSERT_NE(entry, video.end());
    for (const std::string codec : {"hvc1", "vp09", "av01", "png ", "apcn", "jpeg", "zzzz"}) {
        SCOPED_TRACE(codec);
        std::vector<uint8_t> damaged = video;
        std::copy(codec.begin(), codec.end(), damaged.begin() + (entry - video.begin()));
        std::ofstream(dir.file("damaged.mp4"), std::ios::binary)
            .write(reinterpret_cast<const char*>(damaged.data()),
                   static_cast<std::streamsize>(damaged.size()));
        test::LogCapture log;
        EXPECT_FALSE(Mp4FileReader(dir.file("damaged.mp4")).loadFile());
        EXPECT_TRUE(std::any_of(log.lines.begin(), log.lines.end(), [&](const auto& line) {
            return line.level == LOG_ERROR && line.message.rfind(dir.file("damaged.mp4"), 0) == 0;
        })) << "an error names the file";
    }

    Mp4FileReader reader(path);
    ASSERT_TRUE(reader.loadFile());
    ASSERT_TRUE(reader.getNextFrame(frame));
    ASSERT_TRUE(reader.getNextFrame(frame));
    ASSERT_TRUE(reader.loadFile());
    ASSERT_TRUE(reader.getNextFrame(frame));
    EXPECT_EQ(pictureShown(frame), 0);

    // Copies read on their own, from the start.
    Mp4FileReader copy(reader);
    Mp4FileReader assigned(dir.file("missing.mp4"));
    assigned = reader;
    ASSERT_TRUE(copy.getNextFrame(frame));
    EXPECT_EQ(pictureShown(frame), 0);
    ASSERT_TRUE(reader.getNextFrame(frame));
    EXPECT_EQ(pictureShown(frame), 1);
    ASSERT_TRUE(assigned.getNFrame(kPictures - 1, frame));
    EXPECT_EQ(pictureShown(frame), kPictures - 1);
    std::vector<uint64_t> a, b;
    copy.getTimeStamps(a);
    reader.getTimeStamps(b);
    EXPECT_EQ(a, b);
}

}  // namespace
}  // namespace orvane
