// Rejection counters and the diagnostic snapshot of the whole balancer.
#include "module.h"

namespace lb {
namespace {

py::Name n_round{"round"};

// round(x, 3) with the interpreter's own builtin.
py::Ref round3(PyObject* x) {
    static PyObject* round_fn = [] {
        py::Ref builtins = py::Ref::steal(PyImport_ImportModule("builtins"));
        return py::getattr(builtins.get(), n_round).release();
    }();
    py::Ref digits = py::new_int(3);
    return py::call(round_fn, x, digits.get());
}

// dict(o): a fresh copy of a mapping.
py::Ref dict_copy(PyObject* o) {
    if (PyDict_CheckExact(o)) return py::Ref::steal(PyDict_Copy(o));
    return py::call(reinterpret_cast<PyObject*>(&PyDict_Type), o);
}

// The pool key rendered as "model|c1,c2|tier", cluster ids sorted as values.
py::Ref pool_label(PyObject* pk) {
    py::Ref model = py::Ref::steal(PySequence_GetItem(pk, 0));
    py::Ref clusters = py::Ref::steal(PySequence_GetItem(pk, 1));
    py::Ref tier = py::Ref::steal(PySequence_GetItem(pk, 2));

    py::Ref ids = py::to_list(clusters.get());
    py::check_int(PyList_Sort(ids.get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ids.get()); ++i) {
        PyObject* text = py::check(PyObject_Str(PyList_GET_ITEM(ids.get(), i)));
        PyList_SetItem(ids.get(), i, text);  // steals `text`, drops the id
    }
    py::Ref comma = py::new_str(",");
    py::Ref middle = py::Ref::steal(PyUnicode_Join(comma.get(), ids.get()));

    py::Ref parts = py::Ref::steal(PyList_New(3));
    PyList_SET_ITEM(parts.get(), 0, model.release());
    PyList_SET_ITEM(parts.get(), 1, middle.release());
    PyList_SET_ITEM(parts.get(), 2, tier.release());
    py::Ref bar = py::new_str("|");
    return py::Ref::steal(PyUnicode_Join(bar.get(), parts.get()));
}

// Sum of the in-flight counts of the servers that have WRR state in `pk`.
py::Ref pool_inflight_total(PyObject* self, PyObject* pk) {
    py::Ref wrr = attr(self, names::_wrr);
    py::Ref empty = py::Ref::steal(PyDict_New());
    py::Ref members = py::get(wrr.get(), pk, empty.get());
    py::Ref inflight = attr(self, names::inflight);
    py::Ref total = py::new_int(0);
    for (auto& [sid, count] : py::items(inflight.get()))
        if (py::contains(members.get(), sid.get()))
            total = py::Ref::steal(PyNumber_Add(total.get(), count.get()));
    return total;
}

py::Ref pool_entry(const py::Call& c, PyObject* self, PyObject* pk, PyObject* state) {
    py::Ref entry = py::Ref::steal(PyDict_New());
    auto put = [&](const char* key, const py::Ref& v) { py::check_int(PyDict_SetItemString(entry.get(), key, v.get())); };

    put("wrr_current", dict_copy(state));

    py::Ref now = monotonic(c.g);
    py::Ref last_access = attr(self, names::_pool_last_access);
    py::Ref zero = py::new_int(0);
    py::Ref last = py::get(last_access.get(), pk, zero.get());
    put("idle_seconds", py::Ref::steal(PyNumber_Subtract(now.get(), last.get())));

    put("inflight_total", pool_inflight_total(self, pk));

    py::Ref rate = py::call_method(self, names::_recent_dispatch_rate, pk);
    put("dispatch_rate_per_sec", round3(rate.get()));

    py::Ref mode = attr(self, names::_routing_mode);
    if (py::compare(mode.get(), c.g.get(names::ROUTING_MODE_HYBRID).get(), Py_EQ)) {
        py::Ref hot_state = attr(self, names::_pool_hot_state);
        put("hybrid_hot", py::get(hot_state.get(), pk, Py_False));
    } else {
        put("hybrid_hot", py::none());
    }
    return entry;
}

}  // namespace

PY_FUNCTION(lb_note_reject, "LoadBalancer.note_reject", "self, reason")(const py::Call&, const py::Args& a) {
    py::call_method(a[0], names::_bump_reject, a[1]);
    return py::none();
}

PY_FUNCTION(lb_bump_reject, "LoadBalancer._bump_reject", "self, reason")(const py::Call&, const py::Args& a) {
    py::bump(attr(a[0], names::reject_counts).get(), a[1]);
    return py::none();
}

PY_FUNCTION(lb_snapshot, "LoadBalancer.snapshot", "self")(const py::Call& c, const py::Args& a) {
    PyObject* self = a[0];
    py::call_method(self, names::_evict_stale_pools);

    // Wait-time percentiles over a sorted copy of the samples.
    py::Ref samples = py::to_list(attr(self, names::queue_wait_samples).get());
    py::check_int(PyList_Sort(samples.get()));
    Py_ssize_t n = PyList_GET_SIZE(samples.get());
    py::Ref p50 = n > 0 ? py::Ref::borrow(PyList_GET_ITEM(samples.get(), n / 2)) : py::new_float(0.0);
    py::Ref p95 = n >= 20 ? py::Ref::borrow(PyList_GET_ITEM(samples.get(), Py_ssize_t(0.95 * double(n))))
                          : py::new_float(0.0);

    py::Ref out = py::Ref::steal(PyDict_New());
    auto put = [&](const char* key, const py::Ref& v) { py::check_int(PyDict_SetItemString(out.get(), key, v.get())); };

    put("routing_mode", attr(self, names::_routing_mode));
    put("dispatch_rate_per_sec", round3(py::call_method(self, names::_recent_dispatch_rate).get()));
    put("superfast_cap", c.g.get(names::SUPERFAST_PER_SERVER_CAP));
    put("hybrid_inflight_threshold", c.g.get(names::HYBRID_INFLIGHT_THRESHOLD));
    put("hybrid_rate_threshold", c.g.get(names::HYBRID_RATE_THRESHOLD));
    put("hybrid_hot_exit_ratio", c.g.get(names::HYBRID_HOT_EXIT_RATIO));
    put("queue_enabled", py::call_method(self, names::queue_enabled));
    put("queue_ttl_sec", py::call_method(self, names::queue_ttl_sec));
    put("queue_depth_multiplier", py::call_method(self, names::queue_depth_multiplier));
    put("queue_deadline_boost_sec", c.g.get(names::QUEUE_DEADLINE_BOOST_SEC));
    put("pool_lru_ttl_sec", c.g.get(names::POOL_LRU_TTL_SEC));
    put("inflight", dict_copy(attr(self, names::inflight).get()));
    put("dispatch_counts", dict_copy(attr(self, names::dispatch_counts).get()));
    put("reject_counts", dict_copy(attr(self, names::reject_counts).get()));
    put("queue_total_waiters", py::new_int(py::length(attr(self, names::_all_waiters).get())));
    put("queue_wait_p50_sec", p50);
    put("queue_wait_p95_sec", p95);

    py::Ref pools = py::Ref::steal(PyDict_New());
    py::Ref wrr = attr(self, names::_wrr);
    for (auto& [pk, state] : py::items(wrr.get())) {
        py::Ref label = pool_label(pk.get());
        py::Ref entry = pool_entry(c, self, pk.get(), state.get());
        py::check_int(PyDict_SetItem(pools.get(), label.get(), entry.get()));
    }
    put("pools", pools);
    return out;
}

}  // namespace lb
