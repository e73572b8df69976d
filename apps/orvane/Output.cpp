// Errors, the library's log, refused outputs and Ctrl-C.

#include "Output.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <mutex>

#include "orvane/base/FileCheck.h"
#include "orvane/base/Logger.h"

namespace orvane::cli {

namespace {

std::mutex logMutex;
std::vector<LibraryLog::Line> logged;  // bounded: only the last few matter
constexpr size_t kKeptLines = 16;

}  // namespace

void LibraryLog::capture() {
    if (std::getenv("ORVANE_LOG_LEVEL") != nullptr) {
        return;
    }
    Logger::Instance().setSink(
        [](LogLevelType level, const char*, int, const std::string& message) {
            if (level >= LOG_WARNING) {
                std::lock_guard<std::mutex> lock(logMutex);
                if (logged.size() == kKeptLines) {
                    logged.erase(logged.begin());
                }
                logged.push_back({level, message});
            }
        });
}

std::string LibraryLog::takeLast() {
    std::vector<Line> all = takeAll();
    return all.empty() ? std::string() : all.back().message;
}

std::vector<LibraryLog::Line> LibraryLog::takeAll() {
    std::lock_guard<std::mutex> lock(logMutex);
    std::vector<Line> all;
    all.swap(logged);
    return all;
}

Failure failed(const std::string& what) {
    // An error is the reason; warnings logged after it are side notes.
    std::string lastError, lastWarning;
    for (const LibraryLog::Line& line : LibraryLog::takeAll()) {
        (line.level >= LOG_ERROR ? lastError : lastWarning) = line.message;
    }
    const std::string& reason = lastError.empty() ? lastWarning : lastError;
    return Failure(reason.empty() ? what : what + ": " + reason);
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

void requireExtension(const std::string& path, const char* extension) {
    if (!endsWith(path, extension)) {
        throw UsageError(path + ": the output's name must end in " + extension);
    }
}

uint64_t fileSize(const std::string& path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    return error ? 0 : size;
}

void refuseExisting(const std::string& path, bool force) {
    std::error_code error;
    if (!force && std::filesystem::exists(path, error)) {
        throw Failure(path + ": exists already (use --force to overwrite it)");
    }
}

void requireReadable(const std::string& path) {
    const FileCheck file = checkRegularFile(path);
    if (file) {
        return;
    }
    switch (file.error) {
        case ENOENT:
            throw Failure(path + ": no such file");
        case EISDIR:
            throw Failure(path + ": is a directory, not a file");
        case 0:
            throw Failure(path + ": " + file.problem);
        default:
            throw Failure(path + ": cannot be read (" + file.problem + ")");
    }
}

bool stderrIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

void printJson(const Json& document) {
    // Header text and file names are bytes from outside: what is not UTF-8
    // shows as U+FFFD rather than ending the program.
    std::cout << document.dump(2, ' ', false, Json::error_handler_t::replace) << std::endl;
}

std::string plainText(const Json& value) {
    if (value.is_null()) {
        return "-";
    }
    return value.is_string() ? value.get<std::string>() : value.dump();
}

namespace {

// The handler may only write to a pipe; the waiting side polls it.
int signalPipe[2] = {-1, -1};
std::atomic<bool> signalled{false};
std::atomic<int> firstSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler stores it");
struct sigaction previousInt, previousTerm;

void onSignal(int number) {
    int none = 0;
    firstSignal.compare_exchange_strong(none, number);
    signalled = true;
    const char byte = 1;
    ssize_t ignored = write(signalPipe[1], &byte, 1);
    (void)ignored;
}

}  // namespace

StopSignal::StopSignal() {
    signalled = false;
    firstSignal = 0;
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw Failure("cannot set up Ctrl-C handling");
    }
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previousInt);
    sigaction(SIGTERM, &action, &previousTerm);
}

StopSignal::~StopSignal() {
    if (signalled) {
        // The program is finishing its files on the way out: a second Ctrl-C
        // (or `timeout`, which signals the whole group) must not cut that short.
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGINT, &ignore, nullptr);
        sigaction(SIGTERM, &ignore, nullptr);
    } else {
        sigaction(SIGINT, &previousInt, nullptr);
        sigaction(SIGTERM, &previousTerm, nullptr);
    }
    close(signalPipe[0]);
    close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
}

bool StopSignal::wait(int milliseconds) {
    if (!signalled && milliseconds > 0) {
        pollfd fd{signalPipe[0], POLLIN, 0};
        poll(&fd, 1, milliseconds);
    }
    return signalled;
}

bool StopSignal::received() const {
    return signalled;
}

std::string StopSignal::name() const {
    switch (firstSignal.load()) {
        case 0:
            return {};
        case SIGINT:
            return "Ctrl-C";
        case SIGTERM:
            return "SIGTERM";
        default:
            return "signal " + std::to_string(firstSignal.load());
    }
}

std::string joinNames(const std::vector<std::string>& names) {
    return names.size() == 1 ? names[0] : names[0] + " and " + names[1];
}

uint64_t totalBytes(const std::vector<std::string>& paths) {
    uint64_t total = 0;
    for (const std::string& path : paths) {
        total += fileSize(path);
    }
    return total;
}

}  // namespace orvane::cli
