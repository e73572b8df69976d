// The library reports most failures by a result and a log line; Python wants
// an exception that says why. These collect the lines the library logs on the
// calling thread during a call, to become the exception's message.
#pragma once

#include <string>
#include <vector>

namespace orvane::python {

// Routes the library's log through the module: lines at or above the shown
// level go to stderr as before, and warnings and errors also reach the
// collector active on the logging thread. Call once, at import.
void installLogSink();
// The minimum level shown on stderr (1 debug .. 4 error, 5 nothing).
void setShownLogLevel(int level);
int shownLogLevel();

// Collects the warnings and errors logged on this thread while it lives.
// Nests: an inner collector hides its lines from the outer one.
class LogErrors {
  public:
    LogErrors();
    ~LogErrors();
    LogErrors(const LogErrors&) = delete;
    LogErrors& operator=(const LogErrors&) = delete;

    // The last error line, else the last warning, else `fallback`.
    std::string message(const std::string& fallback) const;
    void add(int level, const std::string& line);

  private:
    LogErrors* outer_;
    std::string lastError_, lastWarning_;
};

}  // namespace orvane::python
