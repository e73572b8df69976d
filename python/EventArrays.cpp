// Event and trigger vectors handed to numpy: the array's base is a capsule that
// owns the vector.

#include "EventArrays.h"

#include <cstddef>
#include <memory>

#include <pybind11/stl.h>

namespace orvane::python {

namespace {

py::dtype makeDtype(std::vector<const char*> names, std::vector<const char*> formats,
                    std::vector<size_t> offsets, size_t itemsize) {
    py::dict layout;
    layout["names"] = names;
    layout["formats"] = formats;
    layout["offsets"] = offsets;
    layout["itemsize"] = itemsize;
    return py::dtype::from_args(layout);
}

// A one-dimensional array over `data`, which `owner` holds; the array's base
// capsule takes the owner over.
template <class Owner>
py::array ownedArray(std::unique_ptr<Owner> owner, const void* data, size_t size, size_t itemsize,
                     const py::dtype& dtype) {
    py::capsule base(owner.get(),
                     [](void* held) { std::unique_ptr<Owner>(static_cast<Owner*>(held)); });
    owner.release();  // the capsule owns it now
    return py::array(dtype, {static_cast<py::ssize_t>(size)}, {static_cast<py::ssize_t>(itemsize)},
                     data, base);
}

template <class T>
py::array ownedArray(std::vector<T>&& items, const py::dtype& dtype) {
    auto owner = std::make_unique<std::vector<T>>(std::move(items));
    const T* data = owner->data();
    const size_t size = owner->size();
    return ownedArray(std::move(owner), data, size, sizeof(T), dtype);
}

}  // namespace

// The dtypes live as long as the interpreter: held by a handle that is never
// released, since a static object's destructor would run after Python is gone.
py::dtype eventDtype() {
    static_assert(sizeof(Event2D) == 16 && offsetof(Event2D, timestamp) == 8);
    static const py::handle dtype =
        makeDtype({"x", "y", "p", "t"}, {"<u2", "<u2", "u1", "<u8"},
                  {offsetof(Event2D, x), offsetof(Event2D, y), offsetof(Event2D, polarity),
                   offsetof(Event2D, timestamp)},
                  sizeof(Event2D))
            .release();
    return py::reinterpret_borrow<py::dtype>(dtype);
}

py::dtype triggerDtype() {
    static const py::handle dtype =
        makeDtype({"polarity", "t", "id"}, {"<i2", "<u8", "<i2"},
                  {offsetof(EventTriggerIn, polarity), offsetof(EventTriggerIn, timestamp),
                   offsetof(EventTriggerIn, id)},
                  sizeof(EventTriggerIn))
            .release();
    return py::reinterpret_borrow<py::dtype>(dtype);
}

py::array eventArray(std::vector<Event2D>&& events) {
    return ownedArray(std::move(events), eventDtype());
}

py::array eventArray(std::unique_ptr<EventBuffer> events) {
    events->shrinkToFit();
    const Event2D* data = events->data();
    const size_t size = events->size();
    return ownedArray(std::move(events), data, size, sizeof(Event2D), eventDtype());
}

py::array eventArray(std::unique_ptr<EventStorage::Loan> events) {
    const Event2D* data = events->events->data();
    const size_t size = events->events->size();
    return ownedArray(std::move(events), data, size, sizeof(Event2D), eventDtype());
}

py::array triggerArray(std::vector<EventTriggerIn>&& triggers) {
    return ownedArray(std::move(triggers), triggerDtype());
}

void bindEventArrays(py::module_& m) {
    m.attr("EVENT_DTYPE") = eventDtype();
    m.attr("TRIGGER_DTYPE") = triggerDtype();
}

}  // namespace orvane::python
