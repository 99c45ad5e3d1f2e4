// Admission queue: the depth ceiling of a wait set and the slot wait that
// parks a request until the hand-off gives it a backend or its time-to-live
// runs out.
#include "module.h"

namespace lb {
namespace {

py::Name n_ok{"ok"};
py::Name n_queue_disabled{"queue_disabled"};
py::Name n_NO_BACKENDS{"NO_BACKENDS"};
py::Name n_QUEUE_FULL{"QUEUE_FULL"};
py::Name n_QUEUE_TIMEOUT{"QUEUE_TIMEOUT"};
py::Name n_get_running_loop{"get_running_loop"};
py::Name n_create_future{"create_future"};
py::Name n_wait_for{"wait_for"};
py::Name n_timeout{"timeout"};
py::Name n_TimeoutError{"TimeoutError"};

// 0.0, shared: floats are immutable.
PyObject* zero_float() {
    static PyObject* z = py::check(PyFloat_FromDouble(0.0));
    return z;
}

// The empty set that stands in for a missing or empty `sin_binned`.
PyObject* no_ids() {
    static PyObject* s = py::check(PyFrozenSet_New(nullptr));
    return s;
}

py::Ref result(PyObject* server, PyObject* reason, PyObject* seconds) {
    return py::Ref::steal(PyTuple_Pack(3, server, reason, seconds));
}

// Makes `exc` the exception being handled while it lives, as an `except`
// block does: anything raised meanwhile gets it as its context.
class Handling {
public:
    explicit Handling(PyObject* exc) : saved_(py::Ref::steal_or_null(PyErr_GetHandledException())) {
        PyErr_SetHandledException(exc);
    }
    ~Handling() { PyErr_SetHandledException(saved_.get()); }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    py::Ref saved_;
};

void append_to(PyObject* seq, PyObject* item) {
    if (PyList_CheckExact(seq))
        py::append(seq, item);
    else
        py::call_method(seq, names::append, item);
}

// `await self.wait_for_slot(pool_key, candidates, estimated_tokens, sin_binned=...)`.
struct WaitFrame final : py::Frame {
    py::Ref globals, self, pool_key, candidates, estimated_tokens, sin_binned;
    py::Ref waiter, future;  // set once the request is parked
    bool waiting = false;

    py::Step resume(PyObject* sent) override { return waiting ? after_wait(sent) : start(); }

    PY_FRAME_REFS(globals, self, pool_key, candidates, estimated_tokens, sin_binned, waiter, future)

private:
    py::Globals g() const { return py::Globals(globals.get()); }

    // Everything up to the wait: checks, parking and the immediate admission
    // attempt, without suspending.
    py::Step start() {
        py::Globals g = this->g();
        PyObject* s = self.get();
        if (!py::truthy(py::call_method(s, names::queue_enabled).get()))
            return py::Step::done(result(Py_None, n_queue_disabled, zero_float()));

        py::Ref wait_set = build_wait_set();
        if (PyList_GET_SIZE(wait_set.get()) == 0) return refuse(g, n_NO_BACKENDS);

        py::Ref max_depth = py::call_method(s, names::_queue_capacity_for_pool, wait_set.get());
        py::Ref zero = py::new_int(0);
        if (py::compare(max_depth.get(), zero.get(), Py_GT)) {
            py::Ref depth = py::new_int(py::length(attr(s, names::_all_waiters).get()));
            if (py::compare(depth.get(), max_depth.get(), Py_GE)) return refuse(g, n_QUEUE_FULL);
        }

        py::Ref loop = py::call_method(g.get(names::asyncio).get(), n_get_running_loop);
        future = py::call_method(loop.get(), n_create_future);
        py::Ref mode = attr(s, names::_routing_mode);
        py::Ref boost = py::compare(mode.get(), g.get(names::ROUTING_MODE_QUEUE_ALL).get(), Py_EQ)
                            ? py::Ref::borrow(zero_float())
                            : g.get(names::QUEUE_DEADLINE_BOOST_SEC);
        py::Ref queued_at = monotonic(g);
        static PyObject* fields = py::kwnames({&names::pool_key, &names::candidates, &names::estimated_tokens,
                                               &names::future, &names::queued_at, &names::boost_after_sec});
        waiter = py::call_kw(g.get(names::_Waiter).get(),
                             {pool_key.get(), wait_set.get(), estimated_tokens.get(), future.get(), queued_at.get(),
                              boost.get()},
                             fields);
        // The waiter holds what the wait still needs.
        pool_key.reset();
        candidates.reset();
        estimated_tokens.reset();
        sin_binned.reset();

        try {
            park(g, wait_set.get());
            py::call_method(s, names::_try_admit, waiter.get());
            py::Ref ttl = py::call_method(s, names::queue_ttl_sec);
            static PyObject* kw = py::kwnames({&n_timeout});
            py::Ref aio = g.get(names::asyncio);
            py::Ref wait_for = py::getattr(aio.get(), n_wait_for);
            py::Ref wait = py::call_kw(wait_for.get(), {future.get(), ttl.get()}, kw);
            waiting = true;
            return py::Step::await(std::move(wait));
        } catch (const py::Error&) {
            unpark_and_reraise();
        }
    }

