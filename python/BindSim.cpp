// orvane.sim: simulated cameras on the process's simulated bus, so that
// notebooks and tests run without hardware.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdio>

#include "Bindings.h"
#include "Docs.h"
#include "Errors.h"
#include "orvane/sim/SimulatedBus.h"

namespace orvane::python {

namespace {

// The keyword arguments as an ORVANE_SIM entry, so that products, scenes and
// values are checked, and refused with the same messages, as from the environment.
std::string entry(const std::string& product, const std::string& serial, double rate,
                  const std::string& scene, uint64_t seed, const std::string& pacing,
                  bool sleepDelays, const std::string& replay) {
    requirePlainPath(replay);
    for (const std::string* text : {&serial, &scene, &pacing, &replay}) {
        if (text->find_first_of(",;") != std::string::npos) {
            throw py::value_error("sim.plug: '" + *text + "' may not contain ',' or ';'");
        }
    }
    char number[32];
    std::snprintf(number, sizeof number, "%.17g", rate);
    std::string text = product + ":" + serial + ",rate=" + number + ",scene=" + scene +
                       ",seed=" + std::to_string(seed) + ",pacing=" + pacing +
                       ",delays=" + (sleepDelays ? "sleep" : "log");
    if (!replay.empty()) {
        text += ",replay=" + replay;
    }
    return text;
}

}  // namespace

void bindSim(py::module_& sim) {
    sim.doc() = doc::kSim;
    sim.def(
        "plug",
        [](const std::string& product, const std::string& serial, double rate,
           const std::string& scene, uint64_t seed, const std::string& pacing, bool sleepDelays,
           const std::string& replay) {
            if (!(rate > 0)) {
                throw py::value_error("sim.plug: rate must be positive");
            }
            const auto configs = sim::SimulatedBus::parse(
                entry(product, serial, rate, scene, seed, pacing, sleepDelays, replay));
            for (const auto& config : configs) {
                sim::SimulatedBus::instance().plug(config);
            }
        },
        py::kw_only(), py::arg("product") = "evk4", py::arg("serial") = "S1", py::arg("rate") = 1e6,
        py::arg("scene") = "bar", py::arg("seed") = 1, py::arg("pacing") = "realtime",
        py::arg("sleep_delays") = true, py::arg("replay") = "", doc::kPlug);
    sim.def(
        "unplug",
        [](const std::string& serial) {
            py::gil_scoped_release nogil;
            return sim::SimulatedBus::instance().unplug(serial);
        },
        py::arg("serial"), doc::kUnplug);
    sim.def(
        "reset",
        [] {
            py::gil_scoped_release nogil;
            sim::SimulatedBus::instance().reset();
        },
        doc::kReset);
}

}  // namespace orvane::python
