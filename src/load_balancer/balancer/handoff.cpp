// Slot hand-off: the waiter's boost test and waking parked requests when a
// backend frees a slot.
#include "module.h"

namespace lb {

PY_FUNCTION(waiter_is_boosted, "_Waiter.is_boosted", "self, now")(const py::Call&, const py::Args& a) {
    py::Ref boost = attr(a[0], names::boost_after_sec);
    py::Ref zero = py::new_int(0);
    py::Ref positive = py::Ref::steal(PyObject_RichCompare(boost.get(), zero.get(), Py_GT));
    if (!py::truthy(positive.get())) return positive;
    py::Ref queued_at = attr(a[0], names::queued_at);
    py::Ref age = py::Ref::steal(PyNumber_Subtract(a[1], queued_at.get()));
    return py::Ref::steal(PyObject_RichCompare(age.get(), boost.get(), Py_GE));
}

PY_FUNCTION(lb_wake_one, "LoadBalancer._wake_one", "self, server_id")(const py::Call&, const py::Args& a) {
    py::Ref waiters = attr(a[0], names::_waiters);
    py::Ref dq = py::get(waiters.get(), a[1]);
    if (dq.get() == Py_None || !py::truthy(dq.get())) return py::none();
    bool any_live = false;
    py::for_each(dq.get(), [&](PyObject* w) {
        if (any_live) return;
        py::Ref fut = attr(w, names::future);
        any_live = !py::truthy(py::call_method(fut.get(), names::done).get());
    });
    if (!any_live) {
        py::discard_key(waiters.get(), a[1]);
        return py::none();
    }
    return py::none();
}

}  // namespace lb
