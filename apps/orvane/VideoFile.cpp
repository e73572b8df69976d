// Videos: opening with a named error, and picture times in microseconds.

#include "VideoFile.h"

#include <cmath>

#include "Output.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace orvane::cli {

namespace {

// Seconds per unit of the video stream's times, which the reader's index keeps.
double videoTimeBase(const std::string& path) {
    AVFormatContext* format = nullptr;
    double seconds = 1e-6;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) == 0) {
        if (avformat_find_stream_info(format, nullptr) >= 0) {
            const int stream = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
            // A damaged file may give no time base (0/0), whose quotient is no number.
            const AVRational base = stream >= 0 ? format->streams[stream]->time_base : AVRational{};
            if (base.num > 0 && base.den > 0) {
                seconds = av_q2d(base);
            }
        }
        avformat_close_input(&format);
    }
    return seconds;
}

}  // namespace

std::unique_ptr<ApsFileReader> openVideo(const std::string& path) {
    requireReadable(path);
    auto reader = ApsFileReader::createFileReader(path);
    if (!reader) {
        throw Failure(path + ": not a video (its name must end in .mp4)");
    }
    if (!reader->loadFile()) {
        throw failed(path + ": not a video FFmpeg can read");
    }
    return reader;
}

// The pictures' times in microseconds.
std::vector<uint64_t> pictureTimes(ApsFileReader& reader, const std::string& path) {
    std::vector<uint64_t> times;
    reader.getTimeStamps(times);
    const double unit = videoTimeBase(path) * 1e6;
    for (uint64_t& t : times) {
        t = static_cast<uint64_t>(std::llround(t * unit));
    }
    return times;
}

}  // namespace orvane::cli
