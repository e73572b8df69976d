// C++ exceptions of the binding that become Python's OSError subclasses
// (FileNotFoundError, IsADirectoryError, PermissionError) through errno.
#pragma once

#include <pybind11/pybind11.h>

#include <stdexcept>
#include <string>

namespace orvane::python {

class OsError : public std::runtime_error {
  public:
    OsError(int error, const std::string& path);
    int error;
    std::string path;
};

// Throws ValueError when `path` holds a NUL byte, which would end the name early.
void requirePlainPath(const std::string& path);
// Throws OsError when `path` cannot be opened, and ValueError when it holds a
// NUL byte or is no regular file (a FIFO would block the reader), without waiting.
void requireReadableFile(const std::string& path);

void bindErrors(pybind11::module_& m);

}  // namespace orvane::python
