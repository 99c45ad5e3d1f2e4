// The decisions computed natively for plain inputs (see native.h).
#include "balancer/native.h"

#include <charconv>
#include <cmath>
#include <string>

#include "balancer/blake2b.h"

namespace lb::fast {

namespace {

bool exact_deque(const Module& m, PyObject* o) { return reinterpret_cast<PyObject*>(Py_TYPE(o)) == m.deque_class.get(); }

// int(x) of a plain float, or false when it raises (inf, nan) or does not
// fit a long long.
bool truncate(double x, long long& out) {
    if (!std::isfinite(x) || x >= 9.2e18 || x <= -9.2e18) return false;
    out = static_cast<long long>(x);  // toward zero, as int() does
    return true;
}

// max(1, x) and the superfast clamp, as the builtins pick.
double at_least_one(double x) { return x > 1 ? x : 1; }
double superfast(const Facts& f, double configured) {
    double cap = f.superfast_cap.v;
    if (configured <= 0) return at_least_one(cap);
    return at_least_one(cap < configured ? cap : configured);
}

}  // namespace

// ---- reading ---------------------------------------------------------------

bool read_records(PyObject* list, Recs& out) {
    if (!PyList_CheckExact(list)) return false;
    Py_ssize_t n = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* s = PyList_GET_ITEM(list, i);
        if (!PyDict_CheckExact(s)) return false;
        Rec r;
        r.obj = s;
        r.id = PyDict_GetItemWithError(s, names::id);
        if (!r.id || !py::small_int(r.id, r.id_v)) {
            PyErr_Clear();
            return false;
        }
        Num w;
        PyObject* weight = PyDict_GetItemWithError(s, names::weight);
        if (!weight || weight == Py_None) {
            if (PyErr_Occurred()) return PyErr_Clear(), false;
            r.drained = true;
        } else if (num(weight, w)) {
            bool truthy = w.v != 0.0;  // a NaN weight is true
            r.drained = !(truthy && w.v > 0.0);
            r.weight = truthy ? w.v : 1.0;
        } else {
            return false;
        }
        PyObject* cap = PyDict_GetItemWithError(s, names::max_concurrency);
        Num c;
        if (!cap || cap == Py_None) {
            if (PyErr_Occurred()) return PyErr_Clear(), false;
        } else if (num(cap, c)) {
            if (c.v != 0.0 && !truncate(c.v, r.cap)) return false;
        } else {
            return false;
        }
        out.push_back(r);
    }
    return true;
}

bool read_inflight(PyObject* inflight, Recs& recs) {
    for (size_t i = 0; i < recs.size(); ++i) {
        PyObject* v = PyDict_GetItemWithError(inflight, recs[i].id);
        if (!v) {
            if (PyErr_Occurred()) return PyErr_Clear(), false;
            recs[i].inflight = 0;
        } else if (!py::small_int(v, recs[i].inflight)) {
            return false;
        }
    }
    return true;
}

bool plain_key(py::Handle key) {
    auto atom = [](PyObject* o) {
        return o == Py_None || PyUnicode_CheckExact(o) || PyLong_CheckExact(o) || PyFloat_CheckExact(o);
    };
    if (!PyTuple_CheckExact(key.get())) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(key.get()); ++i) {
        PyObject* part = PyTuple_GET_ITEM(key.get(), i);
        if (atom(part)) continue;
        if (!PyFrozenSet_CheckExact(part)) return false;
        py::Ref it = py::Ref::steal_or_null(PyObject_GetIter(part));
        if (!it) return PyErr_Clear(), false;
        while (py::Ref item = py::Ref::steal_or_null(PyIter_Next(it)))
            if (!atom(item)) return false;
    }
    return true;
}

bool plain_id_set(py::Handle ids, PyObject*& out) {
    out = nullptr;
    if (!ids || ids.is_none()) return true;
    if (!PySet_CheckExact(ids.get()) && !PyFrozenSet_CheckExact(ids.get())) return false;
    if (PySet_GET_SIZE(ids.get())) out = ids;
    return true;
}

// ---- the instance ----------------------------------------------------------

bool Inst::open(Module& mod, const Facts& facts, py::Handle s) {
    if (!facts.valid || !facts.lb_plain || !facts.knobs) return false;
    if (reinterpret_cast<PyObject*>(s.type()) != mod.lb_type.get()) return false;
    PyObject** dp = _PyObject_GetDictPtr(s);
    if (!dp || !*dp || !PyDict_CheckExact(*dp)) return false;
    m = &mod;
    f = &facts;
    self = s;
    dict_ = *dp;
    return true;
}

