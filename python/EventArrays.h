// Library vectors as numpy arrays without a copy: the array takes the vector
// over and frees it when numpy lets go of its last view.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <memory>
#include <vector>

#include "EventBuffer.h"
#include "EventStorage.h"

#include "orvane/Event2D.h"
#include "orvane/EventTriggerIn.h"

namespace orvane::python {

namespace py = pybind11;

// [('x','<u2'),('y','<u2'),('p','u1'),('t','<u8')] at offsets 0, 2, 4, 8,
// itemsize 16: Event2D as it lies in memory.
py::dtype eventDtype();
// [('polarity','<i2'),('t','<u8'),('id','<i2')] at offsets 0, 8, 16, itemsize
// 24: EventTriggerIn.
py::dtype triggerDtype();

// One-dimensional arrays over the vector's own storage.
py::array eventArray(std::vector<Event2D>&& events);
py::array eventArray(std::unique_ptr<EventBuffer> events);
py::array eventArray(std::unique_ptr<EventStorage::Loan> events);
py::array triggerArray(std::vector<EventTriggerIn>&& triggers);

void bindEventArrays(py::module_& m);

}  // namespace orvane::python
