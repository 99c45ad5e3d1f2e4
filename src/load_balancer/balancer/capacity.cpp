// The capacity gate: a backend's effective concurrency cap under the active
// routing mode, the per-pool hot/cold decision of "hybrid" mode, and the
// free-slot test that selection and the hand-off ask before dispatching.
#include "balancer/methods.h"
#include "balancer/record.h"

namespace lb::LoadBalancer {
namespace {

// max(a, b) and min(a, b) as the builtins pick: the first argument unless
// the second compares strictly greater (smaller).
Ref py_max(Handle a, Handle b) { return Ref::borrow(py::compare(b, a, Py_GT) ? b : a); }
Ref py_min(Handle a, Handle b) { return Ref::borrow(py::compare(b, a, Py_LT) ? b : a); }

// [server], the pool of a backend judged on its own.
Ref pool_or_self(Handle pool_candidates, Handle server) {
    if (!pool_candidates.or_none().is_none()) return Ref::borrow(pool_candidates);
    Ref one = py::new_list(1);
    PyList_SET_ITEM(one.get(), 0, Py_NewRef(server.get()));
    return one;
}

}  // namespace

Ref _superfast_cap(const Call& c, Handle, Handle configured) {
    Ref zero = py::new_int(0), one = py::new_int(1);
    if (py::compare(configured, zero, Py_LE)) return py_max(one, c.g.get(names::SUPERFAST_PER_SERVER_CAP));
    Ref clamp = py_min(configured, c.g.get(names::SUPERFAST_PER_SERVER_CAP));
    return py_max(one, clamp);
}

Ref _hybrid_hot(const Call& c, Handle self, Handle pool_key, Handle pool_inflight, Handle pool_rate) {
    bool was_hot = false;
    if (py::truthy(pool_key)) was_hot = py::truthy(py::get(attr(self, names::_pool_hot_state), pool_key, Py_False));
    Ref enter_inflight = c.g.get(names::HYBRID_INFLIGHT_THRESHOLD);
    Ref enter_rate = c.g.get(names::HYBRID_RATE_THRESHOLD);
    // The exit ratio clamped to [0.0, 1.0].
    Ref lo = py::new_float(0.0), hi = py::new_float(1.0);
    Ref exit_ratio = py_max(lo, py_min(hi, c.g.get(names::HYBRID_HOT_EXIT_RATIO)));
    Ref exit_inflight = Ref::steal(PyNumber_Multiply(enter_inflight, exit_ratio));
    Ref exit_rate = Ref::steal(PyNumber_Multiply(enter_rate, exit_ratio));

    // A hot pool stays hot while either signal is above its exit threshold;
    // a cold one turns hot once either signal reaches its entry threshold.
    Ref now_hot = was_hot ? py::rich_compare(pool_inflight, exit_inflight, Py_GT)
                          : py::rich_compare(pool_inflight, enter_inflight, Py_GE);
    if (!py::truthy(now_hot))
        now_hot = was_hot ? py::rich_compare(pool_rate, exit_rate, Py_GT) : py::rich_compare(pool_rate, enter_rate, Py_GE);

    if (!pool_key.is_none() && py::truthy(py::rich_compare(now_hot, py::bool_(was_hot), Py_NE)))
        py::setitem(attr(self, names::_pool_hot_state), pool_key, now_hot);
    return now_hot;
}

Ref _effective_cap_for(const Call& c, Handle self, Handle server, Handle pool_inflight, Handle pool_rate,
                       Handle pool_key) {
    Ref configured = record::configured_cap(server);
    Ref mode = attr(self, names::_routing_mode);
    if (is_mode(c, mode, names::ROUTING_MODE_MAX_CONCURRENCY) || is_mode(c, mode, names::ROUTING_MODE_QUEUE_ALL))
        return configured;
    if (is_mode(c, mode, names::ROUTING_MODE_SUPERFAST)) return call::superfast_cap(c, self, configured);
    if (is_mode(c, mode, names::ROUTING_MODE_HYBRID)) {
        // Hot pools get the full configured cap, cold ones the clamp.
        if (call::hybrid_hot(c, self, pool_key.or_none(), pool_inflight, pool_rate)) return configured;
        return call::superfast_cap(c, self, configured);
    }
    return configured;
}

// self._effective_cap_for(server, self._pool_inflight(pool),
//                         self._recent_dispatch_rate(pool_key), pool_key=pool_key)
Ref effective_cap_for(const Call& c, Handle self, Handle server, Handle pool_candidates, Handle pool_key) {
    pool_key = pool_key.or_none();
    Ref pool = pool_or_self(pool_candidates, server);
    Ref total = call::pool_inflight(c, self, pool);
    Ref rate = call::recent_dispatch_rate(c, self, pool_key);
    return call::effective_cap(c, self, server, total, rate, pool_key);
}

Ref _pool_inflight(const Call& c, Handle self, Handle candidates) {
    Ref inflight = attr(self, names::inflight);
    Ref zero = py::new_int(0);
    // Machine integers while every count is a plain int that fits; from the
    // first that is not, the builtin sum takes over, so that the total is
    // exactly its result.
    long long total = 0;
    Ref rest;  // [total so far, remaining counts...] once machine integers are left
    py::for_each(candidates, [&](Handle s) {
        Ref count = py::get(inflight, record::id(s), zero);
        long long v, sum;
        if (!rest && py::small_int(count, v) && !__builtin_add_overflow(total, v, &sum)) {
            total = sum;
            return;
        }
        if (!rest) {
            rest = py::new_list();
            py::append(rest, py::new_int(total));
        }
        py::append(rest, count);
    });
    if (!rest) return py::new_int(total);
    return py::call(module_of(c).builtin_sum, rest);
}

Ref _under_capacity(const Call& c, Handle self, Handle server, Handle pool_candidates, Handle pool_key) {
    // Computed as effective_cap_for computes it, not through a call of
    // self.effective_cap_for.
    Ref cap = effective_cap_for(c, self, server, pool_candidates, pool_key);
    Ref zero = py::new_int(0);
    if (py::compare(cap, zero, Py_LE)) return py::bool_(true);  // unbounded
    // A slot handed to a parked request that has not resumed yet is as busy
    // as one in flight.
    Ref sid = record::id(server);
    Ref count = py::get(attr(self, names::inflight), sid, zero);
    Ref held = py::get(attr(self, names::held_slots), sid, zero);
    Ref busy = Ref::steal(PyNumber_Add(count, held));
    return py::rich_compare(busy, cap, Py_LT);
}

}  // namespace lb::LoadBalancer
