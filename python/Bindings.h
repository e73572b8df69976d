// The module's parts, one function per area, called by module.cpp.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

namespace orvane {
class FusionCamera;
}

namespace orvane::python {

namespace py = pybind11;

void bindReaders(py::module_& m);
void bindCameras(py::module_& m);
void bindSim(py::module_& sim);
void bindFusion(py::module_& m);

// An opened fusion camera as the Python FusionCamera.
py::object wrapFusion(std::shared_ptr<FusionCamera> camera);

}  // namespace orvane::python
