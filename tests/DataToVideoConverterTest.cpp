// DataToVideoConverter: picture conversion and H.264 files, read back with
// Mp4FileReader.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>

extern "C" {
#include <libavformat/avformat.h>
}

#include "orvane/DataToVideoConverter.h"
#include "orvane/Mp4FileReader.h"
#include "orvane/base/Logger.h"
#include "support/LogCapture.h"
#include "support/Pictures.h"
#include "support/Streams.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using test::Quadrants;

const Quadrants kQuadrants = {test::kRed, test::kGreen, test::kBlue, test::kWhite};

class DataToVideoConverterTest : public ::testing::Test {
  protected:
    void SetUp() override { test::quietFFmpegLog(); }
    bool logged(LogLevelType level, const std::string& message) const {
        return log.has(level, message);
    }
    // How long a player shows the file, in microseconds, as FFmpeg reads it.
    static int64_t playingTime(const std::string& path) {
        AVFormatContext* container = nullptr;
        if (avformat_open_input(&container, path.c_str(), nullptr, nullptr) < 0) {
            return -1;
        }
        int64_t duration = -1;
        if (avformat_find_stream_info(container, nullptr) >= 0) {
            duration = container->duration;
        }
        avformat_close_input(&container);
        return duration;
    }
    std::vector<uint64_t> timeIndex(const std::string& path) {
        Mp4FileReader reader(path);
        std::vector<uint64_t> times;
        EXPECT_TRUE(reader.loadFile()) << path;
        reader.getTimeStamps(times);
        return times;
    }

    // A converter ready to encode NV12 pictures of the given size.
    static DataToVideoConverter nv12Encoder(int width, int height) {
        DataToVideoConverter converter;
        converter.setConverterFrameSize(height, width, height, width);
        converter.setConverterFmt(AV_PIX_FMT_NV12, AV_PIX_FMT_YUV420P);
        return converter;
    }

    test::LogCapture log;
    test::ScratchDir dir;
};

TEST_F(DataToVideoConverterTest, Nv12ToRgbFillsExactlyThePictureWithItsColours) {
    // 4K as the frame sensor delivers it, and a width whose FFmpeg rows are padded.
    for (auto [width, height] : {std::pair{3840, 2160}, std::pair{328, 184}}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        DataToVideoConverter converter;
        ASSERT_EQ(converter.setConverterFrameSize(height, width, height, width), 0);
        ASSERT_EQ(converter.setConverterFmt(AV_PIX_FMT_NV12, AV_PIX_FMT_BGR24), 0);
        const std::vector<uint8_t> nv12 = test::nv12Picture(width, height, kQuadrants);
        ASSERT_EQ(nv12.size(), size_t(width) * height * 3 / 2);

        const size_t size = size_t(width) * height * 3;
        std::vector<uint8_t> bgr(size + 64, 0xAB);
        ASSERT_EQ(converter.nv12ToRGB(nv12.data(), bgr.data()), 0);
        EXPECT_LE(test::largestDistance(bgr.data(), width, height, kQuadrants), 2);
        EXPECT_TRUE(std::all_of(bgr.begin() + size, bgr.end(), [](uint8_t b) { return b == 0xAB; }))
            << "wrote past width x height x 3 bytes";

        // A copy converts on its own scaler.
        DataToVideoConverter copy(converter);
        std::fill(bgr.begin(), bgr.end(), 0xAB);
        ASSERT_EQ(copy.nv12ToRGB(nv12.data(), bgr.data()), 0);
        EXPECT_LE(test::largestDistance(bgr.data(), width, height, kQuadrants), 2);
    }
}

TEST_F(DataToVideoConverterTest, SequentialAndExplicitTimesReachTheFile) {
    const std::string path = dir.file("times.mp4");
    DataToVideoConverter converter = nv12Encoder(320, 240);
    ASSERT_EQ(converter.initVideoConverter(path), 0);
    const std::vector<uint8_t> picture = test::nv12Picture(320, 240, kQuadrants);
    EXPECT_EQ(converter.nv12ToViedo(picture.data(), -1), 0);
    EXPECT_EQ(converter.nv12ToViedo(picture.data(), -1), 0);
    EXPECT_EQ(converter.nv12ToViedo(picture.data(), -1), 0);
    EXPECT_EQ(converter.nv12ToViedo(picture.data(), 500000), 0);
    // The sequence goes on from an explicit time; a time that goes back is refused.
    EXPECT_EQ(converter.nv12ToViedo(picture.data()), 0);
    EXPECT_EQ(converter.nv12ToViedo(picture.data(), 500000), -1);
    ASSERT_EQ(converter.flushAndCloseVideo(), 0);
    EXPECT_TRUE(logged(LOG_INFO, "Video created successfully"));

    EXPECT_EQ(timeIndex(path), (std::vector<uint64_t>{0, 33333, 66666, 500000, 533333}));
    // The last picture lasts a frame period too, as every other does.
    EXPECT_NEAR(double(playingTime(path)), 566666.0, 1000.0);

    // A second file from the same converter continues the times.
    ASSERT_EQ(converter.setConverterFmt(AV_PIX_FMT_NV12, AV_PIX_FMT_YUV420P), 0);
    ASSERT_EQ(converter.initVideoConverter(dir.file("second.mp4")), 0);
    EXPECT_EQ(converter.nv12ToViedo(picture.data()), 0);
    ASSERT_EQ(converter.flushAndCloseVideo(), 0);
    // MP4 keeps a file's start offset in milliseconds.
    const std::vector<uint64_t> second = timeIndex(dir.file("second.mp4"));
    ASSERT_EQ(second.size(), 1u);
    EXPECT_NEAR(double(second[0]), 566666.0, 1000.0);
}

