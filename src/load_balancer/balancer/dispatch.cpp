// Dispatch bookkeeping: per-backend dispatch counters and the per-pool
// sliding windows of dispatch times that give a pool's recent dispatch rate.
#include "balancer/methods.h"
#include "balancer/record.h"

namespace lb::LoadBalancer {
namespace {

// Longest a pool's window may grow; older timestamps fall off the left.
constexpr long kWindowMaxLen = 4096;

py::Name n_values{"values"};

// window[0] as a float; the window is known to be non-empty.
double oldest_of(Handle window) { return py::as_double(Ref::steal(PySequence_GetItem(window, 0))); }

// Drop the timestamps older than `cutoff` from the left of `window`
// (`while window and window[0] < cutoff: window.popleft()`).
void trim(Handle window, double cutoff) {
    while (py::truthy(window) && oldest_of(window) < cutoff) py::call_method(window, names::popleft);
}

// Dispatches per second: `n` retained dispatches over the age of the oldest
// one, never less than a millisecond.
Ref rate(Py_ssize_t n, double now, double first_ts) {
    double span = now - first_ts;
    if (!(span > 0.001)) span = 0.001;
    return py::new_float(double(n) / span);
}

}  // namespace

Ref _record_dispatch(const Call& c, Handle self, Handle pool_key, Handle server) {
    Ref sid = record::id(server);
    py::bump(attr(self, names::dispatch_counts), sid);

    Ref now = monotonic(c);
    Ref wall = wall_clock(c);
    py::setitem(attr(self, names::last_dispatch_ts), sid, wall);
    py::setitem(attr(self, names::_pool_last_access), pool_key, now);

    Ref windows = attr(self, names::_pool_dispatch_windows);
    Ref window = py::get(windows, pool_key);
    if (window.is_none()) {
        window = py::call_kw(c.g.get(names::deque), module_of(c).kw_maxlen, py::new_int(kWindowMaxLen));
        py::setitem(windows, pool_key, window);
    }
    py::call_method(window, names::append, now);
    return py::none();
}

Ref _recent_dispatch_rate(const Call& c, Handle self, Handle pool_key) {
    pool_key = pool_key.or_none();
    double now = py::as_double(monotonic(c));
    double window_sec = py::as_double(c.g.get(names::HYBRID_RATE_WINDOW_SEC));
    // max(0.5, window): a NaN window compares false and gives 0.5 as well.
    if (!(window_sec > 0.5)) window_sec = 0.5;
    const double cutoff = now - window_sec;
    Ref windows = attr(self, names::_pool_dispatch_windows);

    if (!pool_key.is_none()) {
        Ref window = py::get(windows, pool_key);
        if (!py::truthy(window)) return py::new_float(0.0);
        trim(window, cutoff);
        Py_ssize_t n = py::length(window);
        if (n == 0) return py::new_float(0.0);
        return rate(n, now, oldest_of(window));
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
    return rate(total, now, first_ts);
}

}  // namespace lb::LoadBalancer
