#pragma once

// Runs the orvane program as a user would, and keeps what it said.

#include <chrono>
#include <csignal>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace orvane::test {

struct CliRun {
    int status = -1;  // exit status; -1 when it did not exit by itself in time
    std::string out, err;
    // The lines of stderr, without their line feeds.
    std::vector<std::string> errLines() const;
};

// Runs `orvane args...` in `directory` with `environment` added to this
// process's (ORVANE_LOG_LEVEL removed, so that the program speaks for itself).
// A run that outlasts `timeout` is killed and reported with status -1. With
// `interruptOn`, the program gets `interruptSignal` (SIGINT: Ctrl-C) once its
// stderr shows that text.
// With `fileSizeLimit`, no file the program writes may grow beyond that many
// bytes: writes past it fail as on a full disk.
CliRun runOrvane(const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& environment = {},
                 const std::string& directory = ".",
                 std::chrono::seconds timeout = std::chrono::seconds(120),
                 const std::string& interruptOn = "", uint64_t fileSizeLimit = 0,
                 int interruptSignal = SIGINT);

// Everything a run said, for failure messages.
std::string describe(const CliRun& run);

// A file's bytes; empty when it cannot be read.
std::string readText(const std::string& path);
// The files a command left in `directory` (and below) under a temporary name.
std::vector<std::string> leftovers(const std::string& directory);

}  // namespace orvane::test
