// Slot hand-off: admitting a just-parked waiter, waking the best parked
// request when a backend frees a slot, handing a backend over and unparking.
#include <algorithm>
#include <vector>

#include "module.h"

namespace lb {
namespace {

// for item in o: if f(item): return True -- stops at the first hit.
template <class F>
bool any_of(PyObject* o, F&& f) {
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(o); ++i) {
            py::Ref item = py::Ref::borrow(PySequence_Fast_GET_ITEM(o, i));
            if (f(item.get())) return true;
        }
        return false;
    }
    py::Ref it = py::Ref::steal(PyObject_GetIter(o));
    while (py::Ref item = py::Ref::steal_or_null(PyIter_Next(it.get())))
        if (f(item.get())) return true;
    if (PyErr_Occurred()) py::raise();
    return false;
}

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

// One live waiter of a backend and its place in the wake order.
struct Ranked {
    py::Ref waiter;
    py::Ref key;
    int group = 0;          // boosted waiters (0) before the others (1)
    bool numeric = false;   // `key` is an exact float, or an exact int a double holds exactly
    double value = 0.0;

    void set_key(py::Ref k) {
        key = std::move(k);
        PyObject* o = key.get();
        if (PyFloat_CheckExact(o)) {
            value = PyFloat_AS_DOUBLE(o);
            numeric = true;
        } else if (PyLong_CheckExact(o)) {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
            if (v == -1 && PyErr_Occurred()) py::raise();
            constexpr long long kExact = 1LL << 53;
            if (!overflow && v <= kExact && v >= -kExact) {
                value = double(v);
                numeric = true;
            }
        }
    }
};

// a sorts before b: the group, then the key compared as Python would.
bool ranks_before(const Ranked& a, const Ranked& b) {
    if (a.group != b.group) return a.group < b.group;
    if (a.numeric && b.numeric) return a.value < b.value;
    return py::compare(a.key.get(), b.key.get(), Py_LT);
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
    any_of(cands.get(), [&](PyObject* rec) {
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

    std::vector<Ranked> live;
    py::for_each(dq.get(), [&](PyObject* w) {
        if (!future_done(attr(w, names::future).get())) live.push_back(Ranked{py::Ref::borrow(w), {}});
    });
    if (live.empty()) {
        py::discard_key(waiters.get(), sid);
        return py::none();
    }

    // First come, first served in "queue_all"; elsewhere boosted waiters by
    // arrival, then the rest smallest estimate first.  One clock reading
    // serves every boost test of this wake-up.
    py::Ref mode = attr(self, names::_routing_mode);
    if (py::compare(mode.get(), c.g.get(names::ROUTING_MODE_QUEUE_ALL).get(), Py_EQ)) {
        for (Ranked& r : live) r.set_key(attr(r.waiter.get(), names::queued_at));
    } else {
        py::Ref now = monotonic(c.g);
        for (Ranked& r : live) {
            bool boosted = py::truthy(py::call_method(r.waiter.get(), names::is_boosted, now.get()).get());
            r.group = boosted ? 0 : 1;
            r.set_key(attr(r.waiter.get(), boosted ? names::queued_at : names::estimated_tokens));
        }
    }
    if (live.size() > 1) std::stable_sort(live.begin(), live.end(), ranks_before);

    // Only the freed backend's records are tried; a waiter it cannot take
    // does not stop the next one.
    for (Ranked& r : live) {
        PyObject* w = r.waiter.get();
        py::Ref cands = attr(w, names::candidates);
        py::Ref pool_key;
        bool admitted = any_of(cands.get(), [&](PyObject* rec) {
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
