// A camera's tools as Python objects, for event and fusion cameras alike.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "orvane/CameraFacade.h"

namespace orvane::python {

namespace py = pybind11;

// The tool of that name (biases, trigger_in, ...): ValueError for an unknown
// name, RuntimeError "Tool not found" when the camera lacks it.
py::object toolOf(CameraFacade& camera, const std::string& name);
// The names of the camera's tools, in type order.
std::vector<std::string> toolNames(CameraFacade& camera);
void bindTool(py::module_& m);

}  // namespace orvane::python
