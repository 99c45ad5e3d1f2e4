// What the native fast path may assume, and how it knows.
//
// The by-name protocol defines every behaviour: internal methods are reached
// through attribute lookup and module globals are read at the moment of use.
// The fast path computes the same results natively while nothing it relies on
// is overridden.  It knows that cheaply:
//   - dict watchers on the module namespace and on the namespaces of `time`
//     and `asyncio`, and type watchers on LoadBalancer, _Waiter,
//     InflightLease and asyncio.Lock, only count changes (an epoch);
//   - the next call after a change reads everything again into `Facts`
//     (which methods are still the module's own, the knobs as numbers,
//     whether the clock and the asyncio functions are the originals);
//   - per call, the instance's own dict is checked for the names used.
// Without watchers the facts are never valid, and every decision takes the
// step-by-step path (whose calls still resolve natively one by one).
#pragma once

#include <cstdint>

#include "py/function.h"

namespace lb {

struct Module;

namespace fast {

// A number the fast path computes with: an exact int small enough to be
// exact as a double, or an exact float (a bool counts as an int).
struct Num {
    double v = 0.0;
    bool is_int = true;
};

// `o` as a Num, or false for any other object.
inline bool num(py::Handle o, Num& out) noexcept {
    PyObject* p = o.get();
    if (PyFloat_CheckExact(p)) {
        out = Num{PyFloat_AS_DOUBLE(p), false};
        return true;
    }
    if (PyBool_Check(p)) {
        out = Num{p == Py_True ? 1.0 : 0.0, true};
        return true;
    }
    long long v;
    if (py::small_int(o, v) && v <= (1LL << 53) && v >= -(1LL << 53)) {
        out = Num{double(v), true};
        return true;
    }
    return false;
}

// dict[key] as a borrowed reference, NULL when absent; an error (cleared)
// sets `failed`.  Exact dicts only.
inline PyObject* lookup(PyObject* dict, PyObject* key, bool& failed) noexcept {
    PyObject* v = nullptr;
    int r = PyDict_GetItemRef(dict, key, &v);
    if (r < 0) {
        PyErr_Clear();
        failed = true;
        return nullptr;
    }
    if (r == 0) return nullptr;
    Py_DECREF(v);  // the dict keeps it
    return v;
}

// The routing modes, as the capacity gate tells them apart.
enum class Mode : unsigned char { MaxConcurrency, QueueAll, Superfast, Hybrid, Other };

// What was read at the last change of anything watched.
struct Facts {
    bool valid = false;  // watchers are in place and what follows was read

    // Per class: a bit per method (its position in the class table) that
    // resolves to the module's own implementation through the class.
    uint64_t lb_own = 0, waiter_own = 0, lease_own = 0;
    // LoadBalancer reads its attributes through generic attribute access and
    // no class attribute is named like one of its instance attributes: the
    // instance dict is then exactly what `self.<attr>` reads.
    bool lb_plain = false;
    // _Waiter is the module's own dataclass, unchanged: building one is
    // setting its six fields.
    bool waiter_plain = false;

    // `time.monotonic` / `time.time` through the module's `time` are the
    // interpreter's own: the clock is read natively.
    bool native_clock = false;
    // asyncio.get_running_loop / current_task / wait_for are the originals.
    bool native_asyncio = false;
    // asyncio.Lock is the original class, its methods unchanged.
    bool native_lock = false;

    // Module globals the fast path uses, when they are plain values.
    bool knobs = false;  // all of the numbers below are Nums
    Num superfast_cap, hybrid_inflight, hybrid_rate, hybrid_window, hybrid_exit_ratio;
    Num queue_ttl, queue_all_ttl, queue_depth, queue_all_depth, queue_boost;
    int queue_enabled = -1;  // truth of QUEUE_ENABLED, -1 when not a bool or int
    py::Ref mode_max_concurrency, mode_queue_all, mode_superfast, mode_hybrid;  // exact strs or NULL
    py::Ref algo_sticky, algo_least_conn, algo_default, algo_valid;             // exact strs / set or NULL
    bool own_normalizer = false;  // normalize_lb_algorithm is the module's own
    py::Ref deque_type;           // the `deque` global

    int traverse(visitproc visit, void* arg) const;
    void clear();

    // The routing mode `mode` (an instance's `_routing_mode`), or false when
    // it is not an exact str.
    bool mode_of(py::Handle mode, Mode& out) const;
};

// The attributes a LoadBalancer instance is made of, in constructor order.
enum Attr : unsigned char {
    kInflight, kWrr, kLocks, kPoolLastAccess, kWaiters, kAllWaiters, kDispatchCounts, kLastDispatchTs,
    kRejectCounts, kQueueWaitSamples, kRoutingMode, kPoolDispatchWindows, kPoolHotState, kHeldSlots, kAttrCount
};
extern const py::Name* const kAttrNames[kAttrCount];

// What one instance's dict held when it was last read: valid while nothing
// was written to it (its dict is watched: see adopt).
struct View {
    PyObject* dict = nullptr;  // borrowed, identity only
    uint64_t epoch = 0;        // `instance_epoch` when read
    uint64_t overridden = 0;   // a bit per LoadBalancer method found in the dict
    PyObject* attrs[kAttrCount] = {};  // borrowed from the dict
};

// Bumped by the watcher of the instances' dicts at every change.
inline uint64_t instance_epoch = 1;

// Register the watchers (once per process) and watch what `m` relies on.
void watch(Module& m);

// Give a new LoadBalancer a dict of its own and watch it, so that the fast
// path can keep its View until something writes to it.  (A dict that shares
// the object's inline attribute storage does not report every write.)
void adopt(Module& m, py::Handle self);
// The View of the instance whose dict is `dict`, read again if it changed;
// NULL when `dict` is NULL, not an adopted one, or holds a key that is not
// an exact str (reading it could run Python code).
const View* view(Module& m, PyObject* dict) noexcept;

// The dict of `self` when it is an instance of the module's own class, else
// NULL.
PyObject* dict_of(Module& m, py::Handle self) noexcept;
// The View of `self` when it is an instance of the module's own class made
// by the module, else NULL.
const View* view_of(Module& m, py::Handle self) noexcept;
// The same when the class is plain (facts `f`).
const View* plain_view(Module& m, const Facts& f, py::Handle self) noexcept;

// self.<attribute> of a LoadBalancer: from its View when it has one (exact
// while the class defines no such attribute), else by attribute access.
py::Ref attr(Module& m, py::Handle self, Attr a);

// lb.increment(server_id) (delta +1) or lb.decrement(server_id) (delta -1,
// with its wake-up), computed natively from the View of a plain balancer
// made by the module whose method is its own, for an exact int or str id
// and an exact dict of counts whose count for the id is a plain int or
// absent; false, with nothing done, otherwise.  The call layer tries it
// first.
bool count(Module& m, py::Handle lb, py::Handle server_id, int delta);

// The facts, read again first when anything watched changed: `facts(m)`
// (module.h).

// The monotonic clock, as `time.monotonic()` through the module's `time`
// would read it: natively when that is the original, else by calling it.
py::Ref monotonic(Module& m);
// The wall clock, as `time.time()`.
py::Ref wall_clock(Module& m);

}  // namespace fast

}  // namespace lb
