// Smooth weighted round-robin: per-pool current weights, picked under the
// pool's lock (held with the asynchronous context-manager protocol).  One
// round of the algorithm is one function template, which the step below runs
// on the pool's objects and the native pick (at the end) on plain numbers.
#include <array>
#include <cstdint>
#include <unordered_set>
#include <utility>
#include <vector>

#include "balancer/methods.h"
#include "balancer/native.h"
#include "balancer/record.h"
#include "py/value.h"

namespace lb {

namespace rr {
namespace {

using py::same;
using py::truth;


// Whether a backend keyed (current weight, -id) beats the best so far: the
// higher current weight, then the smaller id; `max` keeps the first of
// equal keys.
template <class W, class I>
bool beats(const W& cw, const I& neg_id, const W& best_cw, const I& best_neg_id) {
    if (!same(cw, best_cw)) return truth(cw > best_cw);
    if (same(neg_id, best_neg_id)) return false;
    return truth(neg_id > best_neg_id);
}

// One round over `n` eligible backends (n > 0), in order: `add(k)` puts
// backend k's weight onto its current weight and returns the weight;
// `key(k)` gives (current weight, -id) of backend k once all are added;
// `settle(k, total)` takes the sum of the weights off the winner's current
// weight.  Returns the winner.
template <class Add, class Key, class Settle>
size_t round(size_t n, Add&& add, Key&& key, Settle&& settle) {
    double total = 0.0;
    for (size_t k = 0; k < n; ++k) total += add(k);
    size_t best = 0;
    auto best_key = key(0);
    for (size_t k = 1; k < n; ++k) {
        auto candidate = key(k);
        if (beats(candidate.first, candidate.second, best_key.first, best_key.second)) {
            best = k;
            best_key = std::move(candidate);
        }
    }
    settle(best, total);
    return best;
}

// -id of a plain id, as a value that compares like it (without overflow).
struct NegId {
    long long id;
    friend bool operator==(NegId a, NegId b) { return a.id == b.id; }
    friend bool operator>(NegId a, NegId b) { return a.id < b.id; }
};

}  // namespace
}  // namespace rr

namespace LoadBalancer {
namespace {

py::Name n_aenter{"__aenter__"}, n_aexit{"__aexit__"}, n_setdefault{"setdefault"};

// ---- the asynchronous context-manager protocol -----------------------------

// A special method looked up on the type, as the interpreter does for
// `async with`.  Plain functions are kept unbound (`owner` is passed as the
// first argument); other descriptors are bound to the object.
struct Special {
    Ref fn;
    PyObject* owner = nullptr;  // borrowed: the frame holds the object itself

    explicit operator bool() const { return bool(fn); }