bool Inst::owns(std::initializer_list<const py::Method*> methods) const {
    for (const py::Method* method : methods) {
        if (!((f->lb_own >> method->slot()) & 1)) return false;
        if (PyDict_GetItemWithError(dict_, method->name_object())) return false;
        if (PyErr_Occurred()) return PyErr_Clear(), false;
    }
    return true;
}

PyObject* Inst::get(const py::Name& name) const {
    PyObject* v = PyDict_GetItemWithError(dict_, name);
    if (!v) PyErr_Clear();
    return v;
}

PyObject* Inst::dict(const py::Name& name) const {
    PyObject* v = get(name);
    return v && PyDict_CheckExact(v) ? v : nullptr;
}

bool Now::read(Module& m) {
    obj = fast::monotonic(m);
    return fast::num(obj, this->num);
}

// ---- the capacity gate -----------------------------------------------------------

bool Gate::prepare(const Inst& inst, PyObject* pool_key, long long pool_inflight, const Now& now) {
    const Facts& f = *inst.f;
    inst_ = &inst;
    pool_key_ = pool_key;
    PyObject* mode = inst.get(names::_routing_mode);
    if (!mode || !f.mode_of(mode, mode_)) return false;

    pool_inflight_ = pool_inflight;

    // The pool's dispatch rate, and how much of its window the first reading
    // trims.
    PyObject* windows = inst.dict(names::_pool_dispatch_windows);
    if (!windows) return false;
    PyObject* window = PyDict_GetItemWithError(windows, pool_key);
    if (PyErr_Occurred()) return PyErr_Clear(), false;
    rate_ = 0.0;
    window_ = nullptr;
    trim_ = 0;
    if (window && window != Py_None) {
        if (!exact_deque(*inst.m, window)) return false;
        Py_ssize_t n = PySequence_Size(window);
        if (n < 0) return PyErr_Clear(), false;
        if (n > 0) {
            window_ = window;
            double length = f.hybrid_window.v > 0.5 ? f.hybrid_window.v : 0.5;
            double cutoff = now.num.v - length;
            Num oldest;
            for (;;) {
                py::Ref item = py::Ref::steal_or_null(PySequence_GetItem(window, trim_));
                if (!item || !num(item, oldest)) return PyErr_Clear(), false;
                if (!(oldest.v < cutoff)) break;
                if (++trim_ == n) break;
            }
            if (trim_ < n) {
                double span = now.num.v - oldest.v;
                if (!(span > 0.001)) span = 0.001;
                rate_ = double(n - trim_) / span;
            }
        }
    }

    hot_state_ = nullptr;
    hot_ = hot_written_ = false;
    if (mode_ == Mode::Hybrid) {
        hot_state_ = inst.dict(names::_pool_hot_state);
        if (!hot_state_) return false;
        PyObject* hot = PyDict_GetItemWithError(hot_state_, pool_key);
        if (PyErr_Occurred()) return PyErr_Clear(), false;
        if (hot && !PyBool_Check(hot)) return false;
        hot_ = hot == Py_True;
    }
    rate_used_ = false;
    return true;
}

bool Gate::free(const Rec& rec) {
    const Facts& f = *inst_->f;
    rate_used_ = true;
    double configured = double(rec.cap);
    double cap = configured;
    switch (mode_) {
        case Mode::MaxConcurrency:
        case Mode::QueueAll:
        case Mode::Other:
            break;
        case Mode::Superfast:
            cap = superfast(f, configured);
            break;
        case Mode::Hybrid: {
            // The hysteresis, replayed: a hot pool stays hot while either
            // signal is above its exit threshold; a cold one turns hot once
            // either reaches its entry threshold.
            bool was = PyTuple_GET_SIZE(pool_key_) > 0 && hot_;
            double ratio = f.hybrid_exit_ratio.v < 1.0 ? f.hybrid_exit_ratio.v : 1.0;
            ratio = ratio > 0.0 ? ratio : 0.0;
            double inflight = double(pool_inflight_);
            bool now_hot = was ? (inflight > f.hybrid_inflight.v * ratio || rate_ > f.hybrid_rate.v * ratio)
                               : (inflight >= f.hybrid_inflight.v || rate_ >= f.hybrid_rate.v);
            if (now_hot != was) {
                hot_ = now_hot;
                hot_written_ = true;
            }
            if (!now_hot) cap = superfast(f, configured);
            break;
        }
    }
    if (cap <= 0) return true;  // unbounded
    return double(rec.inflight) < cap;
}

