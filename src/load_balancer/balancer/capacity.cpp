// The capacity gate: a backend's effective concurrency cap under the active
// routing mode, the per-pool hot/cold decision of "hybrid" mode, and the
// free-slot test that selection and the hand-off ask before dispatching.
#include "module.h"

namespace lb {
namespace {

py::Name n_sum{"sum"};

// max(a, b) and min(a, b) as the builtins pick: the first argument unless
// the second compares strictly greater (smaller).
py::Ref py_max(PyObject* a, PyObject* b) { return py::Ref::borrow(py::compare(b, a, Py_GT) ? b : a); }
py::Ref py_min(PyObject* a, PyObject* b) { return py::Ref::borrow(py::compare(b, a, Py_LT) ? b : a); }

// bool(a <op> b), keeping the comparison's own result object.
py::Ref rich(PyObject* a, PyObject* b, int op) { return py::Ref::steal(PyObject_RichCompare(a, b, op)); }

// int(server.get("max_concurrency") or 0)
py::Ref configured_cap(PyObject* server) {
    py::Ref raw = py::get(server, names::max_concurrency);
    if (!py::truthy(raw.get())) return py::new_int(0);
    return py::to_int(raw.get());
}

// The builtin `sum`, for totals that leave the machine-integer fast path.
PyObject* builtin_sum() {
    static PyObject* fn = [] {
        py::Ref builtins = py::Ref::steal(PyImport_ImportModule("builtins"));
        return py::getattr(builtins.get(), n_sum).release();
    }();
    return fn;
}

// [server], the pool of a backend judged on its own.
py::Ref pool_or_self(PyObject* pool_candidates, PyObject* server) {
    if (pool_candidates != Py_None) return py::Ref::borrow(pool_candidates);
    py::Ref one = py::new_list(1);
    PyList_SET_ITEM(one.get(), 0, Py_NewRef(server));
    return one;
}

// self._effective_cap_for(server, self._pool_inflight(pool),
//                         self._recent_dispatch_rate(pool_key), pool_key=pool_key)
py::Ref cap_in_pool(PyObject* self, PyObject* server, PyObject* pool_candidates, PyObject* pool_key) {
    py::Ref pool = pool_or_self(pool_candidates, server);
    py::Ref pool_inflight = py::call_method(self, names::_pool_inflight, pool.get());
    py::Ref pool_rate = py::call_method(self, names::_recent_dispatch_rate, pool_key);
    static PyObject* kw = py::kwnames({&names::pool_key});
    return py::call_method_kw(self, names::_effective_cap_for,
                              {server, pool_inflight.get(), pool_rate.get(), pool_key}, kw);
}

}  // namespace

PY_FUNCTION(lb_superfast_cap, "LoadBalancer._superfast_cap", "self, configured")
(const py::Call& c, const py::Args& a) {
    PyObject* configured = a[1];
    py::Ref zero = py::new_int(0), one = py::new_int(1);
    if (py::compare(configured, zero.get(), Py_LE)) return py_max(one.get(), c.g.get(names::SUPERFAST_PER_SERVER_CAP).get());
    py::Ref clamp = py_min(configured, c.g.get(names::SUPERFAST_PER_SERVER_CAP).get());
    return py_max(one.get(), clamp.get());
}

PY_FUNCTION(lb_hybrid_hot, "LoadBalancer._hybrid_hot", "self, pool_key, pool_inflight, pool_rate")
(const py::Call& c, const py::Args& a) {
    PyObject *self = a[0], *pool_key = a[1], *pool_inflight = a[2], *pool_rate = a[3];
    bool was_hot = false;
    if (py::truthy(pool_key)) {
        py::Ref hot_state = attr(self, names::_pool_hot_state);
        was_hot = py::truthy(py::get(hot_state.get(), pool_key, Py_False).get());
    }
    py::Ref enter_inflight = c.g.get(names::HYBRID_INFLIGHT_THRESHOLD);
    py::Ref enter_rate = c.g.get(names::HYBRID_RATE_THRESHOLD);
    // The exit ratio clamped to [0.0, 1.0].
    py::Ref lo = py::new_float(0.0), hi = py::new_float(1.0);
    py::Ref exit_ratio = py_max(lo.get(), py_min(hi.get(), c.g.get(names::HYBRID_HOT_EXIT_RATIO).get()).get());
    py::Ref exit_inflight = py::Ref::steal(PyNumber_Multiply(enter_inflight.get(), exit_ratio.get()));
    py::Ref exit_rate = py::Ref::steal(PyNumber_Multiply(enter_rate.get(), exit_ratio.get()));

    // A hot pool stays hot while either signal is above its exit threshold;
    // a cold one turns hot once either signal reaches its entry threshold.
    py::Ref now_hot = was_hot ? rich(pool_inflight, exit_inflight.get(), Py_GT)
                              : rich(pool_inflight, enter_inflight.get(), Py_GE);
    if (!py::truthy(now_hot.get()))
        now_hot = was_hot ? rich(pool_rate, exit_rate.get(), Py_GT) : rich(pool_rate, enter_rate.get(), Py_GE);

    if (pool_key != Py_None && py::truthy(rich(now_hot.get(), py::bool_(was_hot).get(), Py_NE).get()))
        py::setitem(attr(self, names::_pool_hot_state).get(), pool_key, now_hot.get());
    return now_hot;
}

PY_FUNCTION(lb_effective_cap_for_impl, "LoadBalancer._effective_cap_for",
            "self, server, pool_inflight, pool_rate, pool_key=None")
(const py::Call& c, const py::Args& a) {
    PyObject* self = a[0];
    py::Ref configured = configured_cap(a[1]);
    py::Ref mode = attr(self, names::_routing_mode);
    auto is = [&](py::Name& name) { return py::compare(mode.get(), c.g.get(name).get(), Py_EQ); };

    if (is(names::ROUTING_MODE_MAX_CONCURRENCY) || is(names::ROUTING_MODE_QUEUE_ALL)) return configured;
    if (is(names::ROUTING_MODE_SUPERFAST)) return py::call_method(self, names::_superfast_cap, configured.get());
    if (is(names::ROUTING_MODE_HYBRID)) {
        // Hot pools get the full configured cap, cold ones the clamp.
        py::Ref hot = py::call_method(self, names::_hybrid_hot, a.get(4, Py_None), a[2], a[3]);
        if (py::truthy(hot.get())) return configured;
        return py::call_method(self, names::_superfast_cap, configured.get());
    }
    return configured;
}

PY_FUNCTION(lb_effective_cap_for, "LoadBalancer.effective_cap_for",
            "self, server, pool_candidates=None, pool_key=None")
(const py::Call&, const py::Args& a) {
    return cap_in_pool(a[0], a[1], a.get(2, Py_None), a.get(3, Py_None));
}

PY_FUNCTION(lb_pool_inflight, "LoadBalancer._pool_inflight", "self, candidates")
(const py::Call&, const py::Args& a) {
    py::Ref inflight = attr(a[0], names::inflight);
    py::Ref zero = py::new_int(0);
    // Machine integers while every count is a plain int that fits; otherwise
    // the builtin sum takes over so that the total is exactly its result.
    long long total = 0;
    py::Ref rest;  // the values still to add once the fast path is left
    py::for_each(a[1], [&](PyObject* s) {
        py::Ref sid = py::getitem(s, names::id);
        py::Ref count = py::get(inflight.get(), sid.get(), zero.get());
        if (!rest) {
            if (PyLong_CheckExact(count.get()) || PyBool_Check(count.get())) {
                int overflow = 0;
                long long v = PyLong_AsLongLongAndOverflow(count.get(), &overflow);
                if (v == -1 && PyErr_Occurred()) py::raise();
                long long sum = 0;
                if (!overflow && !__builtin_add_overflow(total, v, &sum)) {
                    total = sum;
                    return;
                }
            }
            rest = py::new_list();
            py::append(rest.get(), py::new_int(total).get());
        }
        py::append(rest.get(), count.get());
    });
    if (!rest) return py::new_int(total);
    return py::call(builtin_sum(), rest.get());
}

PY_FUNCTION(lb_under_capacity, "LoadBalancer._under_capacity",
            "self, server, pool_candidates=None, pool_key=None")
(const py::Call&, const py::Args& a) {
    PyObject *self = a[0], *server = a[1];
    py::Ref cap = cap_in_pool(self, server, a.get(2, Py_None), a.get(3, Py_None));
    py::Ref zero = py::new_int(0);
    if (py::compare(cap.get(), zero.get(), Py_LE)) return py::bool_(true);  // unbounded
    py::Ref inflight = attr(self, names::inflight);
    py::Ref sid = py::getitem(server, names::id);
    py::Ref count = py::get(inflight.get(), sid.get(), zero.get());
    return rich(count.get(), cap.get(), Py_LT);
}

}  // namespace lb
