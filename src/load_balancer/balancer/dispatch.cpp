// Dispatch bookkeeping: per-backend dispatch counters and the per-pool
// sliding windows of dispatch times that give a pool's recent dispatch rate.
#include "module.h"

namespace lb {
namespace {

// Longest a pool's window may grow; older timestamps fall off the left.
constexpr long kWindowMaxLen = 4096;

py::Name n_values{"values"};

// Drop the timestamps older than `cutoff` from the left of `window`
// (`while window and window[0] < cutoff: window.popleft()`).
void trim(PyObject* window, double cutoff) {
    while (py::truthy(window)) {
        py::Ref oldest = py::Ref::steal(PySequence_GetItem(window, 0));
        if (!(py::as_double(oldest.get()) < cutoff)) return;
        py::call_method(window, names::popleft);
    }
}

// window[0] as a float; the window is known to be non-empty.
double oldest_of(PyObject* window) {
    py::Ref oldest = py::Ref::steal(PySequence_GetItem(window, 0));
    return py::as_double(oldest.get());
}

// Dispatches per second: `n` retained dispatches over the age of the oldest
// one, never less than a millisecond.
py::Ref rate(Py_ssize_t n, double now, double first_ts) {
    double span = now - first_ts;
    if (!(span > 0.001)) span = 0.001;
    return py::new_float(double(n) / span);
}

}  // namespace

PY_FUNCTION(lb_record_dispatch, "LoadBalancer._record_dispatch", "self, pool_key, server")
(const py::Call& c, const py::Args& a) {
    PyObject *self = a[0], *pool_key = a[1];
    py::Ref sid = py::getitem(a[2], names::id);

    py::bump(attr(self, names::dispatch_counts).get(), sid.get());

    py::Ref now = monotonic(c.g);
    py::Ref wall = wall_clock(c.g);
    py::setitem(attr(self, names::last_dispatch_ts).get(), sid.get(), wall.get());
    py::setitem(attr(self, names::_pool_last_access).get(), pool_key, now.get());

    py::Ref windows = attr(self, names::_pool_dispatch_windows);
    py::Ref window = py::get(windows.get(), pool_key);
    if (window.get() == Py_None) {
        static PyObject* kw = py::kwnames({&names::maxlen});
        py::Ref maxlen = py::new_int(kWindowMaxLen);
        window = py::call_kw(c.g.get(names::deque).get(), {maxlen.get()}, kw);
        py::setitem(windows.get(), pool_key, window.get());
    }
    py::call_method(window.get(), names::append, now.get());
    return py::none();
}

PY_FUNCTION(lb_recent_dispatch_rate, "LoadBalancer._recent_dispatch_rate", "self, pool_key=None")
(const py::Call& c, const py::Args& a) {
    PyObject *self = a[0], *pool_key = a.get(1, Py_None);
    double now = py::as_double(monotonic(c.g).get());
    double window_sec = py::as_double(c.g.get(names::HYBRID_RATE_WINDOW_SEC).get());
    // max(0.5, window): a NaN window compares false and gives 0.5 as well.
    if (!(window_sec > 0.5)) window_sec = 0.5;
    const double cutoff = now - window_sec;
    py::Ref windows = attr(self, names::_pool_dispatch_windows);

    if (pool_key != Py_None) {
        py::Ref window = py::get(windows.get(), pool_key);
        if (!py::truthy(window.get())) return py::new_float(0.0);
        trim(window.get(), cutoff);
        Py_ssize_t n = py::length(window.get());
        if (n == 0) return py::new_float(0.0);
        return rate(n, now, oldest_of(window.get()));
    }

    // Every pool together: the windows are trimmed in the map's order.
    py::Ref all = PyDict_CheckExact(windows.get())
                      ? py::Ref::steal(PyDict_Values(windows.get()))
                      : py::to_list(py::call_method(windows.get(), n_values).get());
    Py_ssize_t total = 0;
    double first_ts = Py_HUGE_VAL;
    py::for_each(all.get(), [&](PyObject* window) {
        trim(window, cutoff);
        if (!py::truthy(window)) return;
        total += py::length(window);
        double oldest = oldest_of(window);
        if (oldest < first_ts) first_ts = oldest;
    });
    if (total == 0) return py::new_float(0.0);
    return rate(total, now, first_ts);
}

}  // namespace lb
