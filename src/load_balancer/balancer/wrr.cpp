// Smooth weighted round-robin: per-pool current weights, picked under the
// pool's lock (held with the asynchronous context-manager protocol).
#include <climits>
#include <vector>

#include "balancer/methods.h"
#include "balancer/record.h"

namespace lb::LoadBalancer {
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

struct Entry {
    Ref record;
    Ref id;
};

// a + b / a - b for the current weights, which are floats in practice.
Ref add_weight(Handle cur, Handle w, double wd) {
    if (PyFloat_CheckExact(cur.get())) return py::new_float(PyFloat_AS_DOUBLE(cur.get()) + wd);
    return Ref::steal(PyNumber_Add(cur, w));
}
Ref sub_weight(Handle cur, double total) {
    if (PyFloat_CheckExact(cur.get())) return py::new_float(PyFloat_AS_DOUBLE(cur.get()) - total);
    return Ref::steal(PyNumber_InPlaceSubtract(cur, py::new_float(total)));
}

// The tie-break key -id: kept as a machine integer when the id is a plain
// int that fits, else as the object `-id` evaluates to.
struct NegId {
    long long v = 0;
    Ref obj;

    static NegId of(Handle id) {
        NegId n;
        long long x;
        if (py::small_int(id, x) && x != LLONG_MIN) {
            n.v = -x;
            return n;
        }
        n.obj = Ref::steal(PyNumber_Negative(id));
        return n;
    }
    Ref ref() const { return obj ? obj : py::new_int(v); }
};

// Tuple comparison (cw_a, nid_a) > (cw_b, nid_b).
bool key_greater(Handle cw_a, const NegId& a, Handle cw_b, const NegId& b) {
    bool equal;
    if (PyFloat_CheckExact(cw_a.get()) && PyFloat_CheckExact(cw_b.get())) {
        double x = PyFloat_AS_DOUBLE(cw_a), y = PyFloat_AS_DOUBLE(cw_b);
        equal = cw_a == cw_b || x == y;
        if (!equal) return x > y;
    } else {
        equal = py::compare(cw_a, cw_b, Py_EQ);
        if (!equal) return py::compare(cw_a, cw_b, Py_GT);
    }
    if (!a.obj && !b.obj) return a.v > b.v;
    Ref x = a.ref(), y = b.ref();
    if (py::compare(x, y, Py_EQ)) return false;
    return py::compare(x, y, Py_GT);
}

// Drop the ids of `state` that are not the id of an eligible record:
// set(state) - {ids}, computed in full before anything is removed.
void prune(Handle state, const std::vector<Entry>& entries) {
    Ref ids = Ref::steal(PySet_New(nullptr));
    for (const Entry& e : entries) py::check_int(PySet_Add(ids, e.id));
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

    // Every eligible record's weight goes onto its current weight.
    Ref zero = py::new_float(0.0);
    double total = 0.0;
    std::vector<Entry> entries;
    if (PyList_CheckExact(eligible.get())) entries.reserve(size_t(PyList_GET_SIZE(eligible.get())));
    py::for_each(eligible, [&](Handle s) {
        Ref w = record::pick_weight(s);
        double wd = PyFloat_AS_DOUBLE(w.get());
        total += wd;
        Ref id = record::id(s);
        Ref cur = py::get(state, id, zero);
        py::setitem(state, id, add_weight(cur, w, wd));
        entries.push_back(Entry{Ref::borrow(s), std::move(id)});
    });

    // The highest current weight wins; ties go to the smallest id, then to
    // the first listed.
    const Entry* winner = nullptr;
    Ref best_cw;
    NegId best_nid;
    for (const Entry& e : entries) {
        Ref cw = py::get(state, e.id, zero);
        NegId nid = NegId::of(e.id);
        if (!winner || key_greater(cw, nid, best_cw, best_nid)) {
            winner = &e;
            best_cw = std::move(cw);
            best_nid = std::move(nid);
        }
    }
    if (!winner) py::raise(PyExc_ValueError, "max() iterable argument is empty");
    chosen = winner->record;

    Ref cur = py::getitem(state, winner->id);
    py::setitem(state, winner->id, sub_weight(cur, total));

    prune(state, entries);

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

}  // namespace lb::LoadBalancer
