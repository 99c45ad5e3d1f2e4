// The decisions computed natively for plain inputs (see native.h).
#include "balancer/native.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <string>
#include <unordered_set>

#include "balancer/blake2b.h"

// Exported by the interpreter, but declared only among its internal
// headers on 3.13.
extern "C" int _PyDict_SetItem_KnownHash(PyObject* mp, PyObject* key, PyObject* item, Py_hash_t hash);

namespace lb::fast {

namespace {

bool exact_deque(const Module& m, PyObject* o) { return reinterpret_cast<PyObject*>(Py_TYPE(o)) == m.deque_class.get(); }

// Whether every key of the exact dict `d` is an exact str: looking a name
// up in it then runs no Python code.
bool str_keys(PyObject* d) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(d, &pos, &key, &value))
        if (!PyUnicode_CheckExact(key)) return false;
    return true;
}

}  // namespace

// deque.append(x) / deque.popleft(), through the type's own methods when the
// deque is exact (a C type: its methods cannot be replaced).
void deque_call(const Module& m, PyObject* dq, const py::Ref& method, const py::Name& name, PyObject* arg) {
    if (exact_deque(m, dq)) {
        PyObject* argv[] = {dq, arg};
        py::Ref::steal(PyObject_Vectorcall(method, argv, arg ? 2 : 1, nullptr));
    } else if (arg) {
        py::call_method(dq, name, arg);
    } else {
        py::call_method(dq, name);
    }
}

namespace {

// Store `v` as the value of `key` in `d` (an exact dict): a float that only
// the dict holds is updated in place, which nobody can tell from a new one.
void set_float(PyObject* d, PyObject* key, PyObject* cur, double v) {
    if (cur && PyFloat_CheckExact(cur) && Py_REFCNT(cur) == 1) {
        reinterpret_cast<PyFloatObject*>(cur)->ob_fval = v;
        return;
    }
    py::check_int(PyDict_SetItem(d, key, py::new_float(v)));
}

// int(x) of a plain float, or false when it raises (inf, nan) or does not
// fit a long long.
bool truncate(double x, long long& out) {
    if (!std::isfinite(x) || x >= 9.2e18 || x <= -9.2e18) return false;
    out = static_cast<long long>(x);  // toward zero, as int() does
    return true;
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
    Fields<3> fields({&names::id, &names::weight, &names::max_concurrency});
    std::array<PyObject*, 3> v;
    // The length is read at every step: a signal handler may change the list,
    // and the records (freeing keys the fields remembered).
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        if ((i & 4095) == 4095) {
            if (PyErr_CheckSignals() < 0) py::raise();
            fields.forget();
        }
        PyObject* s = PyList_GET_ITEM(list, i);
        if (!PyDict_CheckExact(s) || !fields.read(s, v)) return false;
        Rec r{s, v[0], 0, false, 1.0, 0, 0, 0};
        if (!r.id || !py::small_int(r.id, r.id_v)) return false;
        Num w;
        PyObject* weight = v[1];
        if (!weight || weight == Py_None) {
            r.drained = true;
        } else if (num(weight, w)) {
            bool truthy = w.v != 0.0;  // a NaN weight is true
            r.drained = !(truthy && w.v > 0.0);
            r.weight = truthy ? w.v : 1.0;
        } else {
            return false;
        }
        PyObject* cap = v[2];
        Num c;
        if (!cap || cap == Py_None) {
        } else if (num(cap, c)) {
            if (c.v != 0.0 && !truncate(c.v, r.cap)) return false;
        } else {
            return false;
        }
        out.hold(r);
    }
    return true;
}

bool read_counts(const Inst& inst, Recs& recs) {
    PyObject* inflight = inst.dict(kInflight);
    PyObject* held = inst.dict(kHeldSlots);
    if (!inflight || !held) return false;
    const bool any_held = PyDict_GET_SIZE(held) > 0;
    bool failed = false;
    for (size_t i = 0; i < recs.size(); ++i) {
        Rec& r = recs[i];
        PyObject* v = lookup(inflight, r.id, failed);
        if (failed) return false;
        r.inflight = r.held = 0;
        if (v && !py::small_int(v, r.inflight)) return false;
        if (!any_held) continue;
        PyObject* h = lookup(held, r.id, failed);
        if (failed || (h && !py::small_int(h, r.held))) return false;
        long long busy;
        if (__builtin_add_overflow(r.inflight, r.held, &busy)) return false;
    }
    return true;
}