    // The records to wait on: the backends that are not drained (all of
    // them when every one is), minus the sin-binned ones.  A new list.
    py::Ref build_wait_set() {
        PyObject* banned = py::truthy(sin_binned.get()) ? sin_binned.get() : no_ids();
        py::Ref non_drained = py::new_list();
        py::Ref zero = py::Ref::borrow(zero_float());
        py::for_each(candidates.get(), [&](PyObject* rec) {
            py::Ref w = py::get(rec, names::weight);
            if (py::truthy(w.get()) && py::compare(w.get(), zero.get(), Py_GT)) py::append(non_drained.get(), rec);
        });
        auto allowed = [&](PyObject* rec) {
            py::Ref sid = py::getitem(rec, names::id);
            return !py::contains(banned, sid.get());
        };
        PyObject* list = non_drained.get();
        if (PyList_GET_SIZE(list) == 0) {
            // Every backend is drained: wait on all of them.
            py::for_each(candidates.get(), [&](PyObject* rec) {
                if (allowed(rec)) py::append(list, rec);
            });
            return non_drained;
        }
        // Filter our own list in place.  No one else sees it, so the checks
        // cannot change it under us.
        Py_ssize_t n = PyList_GET_SIZE(list), kept = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            py::Ref rec = py::Ref::borrow(PyList_GET_ITEM(list, i));
            if (!allowed(rec.get())) continue;
            if (kept != i) PyList_SetItem(list, kept, rec.release());
            ++kept;
        }
        if (kept != n) py::check_int(PyList_SetSlice(list, kept, n, nullptr));
        return non_drained;
    }

    // Count the refusal and return it as the outcome.
    py::Step refuse(const py::Globals& g, py::Name& which) {
        py::Ref reason = py::getattr(g.get(names::RejectReason).get(), which);
        py::call_method(self.get(), names::_bump_reject, reason.get());
        return py::Step::done(result(Py_None, reason.get(), zero_float()));
    }

    // Stand the waiter in the deque of every backend it waits on, then in
    // the list of all waiters.
    void park(const py::Globals& g, PyObject* wait_set) {
        py::Ref waiters = attr(self.get(), names::_waiters);
        py::for_each(wait_set, [&](PyObject* rec) {
            py::Ref sid = py::getitem(rec, names::id);
            py::Ref dq = py::get(waiters.get(), sid.get());
            if (dq.get() == Py_None) {
                dq = py::call(g.get(names::deque).get());
                py::setitem(waiters.get(), sid.get(), dq.get());
            }
            py::call_method(dq.get(), names::append, waiter.get());
        });
        append_to(attr(self.get(), names::_all_waiters).get(), waiter.get());
    }

    // The wait ended with an exception (cancellation, or anything else
    // after parking): unpark the waiter before the error goes on, so that no
    // finished request stays parked, and pass a backend that was handed over
    // just before on to the next request parked on it.
    [[noreturn]] void unpark_and_reraise() {
        py::Exc exc = py::Exc::fetch();
        if (waiter) {
            Handling h(exc.get());
            py::Ref server = granted();
            py::call_method(self.get(), names::_remove_waiter, waiter.get());
            if (server) {
                py::Ref sid = py::getitem(server.get(), names::id);
                py::call_method(self.get(), names::_wake_one, sid.get());
            }
        }
        exc.raise();
    }

