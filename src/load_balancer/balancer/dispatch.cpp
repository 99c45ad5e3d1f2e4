// Dispatch bookkeeping: per-backend dispatch counters and the per-pool
// sliding windows of dispatch times that give a pool's recent dispatch rate.
#include "balancer/dispatch.h"

#include "balancer/methods.h"
#include "balancer/native.h"
#include "balancer/record.h"

namespace lb {

// ---- the window's rules ------------------------------------------------------------

namespace dispatch {

double window_length(double configured) { return configured > 0.5 ? configured : 0.5; }

bool stale(double ts, double cutoff) { return ts < cutoff; }

double rate(Py_ssize_t n, double now, double oldest) {
    double span = now - oldest;
    if (!(span > 0.001)) span = 0.001;
    return double(n) / span;
}

bool Window::read(const Module& m, PyObject* deque, double cutoff) {
    deque_ = Ref::borrow(deque);
    size_ = trim_ = 0;
    oldest_ = 0.0;
    if (deque == Py_None) return true;
    if (reinterpret_cast<PyObject*>(Py_TYPE(deque)) != m.deque_class.get()) return false;
    Py_ssize_t n = PySequence_Size(deque);
    if (n < 0) return PyErr_Clear(), false;
    size_ = n;
    py::Num ts;
    while (trim_ < n) {
        Ref item = Ref::steal_or_null(PySequence_GetItem(deque, trim_));
        if (!item || !py::num(item, ts)) return PyErr_Clear(), false;
        oldest_ = ts.v;
        if (!stale(ts.v, cutoff)) break;
        ++trim_;
    }
    return true;
}

double Window::rate_at(double now) const { return left() > 0 ? rate(left(), now, oldest_) : 0.0; }

void Window::commit(const Module& m) const {
    for (Py_ssize_t i = 0; i < trim_; ++i) fast::deque_call(m, deque_, m.deque_popleft, names::popleft);
}

}  // namespace dispatch

namespace {

// A pool key looked up as the steps look it up: hashed at each use.
struct ByKey {
    Handle obj;
    Ref get(Handle d) const { return py::get(d, obj); }
    void set(Handle d, Handle v) const { py::setitem(d, obj, v); }
};

// The tables a dispatch record writes.
enum class Table : unsigned char { Counts, LastTs, LastAccess, Windows };

const py::Name& name_of(Table t) {
    switch (t) {
        case Table::Counts: return names::dispatch_counts;
        case Table::LastTs: return names::last_dispatch_ts;
        case Table::LastAccess: return names::_pool_last_access;
        case Table::Windows: break;
    }
    return names::_pool_dispatch_windows;
}

// The record of a dispatch to the server whose id is `sid`, through the pool
// key `pool_key` (a ByKey, or a fast::Key with its hash known): `table(t)`
// reads self.<t> at its moment, and `given` is the clock reading to record
// (NULL: the clock is read at its step).
template <class Tables, class PoolKey>
void write_record(const Call& c, Tables&& table, const PoolKey& pool_key, Handle sid, Handle given) {
    Module& m = module_of(c);
    py::bump_at([&] { return table(Table::Counts); }, sid);
    Ref now = given ? Ref::borrow(given) : monotonic(c);
    Ref wall = wall_clock(c);
    py::setitem(table(Table::LastTs), sid, wall);
    pool_key.set(table(Table::LastAccess), now);
    Ref windows = table(Table::Windows);
    Ref window = pool_key.get(windows);
    if (window.is_none()) {
        window = py::call_kw(c.g.get(names::deque), m.kw_maxlen, py::new_int(dispatch::kWindowMaxLen));
        pool_key.set(windows, window);
    }
    fast::deque_call(m, window, m.deque_append, names::append, now);
}

}  // namespace

void fast::record_dispatch(const Inst& inst, const Key& pool_key, const Rec& rec, const Now& now) {
    // Each attribute is read at its moment, as the steps read it (code may
    // have run since the decision read the instance: the hash of a key
    // dropped by the pick).
    auto table = [&](Table t) {
        switch (t) {
            case Table::Counts: return inst.current(kDispatchCounts);
            case Table::LastTs: return inst.current(kLastDispatchTs);
            case Table::LastAccess: return inst.current(kPoolLastAccess);
            case Table::Windows: break;
        }
        return inst.current(kPoolDispatchWindows);
    };
    write_record(inst.m->call(LoadBalancer::def::_record_dispatch), table, pool_key, rec.id, now.obj);
}

namespace LoadBalancer {
namespace {

py::Name n_values{"values"};

// window[0] as a float; the window is known to be non-empty.
double oldest_of(Handle window) { return py::as_double(Ref::steal(PySequence_GetItem(window, 0))); }

// Drop the timestamps that have left the window from its left
// (`while window and window[0] < cutoff: window.popleft()`).
void trim(Handle window, double cutoff) {
    while (py::truthy(window) && dispatch::stale(oldest_of(window), cutoff)) py::call_method(window, names::popleft);
}

}  // namespace

Ref _record_dispatch(const Call& c, Handle self, Handle pool_key, Handle server) {
    Ref sid = record::id(server);
    write_record(c, [&](Table t) { return attr(self, name_of(t)); }, ByKey{pool_key}, sid, {});
    return py::none();
}

Ref _recent_dispatch_rate(const Call& c, Handle self, Handle pool_key) {
    pool_key = pool_key.or_none();
    double now = py::as_double(monotonic(c));
    const double cutoff = now - dispatch::window_length(py::as_double(c.g.get(names::HYBRID_RATE_WINDOW_SEC)));
    Ref windows = attr(self, names::_pool_dispatch_windows);

    if (!pool_key.is_none()) {
        Ref window = py::get(windows, pool_key);
        if (!py::truthy(window)) return py::new_float(0.0);
        trim(window, cutoff);
        Py_ssize_t n = py::length(window);
        if (n == 0) return py::new_float(0.0);
        return py::new_float(dispatch::rate(n, now, oldest_of(window)));
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
    return py::new_float(dispatch::rate(total, now, first_ts));
}

}  // namespace LoadBalancer
}  // namespace lb