TEST_F(DataToVideoConverterTest, BgrPicturesKeepTheirColoursForAnyWidth) {
    for (auto [width, height] : {std::pair{1280, 720}, std::pair{328, 184}}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        const std::string path = dir.file("bgr" + std::to_string(width) + ".mp4");
        DataToVideoConverter converter;
        converter.setConverterFrameSize(height, width, height, width);
        ASSERT_EQ(converter.setConverterFmt(AV_PIX_FMT_BGR24, AV_PIX_FMT_YUV420P), 0);
        ASSERT_EQ(converter.initVideoConverter(path), 0);
        const std::vector<uint8_t> bgr = test::bgrPicture(width, height, kQuadrants);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(converter.rgbToVideo(bgr.data()), 0);
        }
        ASSERT_EQ(converter.flushAndCloseVideo(), 0);

        Mp4FileReader reader(path);
        ASSERT_TRUE(reader.loadFile());
        ApsFrame frame;
        int pictures = 0;
        while (reader.getNextFrame(frame)) {
            ++pictures;
            // A row stride taken for the width would shear the quadrants.
            EXPECT_LE(test::largestDistance(frame.data, width, height, kQuadrants, 4), 12);
        }
        EXPECT_EQ(pictures, 3);
    }
}

TEST_F(DataToVideoConverterTest, RefusesWhatItCannotDo) {
    const std::vector<uint8_t> picture = test::nv12Picture(320, 240, kQuadrants);
    DataToVideoConverter converter = nv12Encoder(320, 240);
    EXPECT_EQ(converter.nv12ToViedo(picture.data()), -1) << "no file open yet";
    EXPECT_EQ(converter.flushAndCloseVideo(), -1);

    EXPECT_EQ(converter.initVideoConverter(dir.file("video.unknownext")), -1);
    EXPECT_TRUE(logged(LOG_ERROR, "Failed to create output context."));
    EXPECT_EQ(converter.initVideoConverter(dir.file("missing/dir/video.mp4")), -1);
    EXPECT_TRUE(logged(LOG_ERROR, "Failed to write video header."));

    const std::string path = dir.file("refused.mp4");
    ASSERT_EQ(converter.initVideoConverter(path), 0);
    ASSERT_EQ(converter.nv12ToViedo(picture.data()), 0);
    EXPECT_EQ(converter.rgbToVideo(picture.data()), -1);
    EXPECT_TRUE(logged(LOG_ERROR, "Sws scale fmt is not AV_PIX_FMT_BGR24"));
    EXPECT_EQ(converter.nv12ToViedo(nullptr), -1);
    ASSERT_EQ(converter.flushAndCloseVideo(), 0);
    EXPECT_EQ(timeIndex(path).size(), 1u) << "a refused picture is not encoded";

    DataToVideoConverter bgr;
    EXPECT_EQ(bgr.setConverterFrameSize(0, 320, 240, 320), -1);
    EXPECT_EQ(bgr.nv12ToRGB(picture.data(), nullptr), -1) << "no scaler yet";
    bgr.setConverterFmt(AV_PIX_FMT_BGR24, AV_PIX_FMT_YUV420P);
    EXPECT_EQ(bgr.nv12ToViedo(picture.data()), -1);
    EXPECT_TRUE(logged(LOG_ERROR, "Sws scale fmt is not AV_PIX_FMT_NV12"));

    // Formats FFmpeg cannot convert are refused, not left to abort the process.
    EXPECT_EQ(bgr.setConverterFmt(AV_PIX_FMT_NONE, AV_PIX_FMT_YUV420P), -1);
    EXPECT_EQ(bgr.setConverterFmt(AV_PIX_FMT_BGR24, AV_PIX_FMT_NONE), -1);
    EXPECT_EQ(bgr.setConverterFmt(static_cast<AVPixelFormat>(100000), AV_PIX_FMT_YUV420P), -1);
    EXPECT_EQ(bgr.initVideoConverter(dir.file("never.mp4")), -1);

    // Sizes the encoder cannot take in 4:2:0 are refused before it is opened
    // (x264 leaks when its own setup fails); the smallest even ones encode.
    for (const auto& [width, height] : {std::pair{1, 1}, std::pair{3, 5}, std::pair{320, 241}}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        DataToVideoConverter odd;
        ASSERT_EQ(odd.setConverterFrameSize(height, width, height, width), 0);
        ASSERT_EQ(odd.setConverterFmt(AV_PIX_FMT_BGR24, AV_PIX_FMT_YUV420P), 0);
        log.clear();
        EXPECT_EQ(odd.initVideoConverter(dir.file("odd.mp4")), -1);
        EXPECT_TRUE(logged(LOG_ERROR, "Cannot encode pictures of " + std::to_string(width) + "x" +
                                          std::to_string(height) +
                                          " in format yuv420p: H.264 needs a width that is a "
                                          "multiple of 2 and a height that is a multiple of 2."));
    }
    for (const auto& [width, height] : {std::pair{2, 2}, std::pair{4, 6}}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        DataToVideoConverter small;
        ASSERT_EQ(small.setConverterFrameSize(height, width, height, width), 0);
        ASSERT_EQ(small.setConverterFmt(AV_PIX_FMT_BGR24, AV_PIX_FMT_YUV420P), 0);
        ASSERT_EQ(small.initVideoConverter(dir.file("small.mp4")), 0);
        const std::vector<uint8_t> grey(size_t(width) * height * 3, 200);
        EXPECT_EQ(small.rgbToVideo(grey.data()), 0);
        EXPECT_EQ(small.flushAndCloseVideo(), 0);
        EXPECT_EQ(timeIndex(dir.file("small.mp4")).size(), 1u);
    }

    // A time from which the sequence cannot go on is refused, whether given or
    // reached; the times before it still make a finished file.
    DataToVideoConverter late = nv12Encoder(320, 240);
    ASSERT_EQ(late.initVideoConverter(dir.file("late.mp4")), 0);
    EXPECT_EQ(late.nv12ToViedo(picture.data(), INT64_MAX - 100), -1);
    ASSERT_EQ(late.nv12ToViedo(picture.data(), INT64_MAX - 40000), 0);
    EXPECT_EQ(late.nv12ToViedo(picture.data()), -1);
    EXPECT_TRUE(logged(LOG_ERROR, "Presentation time " + std::to_string(INT64_MAX - 40000 + 33333) +
                                      " us is too large."));
    late.flushAndCloseVideo();

    // A disk that takes nothing: the close reports the unfinished file.
    if (fs::exists("/dev/full")) {
        const std::string full = dir.file("full.mp4");
        fs::create_symlink("/dev/full", full);
        DataToVideoConverter toFull = nv12Encoder(320, 240);
        if (toFull.initVideoConverter(full) == 0) {
            for (int i = 0; i < 5; ++i) {
                toFull.nv12ToViedo(picture.data());
            }
            EXPECT_EQ(toFull.flushAndCloseVideo(), -1);
        }
    }
}

