// Admission queue: the depth ceiling of a wait set and the slot wait that
// parks a request until the hand-off gives it a backend or its time-to-live
// runs out.
#include "balancer/methods.h"
#include "balancer/record.h"

namespace lb::LoadBalancer {
namespace {

py::Name n_ok{"ok"};
py::Name n_queue_disabled{"queue_disabled"};
py::Name n_NO_BACKENDS{"NO_BACKENDS"};
py::Name n_QUEUE_FULL{"QUEUE_FULL"};
py::Name n_QUEUE_TIMEOUT{"QUEUE_TIMEOUT"};
py::Name n_get_running_loop{"get_running_loop"};
py::Name n_create_future{"create_future"};
py::Name n_wait_for{"wait_for"};
py::Name n_TimeoutError{"TimeoutError"};

Ref result(Handle server, Handle reason, Handle seconds) {
    return Ref::steal(PyTuple_Pack(3, server.get(), reason.get(), seconds.get()));
}

void append_to(Handle seq, Handle item) {
    if (PyList_CheckExact(seq.get()))
        py::append(seq, item);
    else
        py::call_method(seq, names::append, item);
}

// `await self.wait_for_slot(pool_key, candidates, estimated_tokens, sin_binned=...)`.
struct WaitFrame final : py::Frame {
    Call c;
    Ref self, pool_key, candidates, estimated_tokens, sin_binned;
    Ref waiter, future;  // set once the request is parked
    bool waiting = false;

    py::Step resume(PyObject* sent) override { return waiting ? after_wait(sent) : start(); }

    PY_FRAME_REFS(self, pool_key, candidates, estimated_tokens, sin_binned, waiter, future)

private:
    // Everything up to the wait: checks, parking and the immediate admission
    // attempt, without suspending.
    py::Step start() {
        if (!py::truthy(call::queue_enabled(c, self)))
            return py::Step::done(result(Py_None, n_queue_disabled, module_of(c).zero_float));

        Ref wait_set = build_wait_set();
        if (PyList_GET_SIZE(wait_set.get()) == 0) return refuse(n_NO_BACKENDS);

        Ref max_depth = call::queue_capacity_for_pool(c, self, wait_set);
        Ref zero = py::new_int(0);
        if (py::compare(max_depth, zero, Py_GT)) {
            Ref depth = py::new_int(py::length(attr(self, names::_all_waiters)));
            if (py::compare(depth, max_depth, Py_GE)) return refuse(n_QUEUE_FULL);
        }

        Ref loop = py::call_method(c.g.get(names::asyncio), n_get_running_loop);
        future = py::call_method(loop, n_create_future);
        Ref mode = attr(self, names::_routing_mode);
        Ref boost = is_mode(c, mode, names::ROUTING_MODE_QUEUE_ALL) ? module_of(c).zero_float
                                                                    : c.g.get(names::QUEUE_DEADLINE_BOOST_SEC);
        Ref queued_at = monotonic(c);
        waiter = py::call_kw(c.g.get(names::_Waiter), module_of(c).kw_waiter_fields, pool_key, wait_set,
                             estimated_tokens, future, queued_at, boost);
        // The waiter holds what the wait still needs.
        pool_key.reset();
        candidates.reset();
        estimated_tokens.reset();
        sin_binned.reset();

        try {
            park(wait_set);
            call::try_admit(c, self, waiter);
            Ref ttl = call::queue_ttl_sec(c, self);
            Ref wait_for = py::getattr(c.g.get(names::asyncio), n_wait_for);
            Ref wait = py::call_kw(wait_for, module_of(c).kw_timeout, future, ttl);
            waiting = true;
            return py::Step::await(std::move(wait));
        } catch (const py::Error&) {
            unpark_and_reraise();
        }
    }

    // The records to wait on: the backends that are not drained (all of
    // them when every one is), minus the sin-binned ones.  A new list.
    Ref build_wait_set() {
        Handle banned = py::truthy(sin_binned) ? Handle(sin_binned) : Handle(module_of(c).empty_ids);
        Ref non_drained = py::new_list();
        py::for_each(candidates, [&](Handle rec) {
            if (!record::drained(rec)) py::append(non_drained, rec);
        });
        auto allowed = [&](Handle rec) { return !py::contains(banned, record::id(rec)); };
        Handle list = non_drained;
        if (PyList_GET_SIZE(list.get()) == 0) {
            // Every backend is drained: wait on all of them.
            py::for_each(candidates, [&](Handle rec) {
                if (allowed(rec)) py::append(list, rec);
            });
            return non_drained;
        }
        // Filter our own list in place.  No one else sees it, so the checks
        // cannot change it under us.
        Py_ssize_t n = PyList_GET_SIZE(list.get()), kept = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref rec = Ref::borrow(PyList_GET_ITEM(list.get(), i));
            if (!allowed(rec)) continue;
            if (kept != i) PyList_SetItem(list, kept, rec.release());
            ++kept;
        }
        if (kept != n) py::check_int(PyList_SetSlice(list, kept, n, nullptr));
        return non_drained;
    }

