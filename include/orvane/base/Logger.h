#pragma once

#include <functional>
#include <mutex>
#include <string>

namespace orvane {

enum LogLevelType : int {
    LOG_DEBUG = 1,    // diagnostics
    LOG_INFO = 2,     // progress and refused requests
    LOG_WARNING = 3,  // rejected queries
    LOG_ERROR = 4,
};

// The one process-wide logger. Thread-safe; log_ never throws.
//
// By default each message is one line on stderr: "[level] file:line message".
// Messages below the minimum level are dropped before they are formatted; the
// minimum comes from ORVANE_LOG_LEVEL (1..4, 5 silences all; default 2) and can
// be changed with
// setLevel. A sink replaces stderr, e.g. to capture messages in tests.
class Logger {
  public:
    using Sink = std::function<void(LogLevelType level, const char* file, int line,
                                    const std::string& message)>;

    static Logger& Instance();

    void log_(LogLevelType level, const char* file, int line, const char* format, ...) noexcept
        __attribute__((format(printf, 5, 6)));

    void setLevel(int minimumLevel) noexcept;
    int level() const noexcept;
    // An empty sink restores stderr. The sink is called with the logger's lock
    // held, one message at a time; it must not log itself.
    void setSink(Sink sink);

    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

  private:
    Logger();

    mutable std::mutex mutex_;
    Sink sink_;
    int minLevel_;
};

}  // namespace orvane

// Logs with the caller's line. Each source file defines `kLogModule`, its path
// without extension (e.g. "src/FileReader/RawFileReader").
#define ORVANE_LOG(level, ...) \
    ::orvane::Logger::Instance().log_((level), kLogModule, __LINE__, __VA_ARGS__)
