#pragma once

// Captures the library's log lines for a test, and restores the logger after.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "orvane/base/Logger.h"

namespace orvane::test {

class LogCapture {
  public:
    struct Line {
        LogLevelType level;
        std::string file;
        std::string message;
    };

    explicit LogCapture(int minimumLevel = LOG_INFO) : previousLevel_(Logger::Instance().level()) {
        Logger::Instance().setLevel(minimumLevel);
        Logger::Instance().setSink(
            [this](LogLevelType level, const char* file, int, const std::string& message) {
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    lines.push_back({level, file, message});
                }
                logged_.notify_all();
            });
    }
    ~LogCapture() {
        Logger::Instance().setSink(nullptr);
        Logger::Instance().setLevel(previousLevel_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Lines of that level and message (and source, when given).
    size_t count(LogLevelType level, const std::string& message,
                 const std::string& file = "") const {
        return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const Line& l) {
            return l.level == level && l.message == message && (file.empty() || l.file == file);
        }));
    }
    bool has(LogLevelType level, const std::string& message, const std::string& file = "") const {
        return count(level, message, file) > 0;
    }
    void clear() { lines.clear(); }
    // Waits until a line with this message is logged from another thread (the
    // capture must include its level); false when none came in `timeout`.
    bool waitFor(const std::string& message, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return logged_.wait_for(lock, timeout, [&] {
            return std::any_of(lines.begin(), lines.end(),
                               [&](const Line& l) { return l.message == message; });
        });
    }

    std::vector<Line> lines;

  private:
    int previousLevel_;
    std::mutex mutex_;  // between the logging threads and waitFor
    std::condition_variable logged_;
};

}  // namespace orvane::test
