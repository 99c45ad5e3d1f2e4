// Per-backend in-flight counters and per-pool housekeeping (locks, eviction
// of idle pool state).
#include <climits>

#include "balancer/methods.h"

namespace lb {

namespace {

// max(0, n - 1) as the count of `server_id` in the exact dict `inflight`,
// whose count was the plain int `n` (0 when absent): at 0 the entry is
// deleted when there is one (stored as 0 when there was none).  `present`
// tells whether the id was found, or is -1: the dict is then asked again,
// as the steps ask.  Returns the new count.
long long lower_plain(Handle inflight, Handle server_id, long long n, int present) {
    const long long next = n > 1 ? n - 1 : 0;
    if (next == 0 && (present < 0 ? py::check_int(PyDict_Contains(inflight, server_id)) : present))
        py::delitem(inflight, server_id);
    else
        py::setitem(inflight, server_id, py::new_int(next));
    return next;
}

}  // namespace

bool fast::count(Module& m, Handle lb, Handle server_id, int delta) {
    namespace d = LoadBalancer::def;
    // An id whose own hash and equality run no Python code (looking it up
    // again finds what the first look-up found).
    if (!PyLong_CheckExact(server_id.get()) && !PyUnicode_CheckExact(server_id.get())) return false;
    const Facts& f = facts(m);
    const View* v = plain_view(m, f, lb);
    if (!v) return false;
    auto own = [&](const py::Method& method) {
        const uint64_t bit = uint64_t(1) << method.slot();
        return (f.lb_own & bit) && !(v->overridden & bit);
    };
    PyObject* table = v->attrs[kInflight];
    if (!own(delta > 0 ? d::increment : d::decrement) || !table || !PyDict_CheckExact(table)) return false;
    // Held: a dict look-up may still run code (a stored key's __eq__), and
    // the View's borrowed attributes go stale with it.
    Ref inflight = Ref::borrow(table), waiters = delta < 0 ? Ref::borrow(v->attrs[kWaiters]) : Ref();
    const uint64_t seen_instances = instance_epoch, seen_facts = epoch;
    PyObject* cur = nullptr;
    int present = py::check_int(PyDict_GetItemRef(inflight, server_id, &cur));
    Ref held = Ref::steal_or_null(cur);
    long long n = 0;
    if (present && !py::small_int(cur, n)) return false;
    if (delta > 0) {
        // cur + 1, past the largest machine integer too (as py::bump).
        py::setitem(inflight, server_id,
                    n < LLONG_MAX ? py::new_int(n + 1) : Ref::steal(PyNumber_Add(cur, py::new_int(1))));
        return true;
    }
    lower_plain(inflight, server_id, n, present);
    // self._wake_one(server_id), which does nothing without a deque for the
    // id: while nothing watched changed, the View tells where the call goes
    // and which table it reads.
    bool same = instance_epoch == seen_instances && epoch == seen_facts;
    if (!same || !own(d::_wake_one) || !waiters || !PyDict_CheckExact(waiters.get()))
        call::wake_one(m.call(d::decrement), lb, server_id);
    else if (py::check_int(PyDict_Contains(waiters, server_id)))
        LoadBalancer::_wake_one(m.call(d::_wake_one), lb, server_id);
    return true;
}

namespace LoadBalancer {

Ref increment(const Call& c, Handle self, Handle server_id) {
    return py::bump(fast::attr(module_of(c), self, fast::kInflight), server_id);
}

Ref decrement(const Call& c, Handle self, Handle server_id) {
    Ref inflight = fast::attr(module_of(c), self, fast::kInflight);
    Ref zero = py::new_int(0);
    Ref cur = py::get(inflight, server_id, zero);
    long long n;
    Ref next;
    if (py::small_int(cur, n) && PyDict_CheckExact(inflight.get())) {
        next = py::new_int(lower_plain(inflight, server_id, n, -1));
    } else {
        Ref lowered = Ref::steal(PyNumber_Subtract(cur, py::new_int(1)));
        // max(0, cur - 1): 0 unless the lowered count is positive.
        next = py::compare(lowered, zero, Py_GT) ? std::move(lowered) : std::move(zero);
        if (py::compare(next, py::new_int(0), Py_EQ) && py::contains(inflight, server_id))
            py::delitem(inflight, server_id);
        else
            py::setitem(inflight, server_id, next);
    }
    call::wake_one(c, self, server_id);
    return next;
}

Ref get_inflight(const Call&, Handle self, Handle server_id) {
    return py::get(attr(self, names::inflight), server_id, py::new_int(0));
}

Ref force_clear(const Call& c, Handle self, Handle server_id) {
    Ref inflight = attr(self, names::inflight);
    if (!py::contains(inflight, server_id)) return py::none();
    Ref count = py::call_method(inflight, py::n_pop, server_id);
    log(c, names::warning, "Force-cleared inflight=%d for server %s", count, server_id);
    return py::none();
}

Ref _lock_for(const Call& c, Handle self, Handle pool_key) {
    Ref locks = attr(self, names::_locks);
    Ref lock = py::get(locks, pool_key);
    if (lock.is_none()) {
        lock = py::call_method(c.g.get(names::asyncio), names::Lock);
        py::setitem(locks, pool_key, lock);
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
