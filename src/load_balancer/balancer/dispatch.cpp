// Dispatch bookkeeping: per-backend dispatch counters and the per-pool
// sliding windows of dispatch times that give a pool's recent dispatch rate.
#include "balancer/methods.h"
#include "balancer/native.h"
#include "balancer/record.h"

namespace lb {
namespace {

// The record of a dispatch to the server whose id is `sid`, through the
// pool key `pool_key`: `table(a)` reads self.<a> at its moment, and `given`
// is the clock reading to record (NULL: the clock is read at its step).
template <class Table>
void write_record(const Call& c, Table&& table, const fast::Key& pool_key, Handle sid, Handle given) {
    Module& m = module_of(c);
    py::bump(table(fast::kDispatchCounts), sid);
    Ref now = given ? Ref::borrow(given) : monotonic(c);
    Ref wall = wall_clock(c);
    py::setitem(table(fast::kLastDispatchTs), sid, wall);
    pool_key.set(table(fast::kPoolLastAccess), now);
    Ref windows = table(fast::kPoolDispatchWindows);
    Ref window = pool_key.get(windows);
    if (window.is_none()) {
        window = py::call_kw(c.g.get(names::deque), m.kw_maxlen, py::new_int(fast::kWindowMaxLen));
        pool_key.set(windows, window);
    }
    fast::deque_call(m, window, m.deque_append, names::append, now);
}

}  // namespace

void fast::record_dispatch(const Inst& inst, const Key& pool_key, const Rec& rec, const Now& now) {
    // Each attribute is read at its moment, as the steps read it (code may
    // have run since the decision read the instance: a replaced clock, the
    // hash of a key dropped by the pick).
    write_record(
        inst.m->call(LoadBalancer::def::_record_dispatch), [&](Attr a) { return inst.current(a); }, pool_key, rec.id,
        now.obj);
}

namespace LoadBalancer {
namespace {

py::Name n_values{"values"};

// window[0] as a float; the window is known to be non-empty.
double oldest_of(Handle window) { return py::as_double(Ref::steal(PySequence_GetItem(window, 0))); }

// Drop the timestamps older than `cutoff` from the left of `window`
// (`while window and window[0] < cutoff: window.popleft()`).
void trim(Handle window, double cutoff) {
    while (py::truthy(window) && oldest_of(window) < cutoff) py::call_method(window, names::popleft);
}

}  // namespace

Ref _record_dispatch(const Call& c, Handle self, Handle pool_key, Handle server) {
    Ref sid = record::id(server);
    write_record(c, [&](fast::Attr a) { return attr(self, *fast::kAttrNames[a]); }, fast::Key{pool_key}, sid, {});
    return py::none();
}

Ref _recent_dispatch_rate(const Call& c, Handle self, Handle pool_key) {
    pool_key = pool_key.or_none();
    double now = py::as_double(monotonic(c));
    const double cutoff = now - fast::rate_window(py::as_double(c.g.get(names::HYBRID_RATE_WINDOW_SEC)));
    Ref windows = attr(self, names::_pool_dispatch_windows);

    if (!pool_key.is_none()) {
        Ref window = py::get(windows, pool_key);
        if (!py::truthy(window)) return py::new_float(0.0);
        trim(window, cutoff);
        Py_ssize_t n = py::length(window);
        if (n == 0) return py::new_float(0.0);
        return py::new_float(fast::dispatch_rate(n, now, oldest_of(window)));
    }

    // Every pool together: the windows are trimmed in the map's order.
    Ref all = PyDict_CheckExact(windows.get()) ? Ref::steal(PyDict_Values(windows))
                                               : py::to_list(py::call_method(windows, n_values));
    Py_ssize_t total = 0;
    double first_ts = Py_HUGE_VAL;
    py::for_each(all, [&](Handle window) {
        trim(window, cutoff);
        if (!py::truthy(window)) return;
        total += py::length(window);
        double oldest = oldest_of(window);
        if (oldest < first_ts) first_ts = oldest;
    });
    if (total == 0) return py::new_float(0.0);
    return py::new_float(fast::dispatch_rate(total, now, first_ts));
}

}  // namespace LoadBalancer
}  // namespace lb
