#pragma once

#include <string>

namespace orvane {

// What stands at a path that is to be read as a recording or a video, found
// out without blocking: a FIFO would make the reader wait for a writer forever,
// a device or a socket gives no file to seek in, so only regular files pass.
struct FileCheck {
    // errno when the path cannot be opened as a file (ENOENT, EACCES, EISDIR...),
    // 0 when it opens but is no regular file.
    int error = 0;
    // Empty when the path is a regular file this process can open; otherwise
    // the system's text for `error`, or what the path is ("not a regular file
    // (a FIFO)").
    std::string problem;
    explicit operator bool() const { return problem.empty(); }
};

// Opens `path` for reading without waiting for a writer, and looks at what was
// opened; nothing stays open. A name holding a NUL byte is refused (a C library
// call would read a shorter name).
FileCheck checkRegularFile(const std::string& path);

}  // namespace orvane
