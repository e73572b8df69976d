#pragma once

// What the program says, and how it ends: errors with their exit status, the
// library's log, outputs that must not be overwritten, and Ctrl-C.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvane::cli {

// JSON objects keep the order in which their members were added.
using Json = nlohmann::ordered_json;

// The command line itself is wrong: exit status 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// The work failed (a missing or unreadable file, a refused camera): exit status 1.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The library logs to stderr; here its lines are kept instead, so that an error
// is reported once, in one line, with the library's reason. With
// ORVANE_LOG_LEVEL set the library logs as it always does.
class LibraryLog {
  public:
    struct Line {
        int level;
        std::string message;
    };
    static void capture();
    // The last error or warning logged since the last take ("" when none).
    static std::string takeLast();
    // Every error and warning logged since the last take.
    static std::vector<Line> takeAll();
};

// A Failure that names `what` and, when the library logged one, its reason.
Failure failed(const std::string& what);

bool endsWith(const std::string& text, const std::string& tail);
// Throws UsageError unless the output `path` ends in `extension`.
void requireExtension(const std::string& path, const char* extension);
// The size of a file, 0 when it cannot be known.
uint64_t fileSize(const std::string& path);
// The size of all of them; missing ones count 0.
uint64_t totalBytes(const std::vector<std::string>& paths);
// "a" or "a and b".
std::string joinNames(const std::vector<std::string>& names);

// Throws Failure when `path` exists and `force` is not set.
void refuseExisting(const std::string& path, bool force);
// Throws Failure when `path` cannot be read.
void requireReadable(const std::string& path);

// True when stderr is a terminal (progress bars redraw one line there).
bool stderrIsTerminal();

// Prints a JSON document on stdout, indented, with a final line feed.
void printJson(const Json& document);
// A JSON value as plain text: strings without quotes, "-" for null.
std::string plainText(const Json& value);

// Ctrl-C and SIGTERM for the commands that stop cleanly on them. While an
// object lives, the signals set a flag instead of ending the program; once one
// came, later ones are ignored, so that the files are finished on the way out.
class StopSignal {
  public:
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    // Waits up to `milliseconds` for a signal; true once one came.
    bool wait(int milliseconds);
    bool received() const;
    // The first signal that came, as users know it ("Ctrl-C", "SIGTERM"); ""
    // while none came.
    std::string name() const;
};

}  // namespace orvane::cli
