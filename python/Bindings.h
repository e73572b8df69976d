// The module's parts, one function per area, called by module.cpp.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "LogErrors.h"

namespace orvane {
class FusionCamera;
}

namespace orvane::python {

namespace py = pybind11;

void bindReaders(py::module_& m);
void bindDecode(py::module_& m);
void bindMp4Reader(py::module_& m);
void bindCameras(py::module_& m);
void bindSim(py::module_& sim);
void bindFusion(py::module_& m);
void bindHdf5(py::module_& m);

// Runs a camera call that answers 0 or -1 without the GIL. With `checkedAs`,
// a failure raises RuntimeError "<checkedAs> failed: <what the library logged>".
template <class F>
int callWithoutGil(F&& call, const char* checkedAs = nullptr) {
    LogErrors errors;
    int result;
    {
        py::gil_scoped_release nogil;
        result = call();
    }
    if (result != 0 && checkedAs != nullptr) {
        const std::string why = errors.message("");
        throw std::runtime_error(std::string(checkedAs) + " failed" +
                                 (why.empty() ? "" : ": " + why));
    }
    return result;
}

// An opened fusion camera as the Python FusionCamera.
py::object wrapFusion(std::shared_ptr<FusionCamera> camera);

}  // namespace orvane::python
