// FFmpeg's own log goes through orvane's logger: a video written at the default
// level logs nothing of FFmpeg's, its information lines show at LOG_DEBUG, and
// its warnings and errors keep their levels.

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/log.h>
}

#include <algorithm>

#include "orvane/DataToVideoConverter.h"
#include "support/LogCapture.h"
#include "support/Pictures.h"
#include "support/Streams.h"

namespace orvane {
namespace {

size_t fromFFmpeg(const test::LogCapture& log, LogLevelType level) {
    return static_cast<size_t>(
        std::count_if(log.lines.begin(), log.lines.end(), [&](const test::LogCapture::Line& l) {
            return l.level == level && l.file.rfind("ffmpeg", 0) == 0;
        }));
}

void writeVideo(const std::string& path) {
    DataToVideoConverter converter;
    converter.setConverterFrameSize(240, 320, 240, 320);
    converter.setConverterFmt(AV_PIX_FMT_NV12, AV_PIX_FMT_YUV420P);
    ASSERT_EQ(converter.initVideoConverter(path), 0);
    const auto picture =
        test::nv12Picture(320, 240, {test::kRed, test::kGreen, test::kBlue, test::kWhite});
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(converter.nv12ToViedo(picture.data()), 0);
    }
    ASSERT_EQ(converter.flushAndCloseVideo(), 0);
}

TEST(FFmpegLog, GoesThroughTheLoggerAtItsLevels) {
    test::ScratchDir dir;
    {
        test::LogCapture log(LOG_DEBUG);
        writeVideo(dir.file("debug.mp4"));
        // libx264's statistics are information, shown only when debugging.
        EXPECT_GT(fromFFmpeg(log, LOG_DEBUG), 0u);
        EXPECT_TRUE(std::any_of(log.lines.begin(), log.lines.end(), [](const auto& l) {
            return l.file == "ffmpeg/libx264" && l.message.find('\n') == std::string::npos;
        }));
        av_log(nullptr, AV_LOG_VERBOSE, "chatter\n");
        EXPECT_FALSE(log.has(LOG_DEBUG, "chatter", "ffmpeg"));
    }
    {
        test::LogCapture log(LOG_INFO);  // the default level
        writeVideo(dir.file("quiet.mp4"));
        av_log(nullptr, AV_LOG_WARNING, "a warning in %d ", 2);
        av_log(nullptr, AV_LOG_WARNING, "pieces\n");
        av_log(nullptr, AV_LOG_ERROR, "an error\n");
        EXPECT_EQ(fromFFmpeg(log, LOG_DEBUG), 0u);
        EXPECT_EQ(fromFFmpeg(log, LOG_WARNING), 1u);
        EXPECT_EQ(fromFFmpeg(log, LOG_ERROR), 1u);
        EXPECT_TRUE(log.has(LOG_WARNING, "a warning in 2 pieces", "ffmpeg"));
        EXPECT_TRUE(log.has(LOG_ERROR, "an error", "ffmpeg"));
    }
}

}  // namespace
}  // namespace orvane
