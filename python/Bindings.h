// The module's parts, one function per area, called by module.cpp.
#pragma once

#include <pybind11/pybind11.h>

namespace orvane::python {

namespace py = pybind11;

void bindReaders(py::module_& m);
void bindCameras(py::module_& m);
void bindSim(py::module_& sim);

}  // namespace orvane::python
