// FFmpeg's own log, sent through orvane's logger, so that writing or reading a
// video prints nothing unless something is wrong.
#include "tools/FFmpegLog.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "orvane/base/Logger.h"

namespace orvane {

namespace {

// 0: not logged at all.
int ourLevel(int ffmpegLevel) {
    if (ffmpegLevel <= AV_LOG_ERROR) {
        return LOG_ERROR;
    }
    if (ffmpegLevel <= AV_LOG_WARNING) {
        return LOG_WARNING;
    }
    return ffmpegLevel <= AV_LOG_INFO ? LOG_DEBUG : 0;
}

// FFmpeg may write a line in pieces; a line goes out once it is whole.
void forward(void* object, int ffmpegLevel, const char* format, va_list args) {
    const int level = ourLevel(ffmpegLevel);
    if (level == 0 || level < Logger::Instance().level()) {
        return;
    }
    thread_local std::string pending;
    char piece[1024];
    std::vsnprintf(piece, sizeof piece, format, args);
    pending += piece;
    if (pending.empty() || pending.back() != '\n') {
        return;
    }
    pending.pop_back();
    // The source is FFmpeg's component ("ffmpeg/libx264"), without its address.
    std::string source = "ffmpeg";
    const AVClass* component = object != nullptr ? *static_cast<AVClass**>(object) : nullptr;
    if (component != nullptr && component->item_name != nullptr) {
        source += std::string("/") + component->item_name(object);
    }
    Logger::Instance().log_(static_cast<LogLevelType>(level), source.c_str(), 0, "%s",
                            pending.c_str());
    pending.clear();
}

}  // namespace

void routeFFmpegLog() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_callback(forward); });
}

}  // namespace orvane
