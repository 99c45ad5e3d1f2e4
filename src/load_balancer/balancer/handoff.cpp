// Slot hand-off: admitting a just-parked waiter, waking the best parked
// request when a backend frees a slot, handing a backend over and unparking.
#include "module.h"

namespace lb {
namespace {

bool future_done(PyObject* future) { return py::truthy(py::call_method(future, names::done).get()); }

// self._under_capacity(record, candidates, pool_key=pool_key)
bool under_capacity(PyObject* self, PyObject* record, PyObject* candidates, PyObject* pool_key) {
    static PyObject* kw = py::kwnames({&names::pool_key});
    return py::truthy(
        py::call_method_kw(self, names::_under_capacity, {record, candidates, pool_key}, kw).get());
}

// Take out the entry of `seq` that is `item` itself (not merely equal to
// it); nothing happens when it is not there.
void remove_identical(PyObject* seq, PyObject* item) {
    if (PyList_CheckExact(seq)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i)
            if (PyList_GET_ITEM(seq, i) == item) {
                py::check_int(PyList_SetSlice(seq, i, i + 1, nullptr));
                return;
            }
        return;
    }
    Py_ssize_t index = -1, i = 0;
    {
        py::Ref it = py::Ref::steal(PyObject_GetIter(seq));
        while (py::Ref x = py::Ref::steal_or_null(PyIter_Next(it.get()))) {
            if (x.get() == item) {
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

PY_FUNCTION(waiter_is_boosted, "_Waiter.is_boosted", "self, now")(const py::Call&, const py::Args& a) {
    py::Ref boost = attr(a[0], names::boost_after_sec);
    py::Ref zero = py::new_int(0);
    py::Ref positive = py::Ref::steal(PyObject_RichCompare(boost.get(), zero.get(), Py_GT));
    if (!py::truthy(positive.get())) return positive;
    py::Ref queued_at = attr(a[0], names::queued_at);
    py::Ref age = py::Ref::steal(PyNumber_Subtract(a[1], queued_at.get()));
    return py::Ref::steal(PyObject_RichCompare(age.get(), boost.get(), Py_GE));
}

PY_FUNCTION(lb_try_admit, "LoadBalancer._try_admit", "self, waiter")(const py::Call&, const py::Args& a) {
    PyObject *self = a[0], *waiter = a[1];
    if (future_done(attr(waiter, names::future).get())) return py::none();
    py::Ref cands = attr(waiter, names::candidates);
    py::Ref pool_key = attr(waiter, names::pool_key);
    py::any_of(cands.get(), [&](PyObject* rec) {
        if (!under_capacity(self, rec, cands.get(), pool_key.get())) return false;
        py::call_method(self, names::_fulfill, waiter, rec);
        return true;
    });
    return py::none();
}

PY_FUNCTION(lb_wake_one, "LoadBalancer._wake_one", "self, server_id")(const py::Call& c, const py::Args& a) {
    PyObject *self = a[0], *sid = a[1];
    py::Ref waiters = attr(self, names::_waiters);
    py::Ref dq = py::get(waiters.get(), sid);
    if (dq.get() == Py_None || !py::truthy(dq.get())) return py::none();

    py::Ref live = py::new_list();
    py::for_each(dq.get(), [&](PyObject* w) {
        if (!future_done(attr(w, names::future).get())) py::append(live.get(), w);
    });
    Py_ssize_t n = PyList_GET_SIZE(live.get());
    if (n == 0) {
        py::discard_key(waiters.get(), sid);
        return py::none();
    }

    // First come, first served in "queue_all"; elsewhere boosted waiters by
    // arrival, then the rest smallest estimate first.  One clock reading
    // serves every boost test of this wake-up.  The interpreter's own stable
    // sort orders (group, key, position) entries: positions are unique, so
    // equal keys keep parking order and waiters are never compared.
    py::Ref order = py::new_list();
    py::Ref mode = attr(self, names::_routing_mode);
    bool queue_all = py::compare(mode.get(), c.g.get(names::ROUTING_MODE_QUEUE_ALL).get(), Py_EQ);
    py::Ref now = queue_all ? py::Ref() : monotonic(c.g);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* w = PyList_GET_ITEM(live.get(), i);
        bool boosted = !queue_all && py::truthy(py::call_method(w, names::is_boosted, now.get()).get());
        py::Ref key = attr(w, queue_all || boosted ? names::queued_at : names::estimated_tokens);
        py::Ref group = py::new_int(queue_all || boosted ? 0 : 1), pos = py::new_int(i);
        py::append(order.get(), py::Ref::steal(PyTuple_Pack(3, group.get(), key.get(), pos.get())).get());
    }
    py::check_int(PyList_Sort(order.get()));

    // Only the freed backend's records are tried; a waiter it cannot take
    // does not stop the next one.
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_ssize_t pos = PyLong_AsSsize_t(PyTuple_GET_ITEM(PyList_GET_ITEM(order.get(), i), 2));
        py::Ref held = py::Ref::borrow(PyList_GET_ITEM(live.get(), pos));
        PyObject* w = held.get();
        py::Ref cands = attr(w, names::candidates);
        py::Ref pool_key;
        bool admitted = py::any_of(cands.get(), [&](PyObject* rec) {
            py::Ref rid = py::getitem(rec, names::id);
            if (!py::compare(rid.get(), sid, Py_EQ)) return false;
            if (!pool_key) pool_key = attr(w, names::pool_key);
            if (!under_capacity(self, rec, cands.get(), pool_key.get())) return false;
            py::call_method(self, names::_fulfill, w, rec);
            return true;
        });
        if (admitted) break;
    }
    return py::none();
}

PY_FUNCTION(lb_fulfill, "LoadBalancer._fulfill", "self, waiter, server")(const py::Call&, const py::Args& a) {
    PyObject *self = a[0], *waiter = a[1], *server = a[2];
    py::Ref future = attr(waiter, names::future);
    if (future_done(future.get())) return py::none();
    py::call_method(self, names::_remove_waiter, waiter);
    py::Ref pool_key = attr(waiter, names::pool_key);
    py::call_method(self, names::_record_dispatch, pool_key.get(), server);
    py::call_method(future.get(), names::set_result, server);
    return py::none();
}

PY_FUNCTION(lb_remove_waiter, "LoadBalancer._remove_waiter", "self, waiter")(const py::Call&, const py::Args& a) {
    PyObject *self = a[0], *waiter = a[1];
    py::Ref waiters = attr(self, names::_waiters);
    py::Ref cands = attr(waiter, names::candidates);
    py::for_each(cands.get(), [&](PyObject* rec) {
        py::Ref sid = py::getitem(rec, names::id);
        py::Ref dq = py::get(waiters.get(), sid.get());
        if (dq.get() == Py_None) return;
        remove_identical(dq.get(), waiter);
        if (!py::truthy(dq.get())) py::discard_key(waiters.get(), sid.get());
    });
    remove_identical(attr(self, names::_all_waiters).get(), waiter);
    return py::none();
}

}  // namespace lb
