// Missing and unreadable files as the OSError subclasses Python programs catch,
// and the paths no file can have as ValueError.

#include "Errors.h"

#include <cstring>

#include "orvane/base/FileCheck.h"

namespace orvane::python {

namespace py = pybind11;

OsError::OsError(int error_, const std::string& path_)
    : std::runtime_error(std::string(std::strerror(error_)) + ": '" + path_ + "'"),
      error(error_),
      path(path_) {}

void requirePlainPath(const std::string& path) {
    // As Python's own open() says it; the C library would read a shorter name.
    // No Python call here: the readers also check with the GIL released.
    if (path.find('\0') != std::string::npos) {
        std::string shown;
        for (const char c : path) {
            shown += c == '\0' ? std::string("\\0") : std::string(1, c);
        }
        throw py::value_error("embedded null byte in the path '" + shown + "'");
    }
}

void requireReadableFile(const std::string& path) {
    requirePlainPath(path);
    const FileCheck file = checkRegularFile(path);
    if (file) {
        return;
    }
    if (file.error != 0) {
        throw OsError(file.error, path);
    }
    throw py::value_error("'" + path + "': " + file.problem);
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