bool plain_key(Module& m, py::Handle key) {
    if (m.plain_key.is(key)) return true;
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
    m.plain_key = py::Ref::borrow(key);
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
    PyObject* d = dict_of(mod, s);
    if (!d || !PyDict_CheckExact(d)) return false;
    m = &mod;
    f = &facts;
    self = s;
    dict_ = Ref::borrow(d);
    if (const View* v = view(mod, d)) {
        viewed_ = true;
        overridden_ = v->overridden;
        instance_epoch_ = instance_epoch;
        facts_epoch_ = epoch;
        for (int a = 0; a < kAttrCount; ++a) {
            attrs_[a] = Ref::borrow(v->attrs[a]);
            read_[a] = true;
        }
    } else if (!str_keys(d)) {
        return false;
    }
    return true;
}

bool Inst::owns(std::initializer_list<const py::Method*> methods) const {
    uint64_t mask = 0;
    for (const py::Method* method : methods) mask |= uint64_t(1) << method->slot();
    if ((f->lb_own & mask) != mask) return false;
    if (viewed_) return !(overridden_ & mask);
    bool failed = false;
    for (const py::Method* method : methods)
        if (lookup(dict_, method->name_object(), failed) || failed) return false;
    return true;
}

PyObject* Inst::get(Attr a) const {
    if (!read_[a]) {
        bool failed = false;
        attrs_[a] = Ref::borrow(lookup(dict_, *kAttrNames[a], failed));
        read_[a] = true;
    }
    return attrs_[a].get();
}

PyObject* Inst::dict(Attr a) const {
    PyObject* v = get(a);
    return v && PyDict_CheckExact(v) ? v : nullptr;
}

Ref Inst::current(Attr a) const {
    if (viewed_ && instance_epoch == instance_epoch_ && epoch == facts_epoch_)
        if (PyObject* v = get(a)) return Ref::borrow(v);
    return lb::attr(self, *kAttrNames[a]);
}

PyObject* Key::in(PyObject* d, bool& failed) const {
    PyObject* v = _PyDict_GetItem_KnownHash(d, obj, hash);
    if (!v && PyErr_Occurred()) {
        PyErr_Clear();
        failed = true;
    }
    return v;
}


Ref Key::get(py::Handle d) const {
    if (hash == -1 || !PyDict_CheckExact(d.get())) return py::get(d, obj);
    PyObject* v = _PyDict_GetItem_KnownHash(d, obj, hash);
    if (!v && PyErr_Occurred()) py::raise();
    return v ? Ref::borrow(v) : py::none();
}

void Key::set(py::Handle d, py::Handle v) const {
    if (hash == -1 || !PyDict_CheckExact(d.get())) return py::setitem(d, obj, v);
    py::check_int(_PyDict_SetItem_KnownHash(d, obj, v, hash));
}

bool Now::read(Module& m) {
    obj = fast::monotonic(m);
    return fast::num(obj, this->num);
}

bool Now::read_if_replaced(Module& m, const Facts& f) {
    if (!f.valid || f.native_clock) return true;
    return read(m) && epoch == m.facts_epoch;
}

// ---- the capacity gate -----------------------------------------------------------