    // Count the refusal and return it as the outcome.
    py::Step refuse(const py::Name& which) {
        Ref reason = py::getattr(c.g.get(names::RejectReason), which);
        call::bump_reject(c, self, reason);
        return py::Step::done(result(Py_None, reason, module_of(c).zero_float));
    }

    // Stand the waiter in the deque of every backend it waits on, then in
    // the list of all waiters.
    void park(Handle wait_set) {
        Ref waiters = attr(self, names::_waiters);
        py::for_each(wait_set, [&](Handle rec) {
            Ref sid = record::id(rec);
            Ref dq = py::get(waiters, sid);
            if (dq.is_none()) {
                dq = py::call(c.g.get(names::deque));
                py::setitem(waiters, sid, dq);
            }
            py::call_method(dq, names::append, waiter);
        });
        append_to(attr(self, names::_all_waiters), waiter);
    }

    // The wait ended with an exception (cancellation, or anything else
    // after parking): unpark the waiter before the error goes on, so that no
    // finished request stays parked, and pass a backend that was handed over
    // just before on to the next request parked on it.
    [[noreturn]] void unpark_and_reraise() {
        py::Exc exc = py::Exc::fetch();
        if (waiter) {
            py::Handling h(exc.get());
            Ref server = granted();
            call::remove_waiter(c, self, waiter);
            if (server) call::wake_one(c, self, record::id(server));
        }
        exc.raise();
    }

    // Seconds since the waiter was parked, as a float.
    Ref waited() {
        Ref secs = Ref::steal(PyNumber_Subtract(monotonic(c), attr(waiter, names::queued_at)));
        return PyFloat_CheckExact(secs.get()) ? std::move(secs) : py::to_float(secs);
    }

    py::Step admitted(Handle server) {
        Ref secs = waited();
        py::call_method(attr(self, names::queue_wait_samples), names::append, secs);
        return py::Step::done(result(server, n_ok, secs));
    }

    // The backend the hand-off gave the waiter, or NULL when it has none.
    Ref granted() {
        if (!py::truthy(py::call_method(future, names::done))) return {};
        if (py::truthy(py::call_method(future, names::cancelled))) return {};
        return py::call_method(future, names::result);
    }

    py::Step after_wait(PyObject* sent) {
        if (sent) return admitted(sent);
        py::Exc exc = py::Exc::fetch();
        bool timed_out = false;
        try {
            py::Handling h(exc.get());
            timed_out = exc.matches(py::getattr(c.g.get(names::asyncio), n_TimeoutError));
        } catch (const py::Error&) {
            unpark_and_reraise();  // the lookup's own error, chained to the first
        }
        if (timed_out) {
            py::Handling h(exc.get());
            // The time-out and the hand-off can land in the same turn of the
            // loop: a backend already handed over still counts as admitted.
            if (Ref server = granted()) return admitted(server);
            call::remove_waiter(c, self, waiter);
            Ref reason = py::getattr(c.g.get(names::RejectReason), n_QUEUE_TIMEOUT);
            call::bump_reject(c, self, reason);
            return py::Step::done(result(Py_None, reason, waited()));
        }
        PyErr_SetRaisedException(exc.take().release());
        unpark_and_reraise();
    }
};

}  // namespace

Ref _queue_capacity_for_pool(const Call& c, Handle self, Handle candidates) {
    Ref total = py::new_int(0);
    py::for_each(candidates, [&](Handle rec) {
        Ref cap = record::configured_cap(rec);
        total = Ref::steal(PyNumber_Add(total, cap));
    });
    Ref zero = py::new_int(0);
    if (!py::compare(total, zero, Py_GT)) return zero;
    Ref mult = call::queue_depth_multiplier(c, self);
    Ref one = py::new_int(1);
    Handle factor = py::compare(mult, one, Py_GT) ? mult : one;
    return Ref::steal(PyNumber_Multiply(total, factor));
}

Ref wait_for_slot(const Call& c, Handle self, Handle pool_key, Handle candidates, Handle estimated_tokens,
                  Handle sin_binned) {
    auto [coro, frame] = py::make_coroutine<WaitFrame>(c);
    frame.c = c;
    frame.self = Ref::borrow(self);
    frame.pool_key = Ref::borrow(pool_key);
    frame.candidates = Ref::borrow(candidates);
    frame.estimated_tokens = Ref::borrow(estimated_tokens);
    frame.sin_binned = Ref::borrow(sin_binned.or_none());
    return std::move(coro);
}

}  // namespace lb::LoadBalancer
