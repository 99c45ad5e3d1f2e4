// Admission queue: the depth ceiling of a wait set and the slot wait that
// parks a request until the hand-off gives it a backend or its time-to-live
// runs out.
#include <cmath>
#include <optional>

#include "balancer/methods.h"
#include "balancer/native.h"
#include "balancer/record.h"
#include "py/value.h"

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

using py::truth;

// The queue's depth ceiling for a wait set whose configured caps sum to
// `total`: the total times the mode's multiplier (`multiplier()`, asked only
// then), at least once; 0, no ceiling, when the caps sum to 0 or less.
template <class N, class Multiplier>
N depth_ceiling(const N& total, Multiplier&& multiplier, const N& zero, const N& one) {
    if (!truth(total > zero)) return zero;
    const N m = multiplier();
    return total * (truth(m > one) ? m : one);
}

// Whether the queue is full for that ceiling: it has one and the number of
// waiters parked (`depth()`, counted only then) reaches it.
template <class N, class Depth>
bool full(const N& ceiling, Depth&& depth, const N& zero) {
    return truth(ceiling > zero) && truth(depth() >= ceiling);
}

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
    Context c_;  // the module and method this frame runs
    Call c() const { return c_; }
    Ref self, pool_key, candidates, estimated_tokens, sin_binned;
    Ref waiter, future;  // set once the request is parked
    bool waiting = false;

    py::Step resume(PyObject* sent) override { return waiting ? after_wait(sent) : start(); }

    PY_FRAME_REFS(self, pool_key, candidates, estimated_tokens, sin_binned, waiter, future)