bool Gate::prepare(const Inst& inst, const Key& pool_key, long long pool_inflight, const Now& now) {
    const Facts& f = *inst.f;
    inst_ = &inst;
    pool_key_ = &pool_key;
    bool failed = false;
    PyObject* mode = inst.get(kRoutingMode);
    if (!mode || !f.mode_of(mode, mode_)) return false;

    pool_inflight_ = pool_inflight;

    // The pool's dispatch rate, and how much of its window the first reading
    // trims.
    PyObject* windows = inst.dict(kPoolDispatchWindows);
    if (!windows) return false;
    PyObject* window = pool_key.in(windows, failed);
    if (failed) return false;
    rate_ = 0.0;
    window_ = nullptr;
    trim_ = 0;
    if (window && window != Py_None) {
        if (!exact_deque(*inst.m, window)) return false;
        Py_ssize_t n = PySequence_Size(window);
        if (n < 0) return PyErr_Clear(), false;
        if (n > 0) {
            window_ = window;
            double cutoff = now.num.v - rate_window(f.hybrid_window.v);
            Num oldest;
            for (;;) {
                py::Ref item = py::Ref::steal_or_null(PySequence_GetItem(window, trim_));
                if (!item || !num(item, oldest)) return PyErr_Clear(), false;
                if (!(oldest.v < cutoff)) break;
                if (++trim_ == n) break;
            }
            if (trim_ < n) rate_ = dispatch_rate(n - trim_, now.num.v, oldest.v);
        }
    }

    hot_state_ = nullptr;
    hot_ = hot_written_ = false;
    if (mode_ == Mode::Hybrid) {
        hot_state_ = inst.dict(kPoolHotState);
        if (!hot_state_) return false;
        PyObject* hot = pool_key.in(hot_state_, failed);
        if (failed) return false;
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
            bool was = PyTuple_GET_SIZE(pool_key_->obj) > 0 && hot_;
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
    // A slot held for a woken waiter is as busy as one in flight.
    return double(rec.inflight + rec.held) < cap;
}

void Gate::commit() {
    if (rate_used_ && window_)
        for (Py_ssize_t i = 0; i < trim_; ++i) deque_call(*inst_->m, window_, inst_->m->deque_popleft, names::popleft);
    if (hot_written_) pool_key_->set(hot_state_, hot_ ? Py_True : Py_False);
}

// ---- the waiter ------------------------------------------------------------------

Ref new_waiter(const Module& m, py::Handle pool_key, py::Handle candidates, py::Handle estimated_tokens,
               py::Handle future, py::Handle queued_at, py::Handle boost_after_sec) {
    auto* type = reinterpret_cast<PyTypeObject*>(m.waiter_type.get());
    Ref w = Ref::steal(PyType_GenericAlloc(type, 0));
    const std::pair<const py::Name*, py::Handle> fields[] = {
        {&names::pool_key, pool_key}, {&names::candidates, candidates}, {&names::estimated_tokens, estimated_tokens},
        {&names::future, future},     {&names::queued_at, queued_at},   {&names::boost_after_sec, boost_after_sec}};
    for (const auto& [name, value] : fields) py::setattr(w, *name, value);
    return w;
}

// ---- the algorithm and the pickers ----------------------------------------------

namespace {

// s.strip().lower() of an exact str; the str itself when that changes
// nothing (ASCII, no surrounding white space, no capital letter).
py::Ref normalized(py::Handle s) {
    if (PyUnicode_IS_ASCII(s.get())) {
        const auto* p = static_cast<const unsigned char*>(PyUnicode_DATA(s.get()));
        Py_ssize_t n = PyUnicode_GET_LENGTH(s.get());
        auto space = [](unsigned char ch) { return ch == ' ' || (ch >= '\t' && ch <= '\r') || (ch >= 0x1c && ch <= 0x1f); };
        bool plain = n > 0 && !space(p[0]) && !space(p[n - 1]);
        for (Py_ssize_t i = 0; plain && i < n; ++i) plain = !(p[i] >= 'A' && p[i] <= 'Z');
        if (plain) return py::Ref::borrow(s);
    }
    return py::call_method(py::call_method(s, names::strip), names::lower);
}

}  // namespace

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
            py::Ref normal = normalized(algorithm);
            int member = PySet_Contains(f.algo_valid, normal);
            if (member < 0) return PyErr_Clear(), false;
            name = member ? normal : f.algo_default;
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

void sticky_pick(py::Handle key, const Recs& recs, const Small<size_t>& eligible, size_t& out) {
    Py_ssize_t n = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &n);  // cached: see the header
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
}

