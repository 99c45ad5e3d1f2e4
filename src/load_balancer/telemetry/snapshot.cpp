// Rejection counters and the diagnostic snapshot of the whole balancer.
#include "balancer/methods.h"
#include "balancer/record.h"

namespace lb::LoadBalancer {
namespace {

// round(x, 3) with the interpreter's own builtin.
Ref round3(const Call& c, Handle x) { return py::call(module_of(c).builtin_round, x, py::new_int(3)); }

// dict(o): a fresh copy of a mapping.
Ref dict_copy(Handle o) {
    if (PyDict_CheckExact(o.get())) return Ref::steal(PyDict_Copy(o));
    return py::call(reinterpret_cast<PyObject*>(&PyDict_Type), o);
}

// The pool key rendered as "model|c1,c2|tier", cluster ids sorted as values.
Ref pool_label(Handle pk) {
    Ref model = Ref::steal(PySequence_GetItem(pk, 0));
    Ref clusters = Ref::steal(PySequence_GetItem(pk, 1));
    Ref tier = Ref::steal(PySequence_GetItem(pk, 2));

    Ref ids = py::to_list(clusters);
    py::check_int(PyList_Sort(ids));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ids.get()); ++i) {
        PyObject* text = py::check(PyObject_Str(PyList_GET_ITEM(ids.get(), i)));
        PyList_SetItem(ids, i, text);  // steals `text`, drops the id
    }
    Ref middle = Ref::steal(PyUnicode_Join(py::new_str(","), ids));

    Ref parts = Ref::steal(PyList_New(3));
    PyList_SET_ITEM(parts.get(), 0, model.release());
    PyList_SET_ITEM(parts.get(), 1, middle.release());
    PyList_SET_ITEM(parts.get(), 2, tier.release());
    return Ref::steal(PyUnicode_Join(py::new_str("|"), parts));
}

// Sum of the in-flight counts of the servers that have WRR state in `pk`.
Ref pool_inflight_total(Handle self, Handle pk) {
    Ref members = py::get(attr(self, names::_wrr), pk, py::new_dict());
    Ref total = py::new_int(0);
    for (auto& [sid, count] : py::items(attr(self, names::inflight)))
        if (py::contains(members, sid)) total = Ref::steal(PyNumber_Add(total, count));
    return total;
}

Ref pool_entry(const Call& c, Handle self, Handle pk, Handle state) {
    Ref entry = py::new_dict();
    auto put = [&](const char* key, const Ref& v) { py::check_int(PyDict_SetItemString(entry, key, v)); };

    put("wrr_current", dict_copy(state));

    Ref now = monotonic(c);
    Ref last = py::get(attr(self, names::_pool_last_access), pk, py::new_int(0));
    put("idle_seconds", Ref::steal(PyNumber_Subtract(now, last)));

    put("inflight_total", pool_inflight_total(self, pk));
    put("dispatch_rate_per_sec", round3(c, call::recent_dispatch_rate(c, self, pk)));

    Ref mode = attr(self, names::_routing_mode);
    if (is_mode(c, mode, names::ROUTING_MODE_HYBRID))
        put("hybrid_hot", py::get(attr(self, names::_pool_hot_state), pk, Py_False));
    else
        put("hybrid_hot", py::none());
    return entry;
}

}  // namespace

Ref note_reject(const Call& c, Handle self, Handle reason) {
    call::bump_reject(c, self, reason);
    return py::none();
}

Ref _bump_reject(const Call&, Handle self, Handle reason) {
    py::bump(attr(self, names::reject_counts), reason);
    return py::none();
}

Ref snapshot(const Call& c, Handle self) {
    call::evict_stale_pools(c, self);

    // Wait-time percentiles over a sorted copy of the samples.
    Ref samples = py::to_list(attr(self, names::queue_wait_samples));
    py::check_int(PyList_Sort(samples));
    Py_ssize_t n = PyList_GET_SIZE(samples.get());
    Ref p50 = n > 0 ? Ref::borrow(PyList_GET_ITEM(samples.get(), n / 2)) : py::new_float(0.0);
    Ref p95 = n >= 20 ? Ref::borrow(PyList_GET_ITEM(samples.get(), Py_ssize_t(0.95 * double(n)))) : py::new_float(0.0);

    Ref out = py::new_dict();
    auto put = [&](const char* key, const Ref& v) { py::check_int(PyDict_SetItemString(out, key, v)); };

    put("routing_mode", attr(self, names::_routing_mode));
    put("dispatch_rate_per_sec", round3(c, call::recent_dispatch_rate(c, self, {})));
    put("superfast_cap", c.g.get(names::SUPERFAST_PER_SERVER_CAP));
    put("hybrid_inflight_threshold", c.g.get(names::HYBRID_INFLIGHT_THRESHOLD));
    put("hybrid_rate_threshold", c.g.get(names::HYBRID_RATE_THRESHOLD));
    put("hybrid_hot_exit_ratio", c.g.get(names::HYBRID_HOT_EXIT_RATIO));
    put("queue_enabled", call::queue_enabled(c, self));
    put("queue_ttl_sec", call::queue_ttl_sec(c, self));
    put("queue_depth_multiplier", call::queue_depth_multiplier(c, self));
    put("queue_deadline_boost_sec", c.g.get(names::QUEUE_DEADLINE_BOOST_SEC));
    put("pool_lru_ttl_sec", c.g.get(names::POOL_LRU_TTL_SEC));
    put("inflight", dict_copy(attr(self, names::inflight)));
    put("dispatch_counts", dict_copy(attr(self, names::dispatch_counts)));
    put("reject_counts", dict_copy(attr(self, names::reject_counts)));
    put("queue_total_waiters", py::new_int(py::length(attr(self, names::_all_waiters))));
    put("queue_wait_p50_sec", p50);
    put("queue_wait_p95_sec", p95);

    Ref pools = py::new_dict();
    for (auto& [pk, state] : py::items(attr(self, names::_wrr))) {
        Ref label = pool_label(pk);
        Ref entry = pool_entry(c, self, pk, state);
        py::check_int(PyDict_SetItem(pools, label, entry));
    }
    put("pools", pools);
    return out;
}

}  // namespace lb::LoadBalancer