    // Seconds since the waiter was parked, as a float.
    py::Ref waited() {
        py::Ref now = monotonic(g());
        py::Ref queued_at = attr(waiter.get(), names::queued_at);
        py::Ref secs = py::Ref::steal(PyNumber_Subtract(now.get(), queued_at.get()));
        return PyFloat_CheckExact(secs.get()) ? std::move(secs) : py::to_float(secs.get());
    }

    py::Step admitted(PyObject* server) {
        py::Ref secs = waited();
        py::Ref samples = attr(self.get(), names::queue_wait_samples);
        py::call_method(samples.get(), names::append, secs.get());
        return py::Step::done(result(server, n_ok, secs.get()));
    }

    // The backend the hand-off gave the waiter, or NULL when it has none.
    py::Ref granted() {
        if (!py::truthy(py::call_method(future.get(), names::done).get())) return {};
        if (py::truthy(py::call_method(future.get(), names::cancelled).get())) return {};
        return py::call_method(future.get(), names::result);
    }

    py::Step after_wait(PyObject* sent) {
        if (sent) return admitted(sent);
        py::Exc exc = py::Exc::fetch();
        py::Globals g = this->g();
        bool timed_out = false;
        try {
            Handling h(exc.get());
            py::Ref aio = g.get(names::asyncio);
            timed_out = exc.matches(py::getattr(aio.get(), n_TimeoutError).get());
        } catch (const py::Error&) {
            unpark_and_reraise();  // the lookup's own error, chained to the first
        }
        if (timed_out) {
            Handling h(exc.get());
            // The time-out and the hand-off can land in the same turn of the
            // loop: a backend already handed over still counts as admitted.
            if (py::Ref server = granted()) return admitted(server.get());
            py::call_method(self.get(), names::_remove_waiter, waiter.get());
            py::Ref reason = py::getattr(g.get(names::RejectReason).get(), n_QUEUE_TIMEOUT);
            py::call_method(self.get(), names::_bump_reject, reason.get());
            py::Ref secs = waited();
            return py::Step::done(result(Py_None, reason.get(), secs.get()));
        }
        PyErr_SetRaisedException(exc.ref().release());
        unpark_and_reraise();
    }
};

}  // namespace

PY_FUNCTION(lb_queue_capacity_for_pool, "LoadBalancer._queue_capacity_for_pool", "self, candidates")
(const py::Call&, const py::Args& a) {
    py::Ref total = py::new_int(0);
    py::for_each(a[1], [&](PyObject* rec) {
        py::Ref cap = py::get(rec, names::max_concurrency);
        if (!py::truthy(cap.get())) return;
        py::Ref n = py::to_int(cap.get());
        total = py::Ref::steal(PyNumber_Add(total.get(), n.get()));
    });
    py::Ref zero = py::new_int(0);
    if (!py::compare(total.get(), zero.get(), Py_GT)) return zero;
    py::Ref mult = py::call_method(a[0], names::queue_depth_multiplier);
    py::Ref one = py::new_int(1);
    PyObject* factor = py::compare(mult.get(), one.get(), Py_GT) ? mult.get() : one.get();
    return py::Ref::steal(PyNumber_Multiply(total.get(), factor));
}

PY_COROUTINE_FUNCTION(lb_wait_for_slot, "LoadBalancer.wait_for_slot",
            "self, pool_key, candidates, estimated_tokens, *, sin_binned=None")
(const py::Call& c, const py::Args& a) {
    auto [coro, frame] = py::make_coroutine<WaitFrame>(c);
    frame.globals = py::Ref::borrow(c.g.dict());
    frame.self = py::Ref::borrow(a[0]);
    frame.pool_key = py::Ref::borrow(a[1]);
    frame.candidates = py::Ref::borrow(a[2]);
    frame.estimated_tokens = py::Ref::borrow(a[3]);
    frame.sin_binned = py::Ref::borrow(a.get(4, Py_None));
    return std::move(coro);
}

}  // namespace lb
