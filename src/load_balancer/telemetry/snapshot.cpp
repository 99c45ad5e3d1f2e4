// Rejection counters and the diagnostic snapshot of the whole balancer.
#include "module.h"

namespace lb {

PY_FUNCTION(lb_note_reject, "LoadBalancer.note_reject", "self, reason")(const py::Call&, const py::Args& a) {
    py::call_method(a[0], names::_bump_reject, a[1]);
    return py::none();
}

PY_FUNCTION(lb_bump_reject, "LoadBalancer._bump_reject", "self, reason")(const py::Call&, const py::Args& a) {
    py::Ref counts = attr(a[0], names::reject_counts);
    py::Ref zero = py::new_int(0), one = py::new_int(1);
    py::Ref cur = py::get(counts.get(), a[1], zero.get());
    py::Ref next = py::Ref::steal(PyNumber_Add(cur.get(), one.get()));
    py::setitem(counts.get(), a[1], next.get());
    return py::none();
}

}  // namespace lb
