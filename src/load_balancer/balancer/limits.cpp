// Limits a caller sets on backends: how many slots of a backend this process
// may use, and until when (a time.monotonic() reading).  The capacity test
// reads them (capacity.cpp); the queue's depth keeps using the configured
// caps.  Raising a limit offers the room it gains to the requests parked on
// the backend, as a decrement would.
#include "balancer/methods.h"
#include "py/value.h"

namespace lb::LoadBalancer {
namespace {

// The slots a limit (n, valid_until) allows now: none once it has run out.
py::Value room(const Call& c, Handle limit) {
    Handle n = PyTuple_GET_ITEM(limit.get(), 0), until = PyTuple_GET_ITEM(limit.get(), 1);
    if (!until.is_none() && py::truth(py::Value(monotonic(c)) >= py::Value::of(until))) return py::new_int(0);
    return py::Value::of(n);
}

// self._wake_one(server_id), up to `times` times, but no more often than
// there are requests parked on the backend.
void wake(const Call& c, Handle self, Handle server_id, Py_ssize_t times) {
    Ref parked = py::get(attr(self, names::_waiters), server_id);
    Py_ssize_t waiting = parked.is_none() ? 0 : py::length(parked);
    for (Py_ssize_t i = 0; i < times && i < waiting; ++i) call::wake_one(c, self, server_id);
}

}  // namespace

Ref set_limit(const Call& c, Handle self, Handle server_id, Handle n, Handle valid_until) {
    // n is a whole number of slots (0 closes the backend); valid_until a
    // clock reading or None.
    Ref slots = Ref::steal(PyNumber_Index(n));
    Ref until = valid_until.or_none().is_none() ? py::none() : py::to_float(valid_until);
    Ref limit = Ref::steal(PyTuple_Pack(2, slots.get(), until.get()));
    Ref limits = attr(self, names::limits);
    Ref before = py::get(limits, server_id);
    py::setitem(limits, server_id, limit);
    if (before.is_none()) return py::none();  // a new limit only takes room away
    if (!PyTuple_Check(before.get()) || PyTuple_GET_SIZE(before.get()) != 2) return py::none();
    py::Value gained = room(c, limit) - room(c, before);
    if (!py::truth(gained > py::Value(py::new_int(0)))) return py::none();
    wake(c, self, server_id, PyNumber_AsSsize_t(gained.handle(), nullptr));
    return py::none();
}

Ref clear_limit(const Call& c, Handle self, Handle server_id) {
    Ref limits = attr(self, names::limits);
    if (!py::contains(limits, server_id)) return py::none();
    py::delitem(limits, server_id);
    wake(c, self, server_id, PY_SSIZE_T_MAX);
    return py::none();
}

}  // namespace lb::LoadBalancer
