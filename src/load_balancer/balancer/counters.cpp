// Per-backend in-flight counters and per-pool housekeeping (locks, eviction
// of idle pool state).
#include "module.h"

namespace lb {

PY_FUNCTION(lb_increment, "LoadBalancer.increment", "self, server_id")(const py::Call&, const py::Args& a) {
    return py::bump(attr(a[0], names::inflight).get(), a[1]);
}

PY_FUNCTION(lb_decrement, "LoadBalancer.decrement", "self, server_id")(const py::Call&, const py::Args& a) {
    PyObject *self = a[0], *sid = a[1];
    py::Ref inflight = attr(self, names::inflight);
    py::Ref zero = py::new_int(0), one = py::new_int(1);
    py::Ref cur = py::get(inflight.get(), sid, zero.get());
    py::Ref lowered = py::Ref::steal(PyNumber_Subtract(cur.get(), one.get()));
    // max(0, cur - 1): 0 unless the lowered count is positive.
    py::Ref next = py::compare(lowered.get(), zero.get(), Py_GT) ? std::move(lowered) : std::move(zero);
    if (py::compare(next.get(), py::new_int(0).get(), Py_EQ) && py::contains(inflight.get(), sid))
        py::delitem(inflight.get(), sid);
    else
        py::setitem(inflight.get(), sid, next.get());
    py::call_method(self, names::_wake_one, sid);
    return next;
}

PY_FUNCTION(lb_get_inflight, "LoadBalancer.get_inflight", "self, server_id")(const py::Call&, const py::Args& a) {
    py::Ref inflight = attr(a[0], names::inflight);
    py::Ref zero = py::new_int(0);
    return py::get(inflight.get(), a[1], zero.get());
}

PY_FUNCTION(lb_force_clear, "LoadBalancer.force_clear", "self, server_id")(const py::Call& c, const py::Args& a) {
    py::Ref inflight = attr(a[0], names::inflight);
    if (!py::contains(inflight.get(), a[1])) return py::none();
    static py::Name n_pop{"pop"};
    py::Ref count = py::call_method(inflight.get(), n_pop, a[1]);
    log(c.g, names::warning, "Force-cleared inflight=%d for server %s", count.get(), a[1]);
    return py::none();
}

PY_FUNCTION(lb_lock_for, "LoadBalancer._lock_for", "self, pool_key")(const py::Call& c, const py::Args& a) {
    py::Ref locks = attr(a[0], names::_locks);
    py::Ref lock = py::get(locks.get(), a[1]);
    if (lock.get() == Py_None) {
        lock = py::call_method(c.g.get(names::asyncio).get(), names::Lock);
        py::setitem(locks.get(), a[1], lock.get());
    }
    return lock;
}

PY_FUNCTION(lb_evict_stale_pools, "LoadBalancer._evict_stale_pools", "self")
(const py::Call& c, const py::Args& a) {
    PyObject* self = a[0];
    py::Ref now = monotonic(c.g);
    py::Ref ttl = c.g.get(names::POOL_LRU_TTL_SEC);
    py::Ref cutoff = py::Ref::steal(PyNumber_Subtract(now.get(), ttl.get()));

    py::Ref last_access = attr(self, names::_pool_last_access);
    py::Ref stale = py::new_list();
    for (auto& [key, ts] : py::items(last_access.get()))
        if (py::compare(ts.get(), cutoff.get(), Py_LT)) py::append(stale.get(), key.get());

    py::for_each(stale.get(), [&](PyObject* key) {
        for (py::Name* table :
             {&names::_wrr, &names::_pool_last_access, &names::_pool_dispatch_windows, &names::_pool_hot_state})
            py::discard_key(attr(self, *table).get(), key);
    });

    Py_ssize_t n = PyList_GET_SIZE(stale.get());
    if (n) {
        py::Ref count = py::new_int(n);
        py::Ref ttl_now = c.g.get(names::POOL_LRU_TTL_SEC);
        py::Ref whole = py::to_int(ttl_now.get());
        log(c.g, names::debug, "Evicted %d stale LB pool entries (>%ds idle)", count.get(), whole.get());
    }
    return py::none();
}

}  // namespace lb