void Gate::commit() {
    if (rate_used_ && window_)
        for (Py_ssize_t i = 0; i < trim_; ++i) py::call_method(window_, names::popleft);
    if (hot_written_) py::setitem(hot_state_, pool_key_, hot_ ? Py_True : Py_False);
}

// ---- the dispatch record ---------------------------------------------------------

void record_dispatch(const Inst& inst, PyObject* pool_key, const Rec& rec, const Now& now) {
    Module& m = *inst.m;
    py::bump(attr(inst.self, names::dispatch_counts), rec.id);
    py::Ref wall = fast::wall_clock(m);
    py::setitem(attr(inst.self, names::last_dispatch_ts), rec.id, wall);
    py::setitem(attr(inst.self, names::_pool_last_access), pool_key, now.obj);
    py::Ref windows = attr(inst.self, names::_pool_dispatch_windows);
    py::Ref window = py::get(windows, pool_key);
    if (window.is_none()) {
        window = py::call_kw(py::Globals(m.dict).get(names::deque), m.kw_maxlen, py::new_int(4096));
        py::setitem(windows, pool_key, window);
    }
    py::call_method(window, names::append, now.obj);
}

// ---- the algorithm and the pickers ----------------------------------------------

bool algorithm_of(const Facts& f, py::Handle algorithm, int& out) {
    if (!f.own_normalizer || !f.algo_default || !f.algo_valid || !f.algo_sticky || !f.algo_least_conn) return false;
    py::Ref name;
    if (!algorithm || algorithm.is_none()) {
        name = f.algo_default;
    } else {
        if (!PyUnicode_CheckExact(algorithm.get())) return false;
        if (PyUnicode_GET_LENGTH(algorithm.get()) == 0) {
            name = f.algo_default;
        } else {
            // value.strip().lower(), a member of the vocabulary, or the default
            py::Ref stripped = py::Ref::steal(PyObject_CallMethod(algorithm, "strip", nullptr));
            py::Ref lowered = py::Ref::steal(PyObject_CallMethod(stripped, "lower", nullptr));
            int member = PySet_Contains(f.algo_valid, lowered);
            if (member < 0) return PyErr_Clear(), false;
            name = member ? lowered : f.algo_default;
        }
    }
    auto same = [&](const py::Ref& constant) { return name.is(constant) || PyUnicode_Compare(name, constant) == 0; };
    out = same(f.algo_sticky) ? 2 : same(f.algo_least_conn) ? 1 : 0;
    return true;
}

size_t least_connections_pick(const Recs& recs, const Small<size_t>& eligible) {
    // The smallest (in-flight / weight, in-flight, id); the first on ties.
    auto ratio = [&](const Rec& r) { return r.weight > 0.0 ? double(r.inflight) / r.weight : Py_HUGE_VAL; };
    size_t best = eligible[0];
    double best_ratio = ratio(recs[best]);
    for (size_t k = 1; k < eligible.size(); ++k) {
        const Rec& r = recs[eligible[k]];
        double rr = ratio(r);
        const Rec& b = recs[best];
        bool less = rr != best_ratio ? rr < best_ratio
                                     : (r.inflight != b.inflight ? r.inflight < b.inflight : r.id_v < b.id_v);
        if (less) {
            best = eligible[k];
            best_ratio = rr;
        }
    }
    return best;
}

bool sticky_pick(py::Handle key, const Recs& recs, const Small<size_t>& eligible, size_t& out) {
    Py_ssize_t n = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &n);
    if (!utf8) return PyErr_Clear(), false;
    std::string material(utf8, size_t(n));
    material.push_back('|');
    const size_t prefix = material.size();
    uint64_t best_score = 0;
    for (size_t k = 0; k < eligible.size(); ++k) {
        char buf[24];
        auto res = std::to_chars(buf, buf + sizeof buf, recs[eligible[k]].id_v);
        material.resize(prefix);
        material.append(buf, res.ptr);
        uint64_t score = blake2b_8(material.data(), material.size());
        if (k == 0 || score > best_score) {
            out = eligible[k];
            best_score = score;
        }
    }
    return true;
}

