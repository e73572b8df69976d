// The compiled part of the Python package `orvane`; orvane/__init__.py
// re-exports it with the docstrings.

#include <pybind11/pybind11.h>

#include "Bindings.h"
#include "Docs.h"
#include "Errors.h"
#include "EventArrays.h"
#include "LogErrors.h"

namespace py = pybind11;
using namespace orvane::python;

PYBIND11_MODULE(_orvane, m) {
    py::module_::import("numpy");
    installLogSink();
    bindErrors(m);
    bindEventArrays(m);
    bindReaders(m);
    bindDecode(m);
    bindMp4Reader(m);
    bindCameras(m);
    bindFusion(m);
    bindHdf5(m);
    py::module_ sim = m.def_submodule("sim");
    bindSim(sim);
    m.doc() = "The compiled part of orvane; use the package `orvane`.";
    m.def("set_log_level", &setShownLogLevel, py::arg("level"), doc::kSetLogLevel);
    m.def("log_level", &shownLogLevel, doc::kLogLevel);
}
