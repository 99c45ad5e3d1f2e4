// Smooth weighted round-robin: per-pool current weights, picked under the
// pool's lock (held with the asynchronous context-manager protocol).
#include <climits>
#include <vector>

#include "module.h"

namespace lb {
namespace {

py::Name n_aenter{"__aenter__"}, n_aexit{"__aexit__"}, n_setdefault{"setdefault"};

// ---- the asynchronous context-manager protocol -----------------------------

// A special method looked up on the type, as the interpreter does for
// `async with`.  Plain functions are kept unbound (`owner` is passed as the
// first argument); other descriptors are bound to the object.
struct Special {
    py::Ref fn;
    PyObject* owner = nullptr;  // borrowed: the frame holds the object itself

    explicit operator bool() const { return bool(fn); }

    template <class... A>
    py::Ref operator()(A... args) const {
        PyObject* argv[] = {nullptr, owner, static_cast<PyObject*>(args)...};
        PyObject** start = owner ? argv + 1 : argv + 2;
        size_t n = sizeof...(A) + (owner ? 1 : 0);
        return py::Ref::steal(PyObject_Vectorcall(fn.get(), start, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }
};

Special lookup_special(PyObject* obj, PyObject* name) {
    Special s;
    PyTypeObject* type = Py_TYPE(obj);
    PyObject* descr = _PyType_Lookup(type, name);  // borrowed
    if (!descr) return s;
    py::Ref hold = py::Ref::borrow(descr);
    if (PyType_HasFeature(Py_TYPE(descr), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
        s.fn = std::move(hold);
        s.owner = obj;
    } else if (descrgetfunc get = Py_TYPE(descr)->tp_descr_get) {
        s.fn = py::Ref::steal(get(descr, obj, reinterpret_cast<PyObject*>(type)));
    } else {
        s.fn = std::move(hold);
    }
    return s;
}

// What `await` accepts; anything else is reported as `async with` reports it.
void require_awaitable(PyObject* o, const char* method) {
    if (PyCoro_CheckExact(o)) return;
    if (PyGen_CheckExact(o)) {
        PyCodeObject* code = PyGen_GetCode(reinterpret_cast<PyGenObject*>(o));
        bool iterable = code->co_flags & CO_ITERABLE_COROUTINE;
        Py_DECREF(code);
        if (iterable) return;
    }
    PyTypeObject* t = Py_TYPE(o);
    if (t->tp_as_async && t->tp_as_async->am_await) return;
    py::raisef(PyExc_TypeError,
               "'async with' received an object from %s that does not implement __await__: %.100s", method,
               t->tp_name);
}

// ---- the pick ---------------------------------------------------------------

struct Entry {
    py::Ref record;
    py::Ref id;
};

// float(s.get("weight") or 1.0)
py::Ref pick_weight(PyObject* s) {
    py::Ref raw = py::get(s, names::weight);
    if (!py::truthy(raw.get())) return py::new_float(1.0);
    return py::to_float(raw.get());
}

// a + b / a - b for the current weights, which are floats in practice.
py::Ref add_weight(PyObject* cur, PyObject* w, double wd) {
    if (PyFloat_CheckExact(cur)) return py::new_float(PyFloat_AS_DOUBLE(cur) + wd);
    return py::Ref::steal(PyNumber_Add(cur, w));
}
py::Ref sub_weight(PyObject* cur, double total) {
    if (PyFloat_CheckExact(cur)) return py::new_float(PyFloat_AS_DOUBLE(cur) - total);
    py::Ref t = py::new_float(total);
    return py::Ref::steal(PyNumber_InPlaceSubtract(cur, t.get()));
}

// The tie-break key -id: kept as a machine integer when the id is a plain
// int that fits, else as the object `-id` evaluates to.
struct NegId {
    long long v = 0;
    py::Ref obj;

    static NegId of(PyObject* id) {
        NegId n;
        if (PyLong_CheckExact(id)) {
            int overflow = 0;
            long long x = PyLong_AsLongLongAndOverflow(id, &overflow);
            if (!overflow && x != LLONG_MIN) {
                n.v = -x;
                return n;
            }
        }
        n.obj = py::Ref::steal(PyNumber_Negative(id));
        return n;
    }
    py::Ref ref() const { return obj ? obj : py::new_int(v); }
};

// Tuple comparison (cw_a, nid_a) > (cw_b, nid_b).
bool key_greater(PyObject* cw_a, const NegId& a, PyObject* cw_b, const NegId& b) {
    bool equal;
    if (PyFloat_CheckExact(cw_a) && PyFloat_CheckExact(cw_b)) {
        double x = PyFloat_AS_DOUBLE(cw_a), y = PyFloat_AS_DOUBLE(cw_b);
        equal = cw_a == cw_b || x == y;
        if (!equal) return x > y;
    } else {
        equal = py::compare(cw_a, cw_b, Py_EQ);
        if (!equal) return py::compare(cw_a, cw_b, Py_GT);
    }
    if (!a.obj && !b.obj) return a.v > b.v;
    py::Ref x = a.ref(), y = b.ref();
    if (py::compare(x.get(), y.get(), Py_EQ)) return false;
    return py::compare(x.get(), y.get(), Py_GT);
}

// Drop the ids of `state` that are not the id of an eligible record:
// set(state) - {ids}, computed in full before anything is removed.
void prune(PyObject* state, const std::vector<Entry>& entries) {
    py::Ref ids = py::Ref::steal(PySet_New(nullptr));
    for (const Entry& e : entries) py::check_int(PySet_Add(ids.get(), e.id.get()));
    // Every eligible id is a key of `state` by now: equal sizes mean nothing
    // is stale.
    if (PyDict_CheckExact(state) && PyDict_GET_SIZE(state) == PySet_GET_SIZE(ids.get())) return;
    py::Ref keys = py::Ref::steal(PySet_New(state));
    py::Ref stale = py::Ref::steal(PyNumber_Subtract(keys.get(), ids.get()));
    py::for_each(stale.get(), [&](PyObject* k) { py::discard_key(state, k); });
}

// Steps of one pick taken while the pool's lock is held.  `chosen` is set as
// soon as it is chosen, so that it is known even if a later step fails.
void pick_locked(const py::Globals& g, PyObject* self, PyObject* pool_key, PyObject* eligible, py::Ref& chosen) {
    // state = self._wrr.setdefault(pool_key, {})
    py::Ref wrr = attr(self, names::_wrr);
    py::Ref state;
    if (PyDict_CheckExact(wrr.get())) {
        PyObject* found = nullptr;
        if (py::check_int(PyDict_GetItemRef(wrr.get(), pool_key, &found))) {
            state = py::Ref::steal(found);
        } else {
            state = py::Ref::steal(PyDict_New());
            py::check_int(PyDict_SetItem(wrr.get(), pool_key, state.get()));
        }
    } else {
        py::Ref fresh = py::Ref::steal(PyDict_New());
        state = py::call_method(wrr.get(), n_setdefault, pool_key, fresh.get());
    }

    // Every eligible record's weight goes onto its current weight.
    py::Ref zero = py::new_float(0.0);
    double total = 0.0;
    std::vector<Entry> entries;
    if (PyList_CheckExact(eligible)) entries.reserve(size_t(PyList_GET_SIZE(eligible)));
    py::for_each(eligible, [&](PyObject* s) {
        py::Ref w = pick_weight(s);
        double wd = PyFloat_AS_DOUBLE(w.get());
        total += wd;
        py::Ref id = py::getitem(s, names::id);
        py::Ref cur = py::get(state.get(), id.get(), zero.get());
        py::setitem(state.get(), id.get(), add_weight(cur.get(), w.get(), wd).get());
        entries.push_back(Entry{py::Ref::borrow(s), std::move(id)});
    });

    // The highest current weight wins; ties go to the smallest id, then to
    // the first listed.
    const Entry* winner = nullptr;
    py::Ref best_cw;
    NegId best_nid;
    for (const Entry& e : entries) {
        py::Ref cw = py::get(state.get(), e.id.get(), zero.get());
        NegId nid = NegId::of(e.id.get());
        if (!winner || key_greater(cw.get(), nid, best_cw.get(), best_nid)) {
            winner = &e;
            best_cw = std::move(cw);
            best_nid = std::move(nid);
        }
    }
    if (!winner) py::raise(PyExc_ValueError, "max() iterable argument is empty");
    chosen = winner->record;

    py::Ref cur = py::getitem(state.get(), winner->id.get());
    py::setitem(state.get(), winner->id.get(), sub_weight(cur.get(), total).get());

    prune(state.get(), entries);

    py::Ref now = monotonic(g);
    py::setitem(attr(self, names::_pool_last_access).get(), pool_key, now.get());
}

// `_wrr_pick` as a coroutine: enter the pool lock, pick, leave the lock.
struct WrrPickFrame final : py::Frame {
    enum class At : unsigned char { Start, Entering, Leaving, LeavingOnError };

    py::Ref globals;  // the defining module's namespace
    py::Ref self, pool_key, eligible;
    py::Ref lock, aexit_fn, winner, error;
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
        lock = py::call_method(self.get(), names::_lock_for, pool_key.get());
        Special aenter = lookup_special(lock.get(), n_aenter);
        if (!aenter)
            py::raisef(PyExc_TypeError, "'%.200s' object does not support the asynchronous context manager protocol",
                       Py_TYPE(lock.get())->tp_name);
        Special aexit = lookup_special(lock.get(), n_aexit);
        if (!aexit)
            py::raisef(PyExc_TypeError,
                       "'%.200s' object does not support the asynchronous context manager protocol "
                       "(missed __aexit__ method)",
                       Py_TYPE(lock.get())->tp_name);
        aexit_fn = std::move(aexit.fn);
        aexit_unbound = aexit.owner != nullptr;
        py::Ref awaitable = aenter();
        require_awaitable(awaitable.get(), "__aenter__");
        at = At::Entering;
        return py::Step::await(std::move(awaitable));
    }

    py::Step body() {
        try {
            pick_locked(py::Globals(globals.get()), self.get(), pool_key.get(), eligible.get(), winner);
        } catch (const py::Error&) {
            return leave_on_error();
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return leave_on_error();
        }
        py::Ref awaitable = aexit()(Py_None, Py_None, Py_None);
        require_awaitable(awaitable.get(), "__aexit__");
        at = At::Leaving;
        return py::Step::await(std::move(awaitable));
    }

    // __aexit__(type, exc, tb) for the exception that the pick raised.
    py::Step leave_on_error() {
        error = py::Exc::fetch().ref();
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(error.get()));
        py::Ref tb = py::Ref::steal_or_null(PyException_GetTraceback(error.get()));
        py::Ref awaitable;
        try {
            awaitable = aexit()(type, error.get(), tb ? tb.get() : Py_None);
            require_awaitable(awaitable.get(), "__aexit__");
        } catch (const py::Error&) {
            raise_in_context();
        }
        at = At::LeavingOnError;
        return py::Step::await(std::move(awaitable));
    }

    py::Step after_error_exit(PyObject* sent) {
        if (!sent) raise_in_context();
        bool suppress;
        try {
            suppress = py::truthy(sent);
        } catch (const py::Error&) {
            raise_in_context();
        }
        if (suppress) {
            // Execution goes on after the block, which returns the winner.
            if (!winner)
                py::raise(PyExc_UnboundLocalError,
                          "cannot access local variable 'winner' where it is not associated with a value");
            return py::Step::done(std::move(winner));
        }
        PyErr_SetRaisedException(error.release());
        throw py::Error{};
    }

    // Re-raise the error that leaving the lock raised, chained to the
    // pick's own error as its context.
    [[noreturn]] void raise_in_context() {
        py::Exc exc = py::Exc::fetch();
        if (exc.get() && error && exc.get() != error.get()) {
            PyObject* ctx = PyException_GetContext(exc.get());
            if (ctx) {
                Py_DECREF(ctx);
            } else {
                // As the interpreter does, cut a link of the pick error's
                // context chain that would lead back to the new error.
                PyObject *o = error.get(), *slow = o;
                bool step_slow = false;
                while (PyObject* next = PyException_GetContext(o)) {
                    Py_DECREF(next);  // the chain keeps it alive
                    if (next == exc.get()) {
                        PyException_SetContext(o, nullptr);
                        break;
                    }
                    o = next;
                    if (o == slow) break;  // a cycle already: all of it was checked
                    if (step_slow) {
                        slow = PyException_GetContext(slow);
                        Py_DECREF(slow);
                    }
                    step_slow = !step_slow;
                }
                PyException_SetContext(exc.get(), error.release());
            }
        }
        exc.raise();
    }

    PY_FRAME_REFS(globals, self, pool_key, eligible, lock, aexit_fn, winner, error)
};

}  // namespace

PY_COROUTINE_FUNCTION(lb_wrr_pick, "LoadBalancer._wrr_pick", "self, pool_key, eligible")
(const py::Call& c, const py::Args& a) {
    auto [coro, frame] = py::make_coroutine<WrrPickFrame>(c);
    frame.globals = py::Ref::borrow(c.g.dict());
    frame.self = py::Ref::borrow(a[0]);
    frame.pool_key = py::Ref::borrow(a[1]);
    frame.eligible = py::Ref::borrow(a[2]);
    return std::move(coro);
}

}  // namespace lb
