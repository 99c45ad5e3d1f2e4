// Common header of the module's own code: the interop layer and the names
// shared between subsystems.
#pragma once

#include "py/coroutine.h"
#include "py/function.h"
#include "py/names.h"
#include "py/ops.h"
#include "py/ref.h"
#include "names.h"

namespace lb {

// time.monotonic(), with `time` read from the module namespace.
inline py::Ref monotonic(const py::Globals& g) {
    return py::call_method(g.get(names::time).get(), names::monotonic);
}

// time.time()
inline py::Ref wall_clock(const py::Globals& g) {
    return py::call_method(g.get(names::time).get(), names::time_fn);
}

// logger.<level>(fmt, *args) through the module's current `logger`.
template <class... A>
inline void log(const py::Globals& g, py::Name& level, const char* fmt, A... args) {
    py::Ref msg = py::Ref::steal(PyUnicode_FromString(fmt));
    py::call_method(g.get(names::logger).get(), level, msg.get(), static_cast<PyObject*>(args)...);
}

// self.attr, read at the moment of use.
inline py::Ref attr(PyObject* self, py::Name& name) { return py::getattr(self, name); }

}  // namespace lb