bool wrr_pick(const Inst& inst, const Key& pool_key, const Recs& recs, const Small<size_t>& eligible, const Now& now,
              size_t& out) {
    Module& m = *inst.m;
    if (!inst.f->native_lock) return false;
    PyObject* locks = inst.dict(kLocks);
    PyObject* wrr = inst.dict(kWrr);
    if (!locks || !wrr) return false;
    bool failed = false;

    // The lock: exact, free, nobody waiting, no instance-level override.
    PyObject* lock = pool_key.in(locks, failed);
    if (!lock || reinterpret_cast<PyObject*>(Py_TYPE(lock)) != m.lock_type.get()) return false;
    PyObject** ldp = _PyObject_GetDictPtr(lock);
    if (!ldp || !*ldp || !PyDict_CheckExact(*ldp)) return PyErr_Clear(), false;
    PyObject* ld = *ldp;
    PyObject* locked = lookup(ld, names::_locked, failed);
    PyObject* waiters = lookup(ld, names::_waiters, failed);
    if (locked != Py_False || !waiters) return false;
    if (waiters != Py_None && (!exact_deque(m, waiters) || PySequence_Size(waiters) != 0)) return PyErr_Clear(), false;
    for (const py::Name* name : {&names::acquire, &names::release, &names::_wake_up_first})
        if (lookup(ld, *name, failed) || failed) return false;

    // The pool's state: current weights that are plain numbers.
    PyObject* state = pool_key.in(wrr, failed);
    if (failed || (state && !PyDict_CheckExact(state))) return false;
    const size_t n = eligible.size();
    Small<double, 64> value;
    for (size_t k = 0; k < n; ++k) {
        Num v{0.0, false};
        PyObject* cur = state ? lookup(state, recs[eligible[k]].id, failed) : nullptr;
        if (failed || (cur && !num(cur, v))) return false;
        value.push_back(v.v);
    }

    // state = self._wrr.setdefault(pool_key, {})
    py::Ref held;
    if (!state) {
        held = py::new_dict();
        pool_key.set(wrr, held);
        state = held;
    } else {
        held = py::Ref::borrow(state);
    }

    // Every eligible record's weight goes onto its current weight; the
    // highest current weight wins, ties to the smallest id, then to the first
    // listed.  An id listed twice gets its weight twice: then the dict holds
    // the running values.
    const size_t distinct = distinct_ids(recs, eligible);
    const bool repeated = distinct != n;
    double total = 0.0;
    for (size_t k = 0; k < n; ++k) {
        const Rec& r = recs[eligible[k]];
        total += r.weight;
        PyObject* cur = lookup(state, r.id, failed);
        if (repeated) {
            Num v{0.0, false};
            if (cur) num(cur, v);
            value[k] = v.v;
        }
        value[k] += r.weight;
        set_float(state, r.id, cur, value[k]);
    }
    size_t best = 0;
    double best_cw = 0.0;
    for (size_t k = 0; k < n; ++k) {
        double cw = value[k];
        if (repeated) cw = PyFloat_AS_DOUBLE(lookup(state, recs[eligible[k]].id, failed));
        if (k == 0 || cw > best_cw || (cw == best_cw && recs[eligible[k]].id_v < recs[eligible[best]].id_v)) {
            best = k;
            best_cw = cw;
        }
    }
    const Rec& winner = recs[eligible[best]];
    set_float(state, winner.id, lookup(state, winner.id, failed), best_cw - total);

    // Drop the ids that are not eligible any more: every eligible id is a
    // key by now, so there are stale ones exactly when the state has more
    // keys than there are distinct eligible ids.
    if (size_t(PyDict_GET_SIZE(state)) > distinct) {
        py::Ref ids = py::Ref::steal(PySet_New(nullptr));
        for (size_t k = 0; k < n; ++k) py::check_int(PySet_Add(ids, recs[eligible[k]].id));
        py::Ref keys = py::Ref::steal(PySet_New(state));
        py::Ref stale = py::Ref::steal(PyNumber_Subtract(keys, ids));
        py::for_each(stale, [&](py::Handle k) { py::discard_key(state, k); });
    }

    // self._pool_last_access[pool_key] = now: the table as the step reads
    // it (dropping stale ids may have run code).
    pool_key.set(inst.current(kPoolLastAccess), now.obj);
    out = eligible[best];
    return true;
}

}  // namespace lb::fast
