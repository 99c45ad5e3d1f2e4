// The state of one executed module, and what every file of the module uses
// from it: the clock, the logger and instance attributes.
#pragma once

#include "fastpath.h"
#include "names.h"
#include "py/function.h"
#include "py/ops.h"
#include "py/ref.h"

namespace lb {

// The interop layer's three names every file of the module uses.
using py::Call;
using py::Handle;
using py::Ref;

// Objects the module creates once, when it executes, and keeps in its state
// (no function-local static ever calls into Python).  Every reference it
// holds is listed in `for_each_ref`, through which the collector sees it.
struct Module {
    PyObject* module = nullptr;  // borrowed: this state lives inside it
    PyObject* dict = nullptr;    // its namespace (owned by the module)

    // Keyword-name tuples of the calls the module makes.
    py::Ref kw_pool_key;       // ("pool_key",)
    py::Ref kw_maxlen;         // ("maxlen",)
    py::Ref kw_timeout;        // ("timeout",)
    py::Ref kw_waiter_fields;  // the six _Waiter fields, in order

    // Builtins the algorithms are defined by.
    py::Ref builtin_sum, builtin_round;

    // The module's own classes, and the originals of what the fast path
    // relies on, captured when the module executes.
    py::Ref lb_type, waiter_type, lease_type;
    py::Ref deque_class;  // collections.deque
    py::Ref deque_append, deque_popleft;  // its methods
    py::Ref waiter_init;  // the __init__ the dataclass generated for _Waiter
    py::Ref time_module, time_monotonic, time_time;
    py::Ref asyncio_module, get_running_loop, current_task, wait_for;
    py::Ref lock_type, lock_acquire, lock_release, lock_wake_up_first, lock_aenter, lock_aexit;

    // What the fast path knows (fastpath.h).
    fast::State fast;
    // Pool labels of the snapshot, by pool key.
    py::Ref label_cache;
    // How many decisions the native path computed, by kind (a diagnostic,
    // read by _native_decisions()).
    struct NativeCounts {
        uint64_t select = 0, wait_for_slot = 0, snapshot = 0, count = 0;
    } native_counts;

    // Constants.
    py::Ref empty_ids;   // frozenset(): an absent or empty sin-bin
    py::Ref zero_float;  // 0.0
    py::Ref empty_str;   // ""

    // The context a function of this module runs with.
    py::Call call(const py::Method& m) const {
        return py::Call{py::Globals(dict), &m, const_cast<Module*>(this), module};
    }

    // Calls `f(refs...)` with every reference member: the one list that
    // traverse and clear share.  (The facts hold references of their own.)
    template <class F>
    decltype(auto) for_each_ref(F&& f) {
        return f(kw_pool_key, kw_maxlen, kw_timeout, kw_waiter_fields, builtin_sum, builtin_round, lb_type,
                 waiter_type, lease_type, deque_class, deque_append, deque_popleft, waiter_init, time_module,
                 time_monotonic, time_time, asyncio_module, get_running_loop, current_task, wait_for, lock_type,
                 lock_acquire, lock_release, lock_wake_up_first, lock_aenter, lock_aexit, label_cache,
                 empty_ids, zero_float, empty_str);
    }

    int traverse(visitproc visit, void* arg) {
        if (int r = for_each_ref([&](const auto&... refs) { return py::visit_all(visit, arg, refs...); })) return r;
        return fast.traverse(visit, arg);
    }
    void clear() {
        for_each_ref([](auto&... refs) { py::clear_all(refs...); });
        fast.clear();
    }
};

// The class bodies, in definition order (startup.cpp).
extern const std::initializer_list<py::Method*> kLoadBalancerBody;
extern const std::initializer_list<py::Method*> kWaiterBody;
extern const std::initializer_list<py::Method*> kLeaseBody;

inline Module& module_of(const py::Call& c) { return *static_cast<Module*>(c.state); }

// What a coroutine frame keeps of its call: the module and the method (the
// rest of a py::Call is derived from them).
struct Context {
    Context() = default;
    explicit Context(const py::Call& c) : m(&module_of(c)), def(c.def) {}
    operator py::Call() const { return m->call(*def); }
    Module* m = nullptr;
    const py::Method* def = nullptr;
};

// time.monotonic(), with `time` read from the module namespace (read
// natively while that is the interpreter's own clock: fast::monotonic).
inline py::Ref monotonic(const py::Call& c) { return fast::monotonic(module_of(c)); }

// time.time(), likewise.
inline py::Ref wall_clock(const py::Call& c) { return fast::wall_clock(module_of(c)); }

// logger.<level>(fmt, *args) through the module's current `logger`.
template <class... A>
inline void log(const py::Call& c, const py::Name& level, const char* fmt, A... args) {
    py::Ref msg = py::Ref::steal(PyUnicode_FromString(fmt));
    py::call_method(c.g.get(names::logger), level, msg, args...);
}

// self.attr, read at the moment of use.
inline py::Ref attr(py::Handle self, const py::Name& name) { return py::getattr(self, name); }

}  // namespace lb