TEST_F(DataToVideoConverterTest, FileClosedRightAfterOpeningIsFinished) {
    const std::string path = dir.file("empty.mp4");
    DataToVideoConverter converter = nv12Encoder(640, 480);
    ASSERT_EQ(converter.initVideoConverter(path), 0);
    ASSERT_EQ(converter.flushAndCloseVideo(), 0);
    EXPECT_TRUE(logged(LOG_INFO, "Video created successfully"));
    // The trailer is the index box ("moov") at the end; without it no player
    // can open the file.
    std::ifstream file(path, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(file), {}};
    EXPECT_NE(bytes.find("moov"), std::string::npos);
}

TEST_F(DataToVideoConverterTest, CopiesNeverShareTheOpenFile) {
    const std::string path = dir.file("original.mp4");
    const std::vector<uint8_t> picture = test::nv12Picture(320, 240, kQuadrants);
    DataToVideoConverter original = nv12Encoder(320, 240);
    ASSERT_EQ(original.initVideoConverter(path), 0);
    ASSERT_EQ(original.nv12ToViedo(picture.data()), 0);
    {
        DataToVideoConverter copy(original);
        DataToVideoConverter assigned = nv12Encoder(320, 240);
        ASSERT_EQ(assigned.initVideoConverter(dir.file("dropped.mp4")), 0);
        assigned = original;  // drops its own file unfinished
        EXPECT_EQ(copy.nv12ToViedo(picture.data()), -1);
        EXPECT_EQ(assigned.nv12ToViedo(picture.data()), -1);
        EXPECT_EQ(copy.flushAndCloseVideo(), -1);
    }
    DataToVideoConverter moved(std::move(original));
    ASSERT_EQ(moved.nv12ToViedo(picture.data()), 0);
    ASSERT_EQ(moved.flushAndCloseVideo(), 0);
    EXPECT_EQ(timeIndex(path), (std::vector<uint64_t>{0, 33333}));

    // Destroyed while open: released without a trailer (the sanitizer build
    // checks that nothing leaks), and the unfinished file does not load.
    {
        DataToVideoConverter abandoned = nv12Encoder(320, 240);
        ASSERT_EQ(abandoned.initVideoConverter(dir.file("abandoned.mp4")), 0);
        ASSERT_EQ(abandoned.nv12ToViedo(picture.data()), 0);
    }
    EXPECT_FALSE(Mp4FileReader(dir.file("abandoned.mp4")).loadFile());
}

}  // namespace
}  // namespace orvane
