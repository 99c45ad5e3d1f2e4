// Slot hand-off: admitting a just-parked waiter, waking the best parked
// request when a backend frees a slot, handing a backend over and unparking.
#include "balancer/methods.h"
#include "balancer/record.h"

namespace lb {

namespace {

bool future_done(Handle future) { return py::truthy(py::call_method(future, names::done)); }

// Take out the entry of `seq` that is `item` itself (not merely equal to
// it); nothing happens when it is not there.
void remove_identical(Handle seq, Handle item) {
    if (PyList_CheckExact(seq.get())) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq.get()); ++i)
            if (PyList_GET_ITEM(seq.get(), i) == item.get()) {
                py::check_int(PyList_SetSlice(seq, i, i + 1, nullptr));
                return;
            }
        return;
    }
    Py_ssize_t index = -1, i = 0;
    {
        Ref it = Ref::steal(PyObject_GetIter(seq));
        while (Ref x = Ref::steal_or_null(PyIter_Next(it))) {
            if (x.is(item)) {
                index = i;
                break;
            }
            ++i;
        }
        if (PyErr_Occurred()) py::raise();
    }
    if (index >= 0) py::check_int(PySequence_DelItem(seq, index));
}

}  // namespace

namespace Waiter {

Ref is_boosted(const Call&, Handle self, Handle now) {
    Ref boost = attr(self, names::boost_after_sec);
    Ref positive = py::rich_compare(boost, py::new_int(0), Py_GT);
    if (!py::truthy(positive)) return positive;
    Ref age = Ref::steal(PyNumber_Subtract(now, attr(self, names::queued_at)));
    return py::rich_compare(age, boost, Py_GE);
}

}  // namespace Waiter

namespace LoadBalancer {

Ref _try_admit(const Call& c, Handle self, Handle waiter) {
    if (future_done(attr(waiter, names::future))) return py::none();
    Ref cands = attr(waiter, names::candidates);
    Ref pool_key = attr(waiter, names::pool_key);
    py::any_of(cands, [&](Handle rec) {
        if (!call::under_capacity(c, self, rec, cands, pool_key)) return false;
        call::fulfill(c, self, waiter, rec);
        return true;
    });
    return py::none();
}

Ref _wake_one(const Call& c, Handle self, Handle server_id) {
    Ref waiters = attr(self, names::_waiters);
    Ref dq = py::get(waiters, server_id);
    if (dq.is_none() || !py::truthy(dq)) return py::none();

    Ref live = py::new_list();
    py::for_each(dq, [&](Handle w) {
        if (!future_done(attr(w, names::future))) py::append(live, w);
    });
    Py_ssize_t n = PyList_GET_SIZE(live.get());
    if (n == 0) {
        py::discard_key(waiters, server_id);
        return py::none();
    }

    // First come, first served in "queue_all"; elsewhere boosted waiters by
    // arrival, then the rest smallest estimate first.  One clock reading
    // serves every boost test of this wake-up.  The interpreter's own stable
    // sort orders (group, key, position) entries: positions are unique, so
    // equal keys keep parking order and waiters are never compared.
    Ref order = py::new_list();
    Ref mode = attr(self, names::_routing_mode);
    bool queue_all = is_mode(c, mode, names::ROUTING_MODE_QUEUE_ALL);
    Ref now = queue_all ? Ref() : monotonic(c);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Handle w = PyList_GET_ITEM(live.get(), i);
        bool boosted = !queue_all && call::is_boosted(c, w, now);
        Ref key = attr(w, queue_all || boosted ? names::queued_at : names::estimated_tokens);
        Ref group = py::new_int(queue_all || boosted ? 0 : 1), pos = py::new_int(i);
        py::append(order, Ref::steal(PyTuple_Pack(3, group.get(), key.get(), pos.get())));
    }
    py::check_int(PyList_Sort(order));

    // Only the freed backend's records are tried; a waiter it cannot take
    // does not stop the next one.
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_ssize_t pos = PyLong_AsSsize_t(PyTuple_GET_ITEM(PyList_GET_ITEM(order.get(), i), 2));
        Ref w = Ref::borrow(PyList_GET_ITEM(live.get(), pos));
        Ref cands = attr(w, names::candidates);
        Ref pool_key;
        bool admitted = py::any_of(cands, [&](Handle rec) {
            if (!py::compare(record::id(rec), server_id, Py_EQ)) return false;
            if (!pool_key) pool_key = attr(w, names::pool_key);
            if (!call::under_capacity(c, self, rec, cands, pool_key)) return false;
            call::fulfill(c, self, w, rec);
            return true;
        });
        if (admitted) break;
    }
    return py::none();
}

Ref _fulfill(const Call& c, Handle self, Handle waiter, Handle server) {
    Ref future = attr(waiter, names::future);
    if (future_done(future)) return py::none();
    call::remove_waiter(c, self, waiter);
    call::record_dispatch(c, self, attr(waiter, names::pool_key), server);
    py::call_method(future, names::set_result, server);
    // The slot stays the waiter's until its wait returns (or ends otherwise).
    py::bump_at([&] { return attr(self, names::held_slots); }, record::id(server));
    return py::none();
}

Ref _remove_waiter(const Call&, Handle self, Handle waiter) {
    Ref waiters = attr(self, names::_waiters);
    Ref cands = attr(waiter, names::candidates);
    py::for_each(cands, [&](Handle rec) {
        Ref sid = record::id(rec);
        Ref dq = py::get(waiters, sid);
        if (dq.is_none()) return;
        remove_identical(dq, waiter);
        if (!py::truthy(dq)) py::discard_key(waiters, sid);
    });
    remove_identical(attr(self, names::_all_waiters), waiter);
    return py::none();
}

}  // namespace LoadBalancer

void release_held_slot(Handle self, Handle server_id) {
    Ref held = attr(self, names::held_slots);
    Ref zero = py::new_int(0), one = py::new_int(1);
    Ref n = py::get(held, server_id, zero);
    if (!py::compare(n, zero, Py_GT)) return;  // nothing held (a hand-off of a caller's own)
    Ref rest = Ref::steal(PyNumber_Subtract(n, one));
    if (py::compare(rest, zero, Py_GT))
        py::setitem(held, server_id, rest);
    else
        py::delitem(held, server_id);
}

}  // namespace lb
