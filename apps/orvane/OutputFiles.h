#pragma once

// The files a command writes. A command never destroys its input and only ever
// removes what it created itself in this run: each output is written under a
// temporary name in its own directory and takes its name only when the work
// is done.

#include <string>
#include <vector>

namespace orvane::cli {

class OutputFiles {
  public:
    // Checks every output before anything is opened for writing: one that is
    // the same file as an input (same device and inode, however the path is
    // spelt: ./x, absolute, .., symlinks, hard links) is a UsageError, with or
    // without `force`; one that exists is a Failure unless `force`. Then
    // creates the temporary files, which share one name stem, so that names
    // derived from one of them (the fusion camera's video beside its events)
    // are the others'.
    OutputFiles(std::vector<std::string> outputs, const std::vector<std::string>& inputs,
                bool force);
    // Removes the temporary files not committed.
    ~OutputFiles();
    OutputFiles(const OutputFiles&) = delete;
    OutputFiles& operator=(const OutputFiles&) = delete;

    // Where output `n` is written until commit().
    const std::string& temporary(size_t n = 0) const { return temporaries_.at(n); }
    const std::string& path(size_t n = 0) const { return outputs_.at(n); }

    // `text` with each temporary name replaced by its output's: the library's
    // messages name the file it was given.
    std::string named(std::string text) const;

    // Gives each output whose temporary file exists its name (replacing an
    // existing file only with `force`); throws Failure when one cannot be.
    void commit();

  private:
    std::vector<std::string> outputs_, temporaries_;
    std::vector<bool> pending_;
    bool force_;
};

}  // namespace orvane::cli
