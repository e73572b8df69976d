// Missing and unreadable files as the OSError subclasses Python programs catch.

#include "Errors.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

namespace orvane::python {

namespace py = pybind11;

OsError::OsError(int error_, const std::string& path_)
    : std::runtime_error(std::string(std::strerror(error_)) + ": '" + path_ + "'"),
      error(error_),
      path(path_) {}

void requireReadableFile(const std::string& path) {
    std::error_code status;
    if (!std::filesystem::exists(path, status)) {
        throw OsError(ENOENT, path);
    }
    if (std::filesystem::is_directory(path, status)) {
        throw OsError(EISDIR, path);
    }
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) {
        throw OsError(errno, path);
    }
}

void bindErrors(py::module_&) {
    py::register_exception_translator([](std::exception_ptr thrown) {
        try {
            if (thrown) {
                std::rethrow_exception(thrown);
            }
        } catch (const OsError& e) {
            // OSError(errno, text, path) picks the subclass from errno.
            py::object error = py::reinterpret_borrow<py::object>(PyExc_OSError)(
                e.error, std::strerror(e.error), e.path);
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
        }
    });
}

}  // namespace orvane::python