private:
    // Everything up to the wait: checks, parking and the immediate admission
    // attempt, without suspending.
    py::Step start() {
        if (std::optional<py::Step> step = start_natively()) {
            ++module_of(c()).native_counts.wait_for_slot;
            return std::move(*step);
        }
        if (!py::truthy(call::queue_enabled(c(), self)))
            return py::Step::done(result(Py_None, n_queue_disabled, module_of(c()).zero_float));

        Ref wait_set = build_wait_set();
        if (PyList_GET_SIZE(wait_set.get()) == 0) return refuse(n_NO_BACKENDS);

        py::Value max_depth = call::queue_capacity_for_pool(c(), self, wait_set);
        auto depth = [&] { return py::Value(py::new_int(py::length(attr(self, names::_all_waiters)))); };
        if (full(max_depth, depth, py::Value(py::new_int(0)))) return refuse(n_QUEUE_FULL);
        return park_and_wait(wait_set);
    }

    // Build the waiter, park it, try to admit it at once and wait.
    py::Step park_and_wait(Handle wait_set) {
        Ref loop = py::call_method(c().g.get(names::asyncio), n_get_running_loop);
        future = py::call_method(loop, n_create_future);
        Ref boost = queue_deadline_boost(c(), in_queue_all_mode(c(), self));
        Ref queued_at = monotonic(c());
        waiter = py::call_kw(c().g.get(names::_Waiter), module_of(c()).kw_waiter_fields, pool_key, wait_set,
                             estimated_tokens, future, queued_at, boost);
        // The waiter holds what the wait still needs.
        pool_key.reset();
        candidates.reset();
        estimated_tokens.reset();
        sin_binned.reset();

        try {
            park(wait_set);
            call::try_admit(c(), self, waiter);
            Ref ttl = call::queue_ttl_sec(c(), self);
            Ref wait_for = py::getattr(c().g.get(names::asyncio), n_wait_for);
            Ref wait = py::call_kw(wait_for, module_of(c()).kw_timeout, future, ttl);
            waiting = true;
            return py::Step::await(std::move(wait));
        } catch (const py::Error&) {
            unpark_and_reraise();
        }
    }

    // The same start computed natively (see native.h) when every input is
    // plain and nothing it relies on is overridden, or nothing.  Refusals
    // are left to the steps above (nothing has changed when they are
    // found).  An admission on the spot skips what the steps would build and
    // take apart again (the future, the waiter, its parking, the wait on a
    // future that is already done), when nothing of it can be observed: the
    // waiter class and asyncio.wait_for are the originals, the time-to-live
    // is a number that is not NaN, and for a positive one a task is running
    // (wait_for would need one).  With a replaced clock, whose readings may
    // be observed, the waiter is built and parked as the steps do.
    std::optional<py::Step> start_natively() {
        namespace d = LoadBalancer::def;
        Module& m = module_of(c());
        const fast::Facts& f = fast::facts(m.fast);
        fast::Inst inst;
        if (!inst.open(m, f, self) || !f.native_asyncio || !f.waiter_plain || !f.deque_type.is(m.deque_class))
            return {};
        if (!inst.owns(fast::kGateMethods) ||
            !inst.owns({&d::queue_enabled, &d::queue_ttl_sec, &d::queue_depth_multiplier, &d::_queue_capacity_for_pool,
                        &d::_try_admit, &d::_fulfill, &d::_remove_waiter, &d::_record_dispatch}))
            return {};
        // The queue settings compare the mode with "queue_all" directly.
        PyObject* mode_obj = inst.get(fast::kRoutingMode);
        if (!mode_obj || !PyUnicode_CheckExact(mode_obj) || !f.mode_queue_all) return {};
        const bool queue_all = mode_obj == f.mode_queue_all.get() || PyUnicode_Compare(mode_obj, f.mode_queue_all) == 0;
        if (!queue_all && f.queue_enabled != 1) return {};

        Ref sin_bin;
        fast::Recs recs;
        PyObject* waiters = inst.dict(fast::kWaiters);
        PyObject* all = inst.get(fast::kAllWaiters);
        if (!fast::plain_id_set(sin_binned, sin_bin) || !fast::plain_pool_key(m, pool_key) ||
            !PyList_CheckExact(candidates.get()) || !waiters || !all || !PyList_CheckExact(all) ||
            !fast::read_records(candidates, recs) || !fast::read_counts(inst, recs))
            return {};

        // The wait set: the effective candidates that are not sin-binned.
        fast::Small<size_t> effective, wait_set;
        undrained_or_all([&] { return recs.size(); }, [&](size_t i) { return recs[i].drained; },
                         [&](size_t i) { effective.push_back(i); },
                         [&] {
                             for (size_t i = 0; i < recs.size(); ++i) effective.push_back(i);
                         });
        long long total_cap = 0, pool_inflight = 0;
        bool failed = false;
        for (size_t k = 0; k < effective.size(); ++k) {
            const fast::Rec& r = recs[effective[k]];
            if (sin_bin) {
                int banned = PySet_Contains(sin_bin, r.id);
                if (banned < 0) return PyErr_Clear(), std::nullopt;
                if (banned) continue;
            }
            PyObject* dq = fast::lookup(waiters, r.id, failed);
            if (failed || (dq && dq != Py_None && Py_TYPE(dq) != reinterpret_cast<PyTypeObject*>(m.deque_class.get())))
                return {};
            wait_set.push_back(effective[k]);
            if (__builtin_add_overflow(total_cap, r.cap, &total_cap) ||
                __builtin_add_overflow(pool_inflight, r.inflight, &pool_inflight))
                return {};
        }
        if (wait_set.empty()) return {};
        const double multiplier = (queue_all ? f.queue_all_depth : f.queue_depth).v;
        const double ceiling = depth_ceiling(double(total_cap), [&] { return multiplier; }, 0.0, 1.0);
        if (full(ceiling, [&] { return double(PyList_GET_SIZE(all)); }, 0.0)) return {};

        Ref wait_set_list = py::new_list(Py_ssize_t(wait_set.size()));
        for (size_t k = 0; k < wait_set.size(); ++k)
            PyList_SET_ITEM(wait_set_list.get(), Py_ssize_t(k), Py_NewRef(recs[wait_set[k]].obj));

        fast::Now now;
        if (!now.read(m, f)) return park_and_wait(wait_set_list);  // a replaced clock

        Ref loop = py::call(m.get_running_loop);
        fast::Key key{pool_key, PyObject_Hash(pool_key)};
        fast::Gate gate;
        if (!gate.prepare(inst, key, pool_inflight, now)) return {};
        const fast::Rec* admitted = nullptr;
        for (size_t k = 0; k < wait_set.size() && !admitted; ++k)
            if (gate.free(recs[wait_set[k]])) admitted = &recs[wait_set[k]];
        const py::Num& ttl = queue_all ? f.queue_all_ttl : f.queue_ttl;

        if (admitted) {
            bool skip = !std::isnan(ttl.v) && (ttl.v <= 0 || !py::call(m.current_task).is_none());
            if (!skip) return {};
            // Parking and unparking leave the queue as it was, but for the
            // entries of the wait set that are None (parking puts a deque in
            // its place) or an empty deque: unparking deletes them.  Parking
            // in a deque with a maxlen may push an older entry out of it:
            // that is left to the steps.
            fast::Small<size_t> unparked;
            for (size_t k = 0; k < wait_set.size(); ++k) {
                PyObject* dq = fast::lookup(waiters, recs[wait_set[k]].id, failed);
                if (failed) return {};
                if (!dq) continue;
                if (dq != Py_None) {
                    Py_ssize_t n = PySequence_Size(dq);
                    if (n < 0) return PyErr_Clear(), std::nullopt;
                    if (n > 0) {
                        Ref maxlen = Ref::steal_or_null(PyObject_GetAttr(dq, names::maxlen));
                        if (!maxlen) return PyErr_Clear(), std::nullopt;
                        if (!maxlen.is_none()) return {};
                        continue;
                    }
                }
                unparked.push_back(wait_set[k]);
            }
            gate.commit();
            // (An id the wait set holds twice is deleted once.)
            for (size_t k = 0; k < unparked.size(); ++k)
                py::check_int(PyDict_Pop(waiters, recs[unparked[k]].id, nullptr));
            fast::record_dispatch(inst, key, *admitted, now);
            Ref secs = Ref::steal(PyNumber_Subtract(fast::monotonic(m), now.obj));
            if (!PyFloat_CheckExact(secs.get())) secs = py::to_float(secs);
            fast::deque_call(m, attr(self, names::queue_wait_samples), m.deque_append, names::append, secs);
            return py::Step::done(result(admitted->obj, n_ok, secs));
        }

        // Parked: build and park the waiter as the steps do; nobody admits it.
        gate.commit();
        future = py::call_method(loop, n_create_future);
        Ref boost = queue_deadline_boost(c(), queue_all);
        waiter = fast::new_waiter(m, pool_key, wait_set_list, estimated_tokens, future, now.obj, boost);
        pool_key.reset();
        candidates.reset();
        estimated_tokens.reset();
        sin_binned.reset();
        try {
            park(wait_set_list);
            Ref ttl_obj = c().g.get(queue_ttl_name(queue_all));
            Ref wait = py::call_kw(m.wait_for, m.kw_timeout, future, ttl_obj);
            waiting = true;
            return py::Step::await(std::move(wait));
        } catch (const py::Error&) {
            unpark_and_reraise();
        }
    }

    // The records to wait on: the effective candidates (see
    // undrained_or_all) that are not sin-binned.  A new list.
    Ref build_wait_set() {
        Handle sin_bin = sin_bin_or_empty(c(), sin_binned);
        Ref effective = undrained_or_all(candidates);
        Ref wait_set = py::new_list();
        py::for_each(effective, [&](Handle rec) {
            if (!py::contains(sin_bin, record::id(rec))) py::append(wait_set, rec);
        });
        return wait_set;
    }

    // Count the refusal and return it as the outcome.
    py::Step refuse(const py::Name& which) {
        Ref reason = py::getattr(c().g.get(names::RejectReason), which);
        call::bump_reject(c(), self, reason);
        return py::Step::done(result(Py_None, reason, module_of(c()).zero_float));
    }

    // Stand the waiter in the deque of every backend it waits on, then in
    // the list of all waiters.
    void park(Handle wait_set) {
        Ref waiters = attr(self, names::_waiters);
        py::for_each(wait_set, [&](Handle rec) {
            Ref sid = record::id(rec);
            Ref dq = py::get(waiters, sid);
            if (dq.is_none()) {
                dq = py::call(c().g.get(names::deque));
                py::setitem(waiters, sid, dq);
            }
            py::call_method(dq, names::append, waiter);
        });
        append_to(attr(self, names::_all_waiters), waiter);
    }

    // The wait ended with an exception (cancellation, or anything else
    // after parking): unpark the waiter before the error goes on, so that no
    // finished request stays parked, and pass a backend that was handed over
    // just before on to the next request parked on it.  The exception is
    // the one set, or `exc` when it was taken out already.
    [[noreturn]] void unpark_and_reraise() { unpark_and_reraise(py::Exc::fetch()); }
    [[noreturn]] void unpark_and_reraise(py::Exc exc) {
        if (waiter) {
            py::Handling h(exc.get());
            call::remove_waiter(c(), self, waiter);
            if (Ref server = granted()) {
                Ref sid = record::id(server);
                release_held_slot(self, sid);
                call::wake_one(c(), self, sid);
            }
        }
        exc.raise();
    }

    // Seconds since the waiter was parked, as a float.
    Ref waited() {
        Ref secs = Ref::steal(PyNumber_Subtract(monotonic(c()), attr(waiter, names::queued_at)));
        return PyFloat_CheckExact(secs.get()) ? std::move(secs) : py::to_float(secs);
    }

    // `server` came out of the wait, or of the future after a time-out.
    py::Step admitted(Handle server, bool from_future = false) {
        // The caller takes the slot from here, with its lease.  (What the
        // original asyncio.wait_for returns is the future's result.)
        if (from_future || fast::facts(module_of(c()).fast).native_asyncio)
            release_held_slot(self, record::id(server));
        else if (Ref given = granted())
            release_held_slot(self, record::id(given));
        Ref secs = waited();
        py::call_method(attr(self, names::queue_wait_samples), names::append, secs);
        return py::Step::done(result(server, n_ok, secs));
    }

    // The backend the hand-off gave the waiter, or NULL when it has none
    // (not done, cancelled, or completed with an exception).
    Ref granted() {
        if (!py::truthy(py::call_method(future, names::done))) return {};
        if (py::truthy(py::call_method(future, names::cancelled))) return {};
        if (!py::call_method(future, names::exception).is_none()) return {};
        return py::call_method(future, names::result);
    }

    py::Step after_wait(PyObject* sent) {
        if (sent) return admitted(sent);
        py::Exc exc = py::Exc::fetch();
        bool timed_out = false;
        try {
            py::Handling h(exc.get());
            timed_out = exc.matches(py::getattr(c().g.get(names::asyncio), n_TimeoutError));
        } catch (const py::Error&) {
            unpark_and_reraise();  // the lookup's own error, chained to the first
        }
        if (timed_out) {
            py::Handling h(exc.get());
            // The time-out and the hand-off can land in the same turn of the
            // loop: a backend already handed over still counts as admitted.
            if (Ref server = granted()) return admitted(server, true);
            call::remove_waiter(c(), self, waiter);
            Ref reason = py::getattr(c().g.get(names::RejectReason), n_QUEUE_TIMEOUT);
            call::bump_reject(c(), self, reason);
            return py::Step::done(result(Py_None, reason, waited()));
        }
        unpark_and_reraise(std::move(exc));
    }
};

}  // namespace

Ref _queue_capacity_for_pool(const Call& c, Handle self, Handle candidates) {
    py::Value total = py::new_int(0);
    py::for_each(candidates, [&](Handle rec) { total = total + py::Value(record::configured_cap(rec)); });
    return depth_ceiling(
               total, [&] { return py::Value(call::queue_depth_multiplier(c, self)); }, py::Value(py::new_int(0)),
               py::Value(py::new_int(1)))
        .ref();
}

Ref wait_for_slot(const Call& c, Handle self, Handle pool_key, Handle candidates, Handle estimated_tokens,
                  Handle sin_binned) {
    auto [coro, frame] = py::make_coroutine<WaitFrame>(c);
    frame.c_ = Context(c);
    frame.self = Ref::borrow(self);
    frame.pool_key = Ref::borrow(pool_key);
    frame.candidates = Ref::borrow(candidates);
    frame.estimated_tokens = Ref::borrow(estimated_tokens);
    frame.sin_binned = Ref::borrow(sin_binned.or_none());
    return std::move(coro);
}

}  // namespace lb::LoadBalancer
