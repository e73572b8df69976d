// The module's log sink: stderr as the library prints it, plus the per-thread
// collectors behind the exception messages.

#include "LogErrors.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "orvane/base/Logger.h"

namespace orvane::python {

namespace {

thread_local LogErrors* current = nullptr;
std::atomic<int> shownLevel{LOG_WARNING};

const char* levelName(int level) {
    static const char* const names[] = {"log", "debug", "info", "warning", "error"};
    return names[level >= LOG_DEBUG && level <= LOG_ERROR ? level : 0];
}

}  // namespace

void installLogSink() {
    Logger& logger = Logger::Instance();
    // A Python session shows warnings and errors unless ORVANE_LOG_LEVEL asks
    // for more: the library's information lines would drown a notebook.
    shownLevel = std::getenv("ORVANE_LOG_LEVEL") != nullptr ? logger.level() : int(LOG_WARNING);
    // Warnings and errors must reach the sink whatever is shown.
    logger.setLevel(std::min(logger.level(), int(LOG_WARNING)));
    logger.setSink([](LogLevelType level, const char* file, int line, const std::string& text) {
        if (current != nullptr) {
            current->add(level, text);
        }
        if (level >= shownLevel) {
            std::fprintf(stderr, "[%s] %s:%d %s\n", levelName(level), file, line, text.c_str());
        }
    });
}

void setShownLogLevel(int level) {
    shownLevel = level;
    Logger::Instance().setLevel(std::min(level, int(LOG_WARNING)));
}

int shownLogLevel() {
    return shownLevel;
}

LogErrors::LogErrors() : outer_(current) {
    current = this;
}

LogErrors::~LogErrors() {
    current = outer_;
}

void LogErrors::add(int level, const std::string& line) {
    if (level >= LOG_ERROR) {
        lastError_ = line;
    } else if (level == LOG_WARNING) {
        lastWarning_ = line;
    }
}

std::string LogErrors::message(const std::string& fallback) const {
    if (!lastError_.empty()) {
        return lastError_;
    }
    return lastWarning_.empty() ? fallback : lastWarning_;
}

}  // namespace orvane::python
