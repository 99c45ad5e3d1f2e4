// The reading toolkit of the native decisions (see native.h).
#include "balancer/native.h"

#include <cmath>

// Exported by the interpreter, but declared only among its internal
// headers on 3.13.
extern "C" int _PyDict_SetItem_KnownHash(PyObject* mp, PyObject* key, PyObject* item, Py_hash_t hash);

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

// A record's weight or cap as the rules read it: a missing or None value is
// a false one (`x or default`); false for a value that is not plain.
bool read_num(PyObject* v, py::Num& out) {
    if (!v || v == Py_None) {
        out = py::Num{0.0, true};
        return true;
    }
    return py::num(v, out);
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

// ---- records -----------------------------------------------------------------

namespace {

using RecordFields = Fields<3>;
RecordFields record_fields() { return RecordFields({&names::id, &names::weight, &names::max_concurrency}); }

// The record `s` read into `r` (its object and id borrowed); false when it is
// not plain.
inline bool read_record(RecordFields& fields, PyObject* s, Rec& r) {
    std::array<PyObject*, 3> v;
    if (!PyDict_CheckExact(s) || !fields.read(s, v)) return false;
    r.obj = s;
    r.id = v[0];
    r.cap = 0;
    r.limited = r.timed = false;
    py::Num weight, cap;
    if (!r.id || !py::small_int(r.id, r.id_v) || !read_num(v[1], weight) || !read_num(v[2], cap)) return false;
    r.drained = record::weight_drains(weight);
    r.weight = record::weight_for_picks(weight, 1.0);
    return !record::cap_configured(cap) || truncate(cap.v, r.cap);
}

// limits.get(id) of one record: absent, or an exact pair (n, until) of a
// plain int and None or a plain number.
bool read_limit(PyObject* limits, Rec& r) {
    r.limited = r.timed = false;
    if (PyDict_GET_SIZE(limits) == 0) return true;
    bool failed = false;
    PyObject* v = lookup(limits, r.id, failed);
    if (failed) return false;
    if (!v || v == Py_None) return v == nullptr;  // None is not a pair: the steps say so
    if (!PyTuple_CheckExact(v) || PyTuple_GET_SIZE(v) != 2 || !py::small_int(PyTuple_GET_ITEM(v, 0), r.limit))
        return false;
    PyObject* until = PyTuple_GET_ITEM(v, 1);
    py::Num u;
    r.timed = until != Py_None;
    if (r.timed && !py::num(until, u)) return false;
    r.until = u.v;
    r.limited = true;
    return true;
}

// inflight.get(id, 0), held_slots.get(id, 0) and limits.get(id) of one
// record.
bool read_count(PyObject* inflight, PyObject* held, PyObject* limits, Rec& r) {
    bool failed = false;
    PyObject* v = lookup(inflight, r.id, failed);
    if (failed) return false;
    r.inflight = r.held = 0;
    if (v && !py::small_int(v, r.inflight)) return false;
    if (!read_limit(limits, r)) return false;
    if (PyDict_GET_SIZE(held) == 0) return true;
    PyObject* h = lookup(held, r.id, failed);
    if (failed || (h && !py::small_int(h, r.held))) return false;
    long long busy;
    return !__builtin_add_overflow(r.inflight, r.held, &busy);
}

}  // namespace

bool read_records(PyObject* list, Recs& out) {
    if (!PyList_CheckExact(list)) return false;
    RecordFields fields = record_fields();
    // The length is read at every step: a signal handler may change the list,
    // and the records (freeing keys the fields remembered).
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        if ((i & 4095) == 4095) {
            if (PyErr_CheckSignals() < 0) py::raise();
            fields.forget();
        }
        if (!read_record(fields, PyList_GET_ITEM(list, i), out.next())) return out.drop(), false;
        out.keep();
    }
    return true;
}

bool reread(const Inst& inst, Rec& rec) {
    PyObject* inflight = inst.dict(kInflight);
    PyObject* held = inst.dict(kHeldSlots);
    PyObject* limits = inst.dict(kLimits);
    RecordFields fields = record_fields();
    Rec r;
    if (!inflight || !held || !limits || !read_record(fields, rec.obj, r) || !read_count(inflight, held, limits, r))
        return false;
    // The id read now is held in place of the one read before.
    Py_INCREF(r.id);
    Py_SETREF(rec.id, r.id);
    r.id = rec.id;
    rec = r;
    return true;
}

bool read_counts(const Inst& inst, Recs& recs) {
    PyObject* inflight = inst.dict(kInflight);
    PyObject* held = inst.dict(kHeldSlots);
    PyObject* limits = inst.dict(kLimits);
    if (!inflight || !held || !limits) return false;
    for (size_t i = 0; i < recs.size(); ++i)
        if (!read_count(inflight, held, limits, recs[i])) return false;
    return true;
}

bool plain_pool_key(Module& m, py::Handle key) {
    if (m.fast.plain_key.is(key)) return true;
    if (!PyTuple_CheckExact(key.get()) || !plain_key(key)) return false;
    m.fast.plain_key = py::Ref::borrow(key);
    return true;
}

bool plain_id_set(py::Handle ids, py::Ref& out) {
    out = {};
    if (!ids || ids.is_none()) return true;
    if (!PySet_CheckExact(ids.get()) && !PyFrozenSet_CheckExact(ids.get())) return false;
    if (PySet_GET_SIZE(ids.get()) == 0) return true;
    // Its members must compare with an id without running code.
    if (!plain_members(ids)) return false;
    out = py::Ref::borrow(ids);
    return true;
}

// ---- the instance ------------------------------------------------------------

bool Inst::open(Module& mod, const Facts& facts, py::Handle s) {
    if (!facts.valid || !facts.lb_plain || !facts.knobs) return false;
    const View* v = view_of(mod, s);
    if (!v || !v->plain_tables) return false;
    m = &mod;
    f = &facts;
    self = s;
    overridden_ = v->overridden;
    instance_epoch_ = instance_epoch;
    facts_epoch_ = epoch;
    for (int a = 0; a < kAttrCount; ++a) attrs_[a] = Ref::borrow(v->attrs[a]);
    return true;
}

bool Inst::owns(std::initializer_list<const py::Method*> methods) const {
    uint64_t mask = 0;
    for (const py::Method* method : methods) mask |= uint64_t(1) << method->slot();
    return (f->lb_own & mask) == mask && !(overridden_ & mask);
}

PyObject* Inst::dict(Attr a) const {
    PyObject* v = get(a);
    return v && PyDict_CheckExact(v) ? v : nullptr;
}

Ref Inst::current(Attr a) const {
    if (unchanged())
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

bool Now::read(Module& m, const Facts& f) {
    replaced = !f.native_clock;
    if (replaced) return false;
    obj = fast::monotonic(m);
    return py::num(obj, num);
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

}  // namespace lb::fast
