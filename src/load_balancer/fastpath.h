// What the native fast path may assume, and how it knows.
//
// The by-name protocol defines every behaviour: internal methods are reached
// through attribute lookup and module globals are read at the moment of use.
// The fast path computes the same results natively while nothing it relies on
// is overridden, and while nothing it reads can run Python code.  It knows
// that cheaply:
//   - dict watchers on the module namespace and on the namespaces of `time`
//     and `asyncio`, and type watchers on LoadBalancer, _Waiter,
//     InflightLease and asyncio.Lock, only count changes (`epoch`);
//   - the next call after a change reads everything again into `Facts`
//     (which methods are still the module's own, the knobs as numbers,
//     whether the clock and the asyncio functions are the originals);
//   - a LoadBalancer made by the module has a watched dict of its own, read
//     once per change into its `View` (`instance_epoch`), and the tables it
//     holds are watched too: a key whose hash or equality could run code (a
//     key that is not a plain int, str or pool key) takes the instance off
//     the fast path until it is gone.
// Without watchers the facts are never valid, and every decision takes the
// step-by-step path (whose calls still resolve natively one by one).
//
// This header holds only that state; the watchers live in
// balancer/watchers.cpp, the decisions in the files of their rules.
#pragma once

#include <cstdint>

#include "names.h"
#include "py/function.h"

namespace lb {

struct Module;

namespace fast {

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
    // interpreter's own: the clock is read natively, and reading it runs no
    // code.  Otherwise the decisions read it where the steps do.
    bool native_clock = false;
    // asyncio.get_running_loop / current_task / wait_for are the originals.
    bool native_asyncio = false;
    // asyncio.Lock is the original class, its methods unchanged.
    bool native_lock = false;

    // Module globals the fast path uses, when they are plain values.
    bool knobs = false;  // all of the numbers below are Nums
    py::Num superfast_cap, hybrid_inflight, hybrid_rate, hybrid_window, hybrid_exit_ratio;
    py::Num queue_ttl, queue_all_ttl, queue_depth, queue_all_depth, queue_boost;
    int queue_enabled = -1;  // truth of QUEUE_ENABLED, -1 when not a bool or int
    py::Ref mode_max_concurrency, mode_queue_all, mode_superfast, mode_hybrid;  // exact strs or NULL
    // The algorithm names (exact strs) and their vocabulary (an exact set or
    // frozenset of exact strs), or NULL.
    py::Ref algo_sticky, algo_least_conn, algo_default, algo_valid;
    bool own_normalizer = false;  // normalize_lb_algorithm is the module's own
    py::Ref deque_type;           // the `deque` global

    int traverse(visitproc visit, void* arg) const;
    void clear();
};

// The attributes a LoadBalancer instance is made of, in constructor order.
enum Attr : unsigned char {
    kInflight, kWrr, kLocks, kPoolLastAccess, kWaiters, kAllWaiters, kDispatchCounts, kLastDispatchTs,
    kRejectCounts, kQueueWaitSamples, kRoutingMode, kPoolDispatchWindows, kPoolHotState, kHeldSlots, kLimits,
    kAttrCount
};
extern const py::Name* const kAttrNames[kAttrCount];

// What one instance's dict held when it was last read: valid while nothing
// was written to it nor a key that is not plain added to one of its tables.
// There is one View per module, for the instance read last: a decision
// copies what it uses (see Inst) before anything can read another.
struct View {
    PyObject* dict = nullptr;  // borrowed, identity only
    uint64_t epoch = 0;        // `instance_epoch` when read
    uint64_t overridden = 0;   // a bit per LoadBalancer method found in the dict
    PyObject* attrs[kAttrCount] = {};  // borrowed from the dict
    // Every table that is a dict holds plain keys only: looking an id or a
    // pool key up in it runs no code.
    bool plain_tables = false;
};

// Bumped by the watchers at every change of anything watched.
inline uint64_t epoch = 1;
// Bumped at every change of an adopted instance's dict, and whenever one of
// its tables gets a key that is not plain.
inline uint64_t instance_epoch = 1;

// The fast path's part of the module state.
struct State {
    Module* owner = nullptr;
    Facts facts;
    uint64_t facts_epoch = 0;
    View view;
    py::Ref plain_key;  // the last pool key found plain (immutable, so it stays plain)

    int traverse(visitproc visit, void* arg) const;
    void clear();
};

// The facts, read again first when anything watched changed.
const Facts& revalidate(State& s);
inline const Facts& facts(State& s) { return s.facts_epoch == epoch ? s.facts : revalidate(s); }

// Register the watchers (once per process) and watch what `m` relies on.
void watch(Module& m);

// Give a new LoadBalancer a dict of its own and watch it, so that the fast
// path can keep its View until something writes to it.  (A dict that shares
// the object's inline attribute storage does not report every write.)
void adopt(Module& m, py::Handle self);

// The View of `self` when it is a plain instance of the module's own class
// made by the module (facts valid and plain), read again if it changed;
// else NULL.
const View* view_of(Module& m, py::Handle self) noexcept;

// Whether a key's hash and equality run no code: None, a bool, an exact
// int, float or str, or an exact tuple or frozenset of those (a tuple may
// hold frozensets).
bool plain_key(PyObject* key) noexcept;
// Whether every member of the exact set or frozenset `set` is a plain key.
bool plain_members(PyObject* set) noexcept;

// lb.increment(server_id) (delta +1) or lb.decrement(server_id) (delta -1,
// with its wake-up), computed natively for a plain balancer made by the
// module whose method is its own, for an exact int or str id and an exact
// dict of counts whose count for the id is a plain int or absent; false,
// with nothing done, otherwise.  The call layer tries it first.
bool count(Module& m, py::Handle lb, py::Handle server_id, int delta);

// The monotonic clock, as `time.monotonic()` through the module's `time`
// would read it: natively when that is the original, else by calling it.
py::Ref monotonic(Module& m);
// The wall clock, as `time.time()`.
py::Ref wall_clock(Module& m);

}  // namespace fast

}  // namespace lb
