// Per-backend in-flight counters and per-pool housekeeping (locks, eviction
// of idle pool state).
#include <climits>

#include "balancer/methods.h"

namespace lb {

bool fast::count(Module& m, Handle lb, Handle server_id, int delta) {
    namespace d = LoadBalancer::def;
    // An id whose own hash and equality run no Python code, looked up in a
    // table of plain keys: nothing below runs code, so what the View tells
    // holds to the end.  (It is copied first all the same: it describes
    // whichever instance was read last.)
    if (!PyLong_CheckExact(server_id.get()) && !PyUnicode_CheckExact(server_id.get())) return false;
    const Facts& f = facts(m.fast);
    const View* v = view_of(m, lb);
    if (!v || !v->plain_tables) return false;
    const uint64_t overridden = v->overridden;
    auto own = [&](const py::Method& method) {
        const uint64_t bit = uint64_t(1) << method.slot();
        return (f.lb_own & bit) && !(overridden & bit);
    };
    Ref inflight = Ref::borrow(v->attrs[kInflight]), waiters = Ref::borrow(v->attrs[kWaiters]);
    if (!own(delta > 0 ? d::increment : d::decrement) || !inflight || !PyDict_CheckExact(inflight.get())) return false;
    PyObject* cur = nullptr;
    const int present = py::check_int(PyDict_GetItemRef(inflight, server_id, &cur));
    Ref held = Ref::steal_or_null(cur);
    long long n = 0;
    if (present && !py::small_int(cur, n)) return false;
    if (delta > 0) {
        // cur + 1, past the largest machine integer too (as py::bump_at).
        py::setitem(inflight, server_id,
                    n < LLONG_MAX ? py::new_int(n + 1) : Ref::steal(PyNumber_Add(cur, py::new_int(1))));
        return true;
    }
    // max(0, cur - 1): at 0 the entry goes (it is stored as 0 when there was
    // none); then self._wake_one(server_id), which does nothing without a
    // deque for the id.
    const long long next = n > 1 ? n - 1 : 0;
    if (next == 0 && present)
        py::delitem(inflight, server_id);
    else
        py::setitem(inflight, server_id, py::new_int(next));
    if (!own(d::_wake_one) || !waiters || !PyDict_CheckExact(waiters.get()))
        call::wake_one(m.call(d::decrement), lb, server_id);
    else if (py::check_int(PyDict_Contains(waiters, server_id)))
        LoadBalancer::_wake_one(m.call(d::_wake_one), lb, server_id);
    return true;
}

namespace LoadBalancer {

// self.inflight[server_id] = self.inflight.get(server_id, 0) + 1, then
// self.inflight[server_id]: the table read at each use.
Ref increment(const Call&, Handle self, Handle server_id) {
    py::bump_at([&] { return attr(self, names::inflight); }, server_id);
    return py::getitem(attr(self, names::inflight), server_id);
}

Ref decrement(const Call& c, Handle self, Handle server_id) {
    auto inflight = [&] { return attr(self, names::inflight); };
    Ref zero = py::new_int(0);
    Ref cur = py::get(inflight(), server_id, zero);
    long long n;
    Ref lowered = py::small_int(cur, n) && n > LLONG_MIN ? py::new_int(n - 1)
                                                          : Ref::steal(PyNumber_Subtract(cur, py::new_int(1)));
    // max(0, cur - 1)
    Ref next = py::compare(lowered, zero, Py_GT) ? std::move(lowered) : std::move(zero);
    if (py::compare(next, py::new_int(0), Py_EQ) && py::contains(inflight(), server_id))
        py::delitem(inflight(), server_id);
    else
        py::setitem(inflight(), server_id, next);
    call::wake_one(c, self, server_id);
    return next;
}

Ref get_inflight(const Call&, Handle self, Handle server_id) {
    return py::get(attr(self, names::inflight), server_id, py::new_int(0));
}

Ref force_clear(const Call& c, Handle self, Handle server_id) {
    if (!py::contains(attr(self, names::inflight), server_id)) return py::none();
    Ref count = py::call_method(attr(self, names::inflight), py::n_pop, server_id);
    log(c, names::warning, "Force-cleared inflight=%d for server %s", count, server_id);
    return py::none();
}

Ref _lock_for(const Call& c, Handle self, Handle pool_key) {
    Ref lock = py::get(attr(self, names::_locks), pool_key);
    if (lock.is_none()) {
        lock = py::call_method(c.g.get(names::asyncio), names::Lock);
        py::setitem(attr(self, names::_locks), pool_key, lock);
    }
    return lock;
}

Ref _evict_stale_pools(const Call& c, Handle self) {
    Ref now = monotonic(c);
    Ref cutoff = Ref::steal(PyNumber_Subtract(now, c.g.get(names::POOL_LRU_TTL_SEC)));

    Ref stale = py::new_list();
    for (auto& [key, ts] : py::items(attr(self, names::_pool_last_access)))
        if (py::compare(ts, cutoff, Py_LT)) py::append(stale, key);

    py::for_each(stale, [&](Handle key) {
        for (const py::Name* table :
             {&names::_wrr, &names::_pool_last_access, &names::_pool_dispatch_windows, &names::_pool_hot_state})
            py::discard_key(attr(self, *table), key);
    });

    if (Py_ssize_t n = PyList_GET_SIZE(stale.get())) {
        Ref whole = py::to_int(c.g.get(names::POOL_LRU_TTL_SEC));
        log(c, names::debug, "Evicted %d stale LB pool entries (>%ds idle)", py::new_int(n), whole);
    }
    return py::none();
}

}  // namespace LoadBalancer

}  // namespace lb