    template <class... A>
    Ref operator()(A... args) const {
        if (owner) return py::call(fn, owner, args...);
        return py::call(fn, args...);
    }
};

Special lookup_special(Handle obj, Handle name) {
    Special s;
    PyTypeObject* type = obj.type();
    PyObject* descr = _PyType_Lookup(type, name);  // borrowed
    if (!descr) return s;
    Ref hold = Ref::borrow(descr);
    if (PyType_HasFeature(Py_TYPE(descr), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
        s.fn = std::move(hold);
        s.owner = obj;
    } else if (descrgetfunc get = Py_TYPE(descr)->tp_descr_get) {
        s.fn = Ref::steal(get(descr, obj, reinterpret_cast<PyObject*>(type)));
    } else {
        s.fn = std::move(hold);
    }
    return s;
}

// What `await` accepts; anything else is reported as `async with` reports it.
void require_awaitable(Handle o, const char* method) {
    if (!py::awaitable(o))
        py::raisef(PyExc_TypeError,
                   "'async with' received an object from %s that does not implement __await__: %.100s", method,
                   o.type()->tp_name);
}

// ---- the pick ---------------------------------------------------------------

// Drop the ids of `state` that are not the id of an eligible record:
// set(state) - {ids}, computed in full before anything is removed.
void prune(Handle state, Handle ids) {
    // Every eligible id is a key of `state` by now: equal sizes mean nothing
    // is stale.
    if (PyDict_CheckExact(state.get()) && PyDict_GET_SIZE(state.get()) == PySet_GET_SIZE(ids.get())) return;
    Ref keys = Ref::steal(PySet_New(state));
    Ref stale = Ref::steal(PyNumber_Subtract(keys, ids));
    py::for_each(stale, [&](Handle k) { py::discard_key(state, k); });
}

// Steps of one pick taken while the pool's lock is held.  `chosen` is set as
// soon as it is chosen, so that it is known even if a later step fails.
void pick_locked(const Call& c, Handle self, Handle pool_key, Handle eligible, Ref& chosen) {
    // state = self._wrr.setdefault(pool_key, {})
    Ref wrr = attr(self, names::_wrr);
    Ref state;
    if (PyDict_CheckExact(wrr.get())) {
        PyObject* found = nullptr;
        if (py::check_int(PyDict_GetItemRef(wrr, pool_key, &found))) {
            state = Ref::steal(found);
        } else {
            state = py::new_dict();
            py::check_int(PyDict_SetItem(wrr, pool_key, state));
        }
    } else {
        state = py::call_method(wrr, n_setdefault, pool_key, py::new_dict());
    }

    std::vector<std::pair<Ref, Ref>> entries;  // (record, id)
    py::for_each(eligible, [&](Handle s) { entries.emplace_back(Ref::borrow(s), Ref()); });
    if (entries.empty()) py::raise(PyExc_ValueError, "max() iterable argument is empty");
    const py::Value zero(py::new_float(0.0));
    rr::round(
        entries.size(),
        [&](size_t k) {
            py::Value w = record::pick_weight(entries[k].first);
            const double wd = PyFloat_AS_DOUBLE(w.handle().get());
            entries[k].second = record::id(entries[k].first);
            py::Value cur = py::get(state, entries[k].second, zero.handle());
            py::setitem(state, entries[k].second, (cur + w).handle());
            return wd;
        },
        [&](size_t k) {
            Handle id = entries[k].second;
            return std::pair{py::Value(py::get(state, id, zero.handle())),
                             py::Value(Ref::steal(PyNumber_Negative(id)))};
        },
        [&](size_t k, double total) {
            chosen = entries[k].first;
            Handle id = entries[k].second;
            Ref cur = py::getitem(state, id);
            py::setitem(state, id, Ref::steal(PyNumber_InPlaceSubtract(cur, py::new_float(total))));
        });

    Ref ids = Ref::steal(PySet_New(nullptr));
    for (auto& [record, id] : entries) py::check_int(PySet_Add(ids, id));
    prune(state, ids);

    py::setitem(attr(self, names::_pool_last_access), pool_key, monotonic(c));
}

// `_wrr_pick` as a coroutine: enter the pool lock, pick, leave the lock.
struct WrrPickFrame final : py::Frame {
    enum class At : unsigned char { Start, Entering, Leaving, LeavingOnError };

    Context c_;  // the module and method this frame runs
    Call c() const { return c_; }
    Ref self, pool_key, eligible;
    Ref lock, aexit_fn, winner;
    Ref outer;  // the exception handled around the block, once the pick failed
    bool aexit_unbound = false;
    At at = At::Start;

    Special aexit() const {
        Special s;
        s.fn = aexit_fn;
        s.owner = aexit_unbound ? lock.get() : nullptr;
        return s;
    }

    py::Step resume(PyObject* sent) override {
        switch (at) {
            case At::Start:
                return enter();
            case At::Entering:
                // The lock was not acquired (error or cancellation while
                // waiting): there is nothing to leave.
                if (!sent) throw py::Error{};
                return body();
            case At::Leaving:
                if (!sent) throw py::Error{};
                return py::Step::done(std::move(winner));
            case At::LeavingOnError:
                return after_error_exit(sent);
        }
        py::raise(PyExc_SystemError, "invalid round-robin pick state");
    }

    py::Step enter() {
        lock = call::lock_for(c(), self, pool_key);
        Special aenter = lookup_special(lock, n_aenter);
        if (!aenter)
            py::raisef(PyExc_TypeError, "'%.200s' object does not support the asynchronous context manager protocol",
                       lock->ob_type->tp_name);
        Special aexit = lookup_special(lock, n_aexit);
        if (!aexit)
            py::raisef(PyExc_TypeError,
                       "'%.200s' object does not support the asynchronous context manager protocol "
                       "(missed __aexit__ method)",
                       lock->ob_type->tp_name);
        aexit_fn = std::move(aexit.fn);
        aexit_unbound = aexit.owner != nullptr;
        Ref awaitable = aenter();
        require_awaitable(awaitable, "__aenter__");
        at = At::Entering;
        return py::Step::await(std::move(awaitable));
    }

    py::Step body() {
        try {
            pick_locked(c(), self, pool_key, eligible, winner);
        } catch (const py::Error&) {
            return leave_on_error();
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return leave_on_error();
        }
        Ref awaitable = aexit()(Py_None, Py_None, Py_None);
        require_awaitable(awaitable, "__aexit__");
        at = At::Leaving;
        return py::Step::await(std::move(awaitable));
    }

    // __aexit__(type, exc, tb) for the exception that the pick raised; that
    // exception is being handled until the lock is left, so whatever leaving
    // raises is chained to it.  The exception handled around the block (if
    // any) is kept for what a suppressed error leaves to be raised.
    py::Step leave_on_error() {
        handling = py::Exc::fetch().take();
        outer = Ref::steal_or_null(PyErr_GetHandledException());
        py::Handling h(handling);
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(handling.get()));
        Ref tb = Ref::steal_or_null(PyException_GetTraceback(handling));
        Ref awaitable = aexit()(type, handling, tb ? Handle(tb) : Handle(Py_None));
        require_awaitable(awaitable, "__aexit__");
        at = At::LeavingOnError;
        return py::Step::await(std::move(awaitable));
    }

    py::Step after_error_exit(PyObject* sent) {
        if (!sent) throw py::Error{};
        // The pick's error is still being handled here (the engine made it
        // current): an error of the truth test is chained to it.
        if (py::truthy(sent)) {
            // Suppressed: execution goes on after the block, where that error
            // is no longer handled, and returns the winner.
            handling.reset();
            if (!winner) {
                PyErr_SetString(PyExc_UnboundLocalError,
                                "cannot access local variable 'winner' where it is not associated with a value");
                // Raised while the engine still has the pick's error current:
                // chain it to what is handled around the block instead.
                py::Exc exc = py::Exc::fetch();
                PyException_SetContext(exc.get(), outer.release());
                exc.raise();
            }
            return py::Step::done(std::move(winner));
        }
        PyErr_SetRaisedException(handling.release());
        throw py::Error{};
    }

    PY_FRAME_REFS(self, pool_key, eligible, lock, aexit_fn, winner, outer)
};

}  // namespace

Ref _wrr_pick(const Call& c, Handle self, Handle pool_key, Handle eligible) {
    auto [coro, frame] = py::make_coroutine<WrrPickFrame>(c);
    frame.c_ = Context(c);
    frame.self = Ref::borrow(self);
    frame.pool_key = Ref::borrow(pool_key);
    frame.eligible = Ref::borrow(eligible);
    return std::move(coro);
}

}  // namespace LoadBalancer

// ---- the native pick ----------------------------------------------------------------

namespace fast {
namespace {

bool exact_deque(const Module& m, PyObject* o) { return reinterpret_cast<PyObject*>(Py_TYPE(o)) == m.deque_class.get(); }

// Store `v` as the value of `key` in `d` (an exact dict): a float that only
// the dict holds is updated in place, which nobody can tell from a new one.
void set_float(PyObject* d, PyObject* key, PyObject* cur, double v) {
    if (cur && PyFloat_CheckExact(cur) && Py_REFCNT(cur) == 1) {
        reinterpret_cast<PyFloatObject*>(cur)->ob_fval = v;
        return;
    }
    py::check_int(PyDict_SetItem(d, key, py::new_float(v)));
}

// How many different ids the eligible records have.
size_t distinct_ids(const Recs& recs, const Small<size_t>& eligible) {
    const size_t n = eligible.size();
    if (n > 128) {
        std::unordered_set<long long> seen;
        for (size_t k = 0; k < n; ++k) seen.insert(recs[eligible[k]].id_v);
        return seen.size();
    }
    // Open addressing in a table at least twice the size of the input.
    constexpr size_t kSlots = 256;
    std::array<long long, kSlots> slot;
    std::array<bool, kSlots> used{};
    size_t count = 0;
    for (size_t k = 0; k < n; ++k) {
        long long id = recs[eligible[k]].id_v;
        size_t h = size_t(uint64_t(id) * 0x9E3779B97F4A7C15ULL >> 56);
        while (used[h] && slot[h] != id) h = (h + 1) % kSlots;
        if (!used[h]) {
            used[h] = true;
            slot[h] = id;
            ++count;
        }
    }
    return count;
}

}  // namespace

bool wrr_pick(const Inst& inst, const Key& pool_key, const Recs& recs, const Small<size_t>& eligible, const Now& now,
              size_t& out) {
    Module& m = *inst.m;
    if (!inst.f->native_lock) return false;
    PyObject* locks = inst.dict(kLocks);
    PyObject* wrr = inst.dict(kWrr);
    if (!locks || !wrr) return false;
    bool failed = false;

    // The lock: exact, free, nobody waiting, no instance-level override.
    // Its attributes are read in one walk of its dict (no look-up, so no
    // key's comparison can run code).
    Ref lock = Ref::borrow(pool_key.in(locks, failed));
    if (!lock || reinterpret_cast<PyObject*>(Py_TYPE(lock.get())) != m.lock_type.get()) return false;
    PyObject** ldp = _PyObject_GetDictPtr(lock);
    if (!ldp || !*ldp || !PyDict_CheckExact(*ldp)) return PyErr_Clear(), false;
    Fields<5> lock_fields({&names::_locked, &names::_waiters, &names::acquire, &names::release, &names::_wake_up_first});
    std::array<PyObject*, 5> lf;
    if (!lock_fields.read(*ldp, lf)) return false;
    PyObject *locked = lf[0], *waiters = lf[1];
    if (locked != Py_False || !waiters || lf[2] || lf[3] || lf[4]) return false;
    if (waiters != Py_None && (!exact_deque(m, waiters) || PySequence_Size(waiters) != 0)) return PyErr_Clear(), false;

    // The pool's state: current weights that are plain numbers (its keys are
    // plain: the View's tables hold it).
    Ref state = Ref::borrow(pool_key.in(wrr, failed));
    if (failed || (state && !PyDict_CheckExact(state.get()))) return false;
    const size_t n = eligible.size();
    Small<double, 64> value;
    for (size_t k = 0; k < n; ++k) {
        py::Num v{0.0, false};
        PyObject* cur = state ? lookup(state, recs[eligible[k]].id, failed) : nullptr;
        if (failed || (cur && !py::num(cur, v))) return false;
        value.push_back(v.v);
    }

    // state = self._wrr.setdefault(pool_key, {})
    if (!state) {
        state = py::new_dict();
        pool_key.set(wrr, state);
    }

    // An id listed twice gets its weight twice: then the dict holds the
    // running values, and is read.
    const size_t distinct = distinct_ids(recs, eligible);
    const bool repeated = distinct != n;
    const size_t best = rr::round(
        n,
        [&](size_t k) {
            const Rec& r = recs[eligible[k]];
            PyObject* cur = lookup(state, r.id, failed);
            if (repeated) {
                py::Num v{0.0, false};
                if (cur) py::num(cur, v);
                value[k] = v.v;
            }
            value[k] += r.weight;
            set_float(state, r.id, cur, value[k]);
            return r.weight;
        },
        [&](size_t k) {
            const Rec& r = recs[eligible[k]];
            double cw = repeated ? PyFloat_AS_DOUBLE(lookup(state, r.id, failed)) : value[k];
            return std::pair{cw, rr::NegId{r.id_v}};
        },
        [&](size_t k, double total) {
            const Rec& r = recs[eligible[k]];
            PyObject* cur = lookup(state, r.id, failed);
            set_float(state, r.id, cur, PyFloat_AS_DOUBLE(cur) - total);
        });

    // Drop the ids that are not eligible any more: every eligible id is a
    // key by now, so there are stale ones exactly when the state has more
    // keys than there are distinct eligible ids.
    if (size_t(PyDict_GET_SIZE(state.get())) > distinct) {
        Ref ids = Ref::steal(PySet_New(nullptr));
        for (size_t k = 0; k < n; ++k) py::check_int(PySet_Add(ids, recs[eligible[k]].id));
        LoadBalancer::prune(state, ids);
    }

    // self._pool_last_access[pool_key] = time.monotonic(): the table as the
    // step reads it, and the clock read here when it is a replaced one.
    pool_key.set(inst.current(kPoolLastAccess), now.replaced ? fast::monotonic(m) : now.obj);
    out = eligible[best];
    return true;
}

}  // namespace fast

}  // namespace lb
