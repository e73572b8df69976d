// Outputs checked against the inputs, written under temporary names.

#include "OutputFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "Output.h"

namespace orvane::cli {

namespace {

// stat() follows symlinks, so two spellings of one file meet here.
bool sameFile(const std::string& a, const std::string& b) {
    struct stat first {
    }, second{};
    return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

std::string temporaryName(const std::string& output, int attempt) {
    const std::filesystem::path path(output);
    // The output's own name stays at the end, so that its extension (which
    // chooses the video container, for one) is the temporary file's too.
    const std::string name = ".orvane-" + std::to_string(getpid()) + "-" + std::to_string(attempt) +
                             "-" + path.filename().string();
    return (path.parent_path() / name).string();
}

bool createExclusive(const std::string& path, int& error) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = errno;
        return false;
    }
    close(fd);
    return true;
}

}  // namespace

OutputFiles::OutputFiles(std::vector<std::string> outputs, const std::vector<std::string>& inputs,
                         bool force)
    : outputs_(std::move(outputs)), force_(force) {
    for (const std::string& output : outputs_) {
        for (const std::string& input : inputs) {
            if (sameFile(output, input)) {
                throw UsageError(output + ": is the input " + input +
                                 "; write the output to another file");
            }
        }
        refuseExisting(output, force);
    }
    // A temporary name left by an earlier run that was killed is never
    // reused: the next attempt takes another stem.
    for (int attempt = 0; temporaries_.empty(); ++attempt) {
        std::vector<std::string> made;
        int error = 0;
        for (const std::string& output : outputs_) {
            const std::string name = temporaryName(output, attempt);
            if (!createExclusive(name, error)) {
                break;
            }
            made.push_back(name);
        }
        if (made.size() == outputs_.size()) {
            temporaries_ = std::move(made);
            break;
        }
        for (const std::string& name : made) {
            std::remove(name.c_str());
        }
        if (error != EEXIST || attempt == 100) {
            throw Failure(outputs_[made.size()] + ": cannot be written (" + std::strerror(error) +
                          ")");
        }
    }
    pending_.assign(outputs_.size(), true);
}

OutputFiles::~OutputFiles() {
    for (size_t n = 0; n < temporaries_.size(); ++n) {
        if (pending_[n]) {
            std::remove(temporaries_[n].c_str());
        }
    }
}

void OutputFiles::commit() {
    for (size_t n = 0; n < outputs_.size(); ++n) {
        if (!pending_[n]) {
            continue;
        }
        // Without --force an output that appeared meanwhile is not replaced.
        int result = renameat2(AT_FDCWD, temporaries_[n].c_str(), AT_FDCWD, outputs_[n].c_str(),
                               force_ ? 0 : RENAME_NOREPLACE);
        if (result != 0 && errno == EINVAL && !force_) {
            // A file system without the flag: check, then rename.
            refuseExisting(outputs_[n], force_);
            result = std::rename(temporaries_[n].c_str(), outputs_[n].c_str());
        }
        if (result != 0 && errno == EEXIST) {
            refuseExisting(outputs_[n], force_);
        }
        if (result != 0 && errno == ENOENT && access(temporaries_[n].c_str(), F_OK) != 0) {
            pending_[n] = false;  // the library removed what it could not make whole
            continue;
        }
        if (result != 0) {
            throw Failure(outputs_[n] + ": cannot be written (" + std::strerror(errno) + ")");
        }
        pending_[n] = false;
    }
}

std::string OutputFiles::named(std::string text) const {
    for (size_t n = 0; n < outputs_.size(); ++n) {
        for (size_t at = text.find(temporaries_[n]); at != std::string::npos;
             at = text.find(temporaries_[n], at + outputs_[n].size())) {
            text.replace(at, temporaries_[n].size(), outputs_[n]);
        }
    }
    return text;
}

}  // namespace orvane::cli