bool wrr_pick(const Inst& inst, PyObject* pool_key, const Recs& recs, const Small<size_t>& eligible, const Now& now,
              size_t& out) {
    Module& m = *inst.m;
    if (!inst.f->native_lock) return false;
    PyObject* locks = inst.dict(names::_locks);
    PyObject* wrr = inst.dict(names::_wrr);
    if (!locks || !wrr) return false;

    // The lock: exact, free, nobody waiting, no instance-level override.
    PyObject* lock = PyDict_GetItemWithError(locks, pool_key);
    if (!lock || reinterpret_cast<PyObject*>(Py_TYPE(lock)) != m.lock_type.get()) return PyErr_Clear(), false;
    PyObject** ldp = _PyObject_GetDictPtr(lock);
    if (!ldp || !*ldp || !PyDict_CheckExact(*ldp)) return PyErr_Clear(), false;
    PyObject* ld = *ldp;
    PyObject* locked = PyDict_GetItemWithError(ld, names::_locked);
    PyObject* waiters = PyDict_GetItemWithError(ld, names::_waiters);
    if (locked != Py_False || !waiters) return PyErr_Clear(), false;
    if (waiters != Py_None && (!exact_deque(m, waiters) || PySequence_Size(waiters) != 0)) return PyErr_Clear(), false;
    for (const py::Name* name : {&names::acquire, &names::release, &names::_wake_up_first})
        if (PyDict_GetItemWithError(ld, *name) || PyErr_Occurred()) return PyErr_Clear(), false;

    // The pool's state: current weights that are plain numbers.
    PyObject* state = PyDict_GetItemWithError(wrr, pool_key);
    if (PyErr_Occurred()) return PyErr_Clear(), false;
    if (state && !PyDict_CheckExact(state)) return false;
    if (state) {
        for (size_t k = 0; k < eligible.size(); ++k) {
            PyObject* cur = PyDict_GetItemWithError(state, recs[eligible[k]].id);
            Num v;
            if (PyErr_Occurred() || (cur && !num(cur, v))) return PyErr_Clear(), false;
        }
    }

    // state = self._wrr.setdefault(pool_key, {})
    py::Ref held;
    if (!state) {
        held = py::new_dict();
        py::check_int(PyDict_SetItem(wrr, pool_key, held));
        state = held;
    } else {
        held = py::Ref::borrow(state);
    }

    // Every eligible record's weight goes onto its current weight.
    double total = 0.0;
    for (size_t k = 0; k < eligible.size(); ++k) {
        const Rec& r = recs[eligible[k]];
        total += r.weight;
        PyObject* cur = PyDict_GetItemWithError(state, r.id);
        Num v{0.0, false};
        if (cur) num(cur, v);
        py::check_int(PyDict_SetItem(state, r.id, py::new_float(v.v + r.weight)));
    }
    // The highest current weight wins; ties go to the smallest id, then to
    // the first listed.
    size_t best = eligible[0];
    double best_cw = 0.0;
    for (size_t k = 0; k < eligible.size(); ++k) {
        const Rec& r = recs[eligible[k]];
        double cw = PyFloat_AS_DOUBLE(PyDict_GetItemWithError(state, r.id));
        if (k == 0 || cw > best_cw || (cw == best_cw && r.id_v < recs[best].id_v)) {
            best = eligible[k];
            best_cw = cw;
        }
    }
    py::check_int(PyDict_SetItem(state, recs[best].id, py::new_float(best_cw - total)));

    // Drop the ids that are not eligible any more.
    if (size_t(PyDict_GET_SIZE(state)) != eligible.size()) {
        py::Ref ids = py::Ref::steal(PySet_New(nullptr));
        for (size_t k = 0; k < eligible.size(); ++k) py::check_int(PySet_Add(ids, recs[eligible[k]].id));
        py::Ref keys = py::Ref::steal(PySet_New(state));
        py::Ref stale = py::Ref::steal(PyNumber_Subtract(keys, ids));
        py::for_each(stale, [&](py::Handle k) { py::discard_key(state, k); });
    }

    py::setitem(attr(inst.self, names::_pool_last_access), pool_key, now.obj);
    out = best;
    return true;
}

}  // namespace lb::fast
