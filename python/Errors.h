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

// Throws OsError unless `path` is a regular file this process can read.
void requireReadableFile(const std::string& path);

void bindErrors(pybind11::module_& m);

}  // namespace orvane::python
