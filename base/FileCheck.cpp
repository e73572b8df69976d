// The look at an input path before a reader opens it: regular files pass, and
// nothing waits for a FIFO's writer on the way.
#include "orvane/base/FileCheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace orvane {

namespace {

const char* kindOf(mode_t mode) {
    if (S_ISFIFO(mode)) {
        return "a FIFO";
    }
    if (S_ISCHR(mode)) {
        return "a character device";
    }
    if (S_ISBLK(mode)) {
        return "a block device";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    return "not a file";
}

FileCheck failure(int error, const std::string& problem) {
    return FileCheck{error, problem};
}

FileCheck judge(const struct stat& status) {
    if (S_ISDIR(status.st_mode)) {
        return failure(EISDIR, std::strerror(EISDIR));
    }
    if (!S_ISREG(status.st_mode)) {
        return failure(0, std::string("not a regular file (") + kindOf(status.st_mode) + ")");
    }
    return {};
}

}  // namespace

FileCheck checkRegularFile(const std::string& path) {
    if (path.find('\0') != std::string::npos) {
        return failure(0, "its name holds a NUL byte");
    }
    // A socket cannot be opened at all: the look at the name tells what it is.
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        const int error = errno;
        return failure(error, std::strerror(error));
    }
    if (FileCheck named = judge(status); !named) {
        return named;
    }
    // The name may have been replaced since: what counts is what opens. Without
    // O_NONBLOCK, opening a FIFO waits for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        return failure(error, std::strerror(error));
    }
    FileCheck opened;
    if (::fstat(fd, &status) != 0) {
        opened = failure(errno, std::strerror(errno));
    } else {
        opened = judge(status);
    }
    ::close(fd);
    return opened;
}

}  // namespace orvane
