#include "orvane/base/Logger.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace orvane {

namespace {

constexpr int kDefaultLevel = LOG_INFO;

const char* levelName(LogLevelType level) {
    switch (level) {
        case LOG_DEBUG:
            return "debug";
        case LOG_INFO:
            return "info";
        case LOG_WARNING:
            return "warning";
        case LOG_ERROR:
            return "error";
    }
    return "log";
}

// A malformed ORVANE_LOG_LEVEL falls back to the default and says so once.
int levelFromEnvironment() {
    const char* text = std::getenv("ORVANE_LOG_LEVEL");
    if (text == nullptr || *text == '\0') {
        return kDefaultLevel;
    }
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (*end != '\0' || value < LOG_DEBUG || value > LOG_ERROR + 1) {
        std::fprintf(stderr, "[warning] orvane: ORVANE_LOG_LEVEL=\"%s\" is not 1..5; using %d\n",
                     text, kDefaultLevel);
        return kDefaultLevel;
    }
    return static_cast<int>(value);
}

}  // namespace

Logger::Logger() : minLevel_(levelFromEnvironment()) {}

Logger& Logger::Instance() {
    static Logger instance;
    return instance;
}

void Logger::setLevel(int minimumLevel) noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    minLevel_ = minimumLevel;
}

int Logger::level() const noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    return minLevel_;
}

void Logger::setSink(Sink sink) {
    std::lock_guard<std::mutex> lock(mutex_);
    sink_ = std::move(sink);
}

void Logger::log_(LogLevelType level, const char* file, int line, const char* format,
                  ...) noexcept {
    if (static_cast<int>(level) < this->level()) {
        return;
    }
    try {
        // Format outside the lock; most messages fit the stack buffer.
        char small[512];
        std::vector<char> large;
        const char* text = small;
        va_list args;
        va_start(args, format);
        va_list again;
        va_copy(again, args);
        int length = std::vsnprintf(small, sizeof small, format ? format : "", args);
        va_end(args);
        if (length < 0) {
            text = "(unformattable log message)";
        } else if (static_cast<size_t>(length) >= sizeof small) {
            large.resize(static_cast<size_t>(length) + 1);
            std::vsnprintf(large.data(), large.size(), format, again);
            text = large.data();
        }
        va_end(again);
        const char* where = file ? file : "?";

        std::lock_guard<std::mutex> lock(mutex_);
        if (sink_) {
            sink_(level, where, line, std::string(text));
        } else {
            std::fprintf(stderr, "[%s] %s:%d %s\n", levelName(level), where, line, text);
        }
    } catch (...) {
        // Logging must never take the caller down.
    }
}

}  // namespace orvane
