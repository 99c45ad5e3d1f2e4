// Thin, throwing wrappers over the object protocol and the containers the
// module keeps its state in.  Exact dicts take the fast path; anything else
// goes through the generic protocol so that callers' subclasses and
// replacement objects behave as they would under Python code.
#pragma once

#include <array>
#include <climits>
#include <string_view>
#include <utility>
#include <vector>

#include "py/names.h"
#include "py/ref.h"

namespace py {

// ---- module globals -------------------------------------------------------

// The namespace a function was defined in.  Every lookup happens at the
// moment of use; a missing name raises the interpreter's NameError.
class Globals {
public:
    Globals() = default;
    explicit Globals(PyObject* dict) noexcept : dict_(dict) {}
    PyObject* dict() const noexcept { return dict_; }

    Ref get(Handle name) const {
        PyObject* v = nullptr;
        if (check_int(PyDict_GetItemRef(dict_, name, &v)) == 0) name_error(name);
        return Ref::steal(v);
    }

    [[noreturn]] static void name_error(Handle name) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
        Exc e = Exc::fetch();
        PyObject_SetAttrString(e.get(), "name", name);  // as the interpreter does
        PyErr_Clear();
        e.raise();
    }

private:
    PyObject* dict_ = nullptr;
};

// ---- attributes and calls -------------------------------------------------

inline Ref getattr(Handle o, Handle name) { return Ref::steal(PyObject_GetAttr(o, name)); }

inline void setattr(Handle o, Handle name, Handle v) { check_int(PyObject_SetAttr(o, name, v)); }

template <class... A>
inline Ref call(Handle callable, A... args) {
    std::array<PyObject*, 1 + sizeof...(A)> argv{nullptr, static_cast<PyObject*>(Handle(args))...};
    return Ref::steal(
        PyObject_Vectorcall(callable, argv.data() + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.name(*args), honouring overrides on the instance and its class.
template <class... A>
inline Ref call_method(Handle obj, Handle name, A... args) {
    std::array<PyObject*, 1 + sizeof...(A)> argv{obj.get(), static_cast<PyObject*>(Handle(args))...};
    return Ref::steal(
        PyObject_VectorcallMethod(name, argv.data(), (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.name(*args, **kw): the last len(kwnames) arguments are the values of
// the keywords named by the tuple `kwnames`.
template <class... A>
inline Ref call_method_kw(Handle obj, Handle name, Handle kwnames, A... args) {
    std::array<PyObject*, 1 + sizeof...(A)> argv{obj.get(), static_cast<PyObject*>(Handle(args))...};
    size_t nkw = size_t(PyTuple_GET_SIZE(kwnames.get()));
    assert(nkw <= sizeof...(A));
    return Ref::steal(PyObject_VectorcallMethod(name, argv.data(),
                                                (1 + sizeof...(A) - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// callable(*args, **kw), keyword values last as in call_method_kw.
template <class... A>
inline Ref call_kw(Handle callable, Handle kwnames, A... args) {
    std::array<PyObject*, 1 + sizeof...(A)> argv{nullptr, static_cast<PyObject*>(Handle(args))...};
    size_t nkw = size_t(PyTuple_GET_SIZE(kwnames.get()));
    assert(nkw <= sizeof...(A));
    return Ref::steal(PyObject_Vectorcall(callable, argv.data() + 1,
                                          (sizeof...(A) - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// A tuple of interned names, for the keyword names of calls.
inline Ref kwnames(std::initializer_list<const Name*> names) {
    Ref t = Ref::steal(PyTuple_New(Py_ssize_t(names.size())));
    Py_ssize_t i = 0;
    for (const Name* n : names) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(n->get()));
    return t;
}

// ---- truth, numbers -------------------------------------------------------

inline bool truthy(Handle o) { return check_int(PyObject_IsTrue(o)) != 0; }

inline double as_double(Handle o) {
    double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) raise();
    return d;
}

// An exact int that fits a long long: true and its value in `out`; false for
// anything else (a bool, an int subclass, a big int).
inline bool small_int(Handle o, long long& out) noexcept {
    if (!PyLong_CheckExact(o.get())) return false;
    auto* l = reinterpret_cast<PyLongObject*>(o.get());
    if (PyUnstable_Long_IsCompact(l)) {
        out = PyUnstable_Long_CompactValue(l);
        return true;
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    out = v;
    return true;
}

// A plain number: an exact int small enough to be exact as a double, or an
// exact float (a bool counts as an int).  Computing on one runs no code.
struct Num {
    double v = 0.0;
    bool is_int = true;
};

// `o` as a Num, or false for any other object.
inline bool num(Handle o, Num& out) noexcept {
    PyObject* p = o.get();
    if (PyFloat_CheckExact(p)) {
        out = Num{PyFloat_AS_DOUBLE(p), false};
        return true;
    }
    if (PyBool_Check(p)) {
        out = Num{p == Py_True ? 1.0 : 0.0, true};
        return true;
    }
    long long v;
    if (small_int(o, v) && v <= (1LL << 53) && v >= -(1LL << 53)) {
        out = Num{double(v), true};
        return true;
    }
    return false;
}

inline Ref new_float(double d) { return Ref::steal(PyFloat_FromDouble(d)); }
inline Ref new_int(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }
inline Ref new_str(std::string_view s) {
    return Ref::steal(PyUnicode_FromStringAndSize(s.data(), Py_ssize_t(s.size())));
}
inline Ref to_float(Handle o) { return Ref::steal(PyNumber_Float(o)); }  // float(o)
inline Ref to_int(Handle o) { return Ref::steal(PyNumber_Long(o)); }     // int(o)

inline Ref bool_(bool b) { return Ref::borrow(b ? Py_True : Py_False); }
inline Ref none() { return Ref::borrow(Py_None); }

// a < b, a <= b, ... with Python semantics.
inline bool compare(Handle a, Handle b, int op) { return check_int(PyObject_RichCompareBool(a, b, op)) != 0; }
// The comparison's own result object.
inline Ref rich_compare(Handle a, Handle b, int op) { return Ref::steal(PyObject_RichCompare(a, b, op)); }

// ---- mappings -------------------------------------------------------------

[[noreturn]] inline void key_error(Handle key) {
    Ref args = Ref::steal(PyTuple_Pack(1, key.get()));
    PyErr_SetObject(PyExc_KeyError, args.get());
    raise();
}

inline Name n_get{"get"}, n_pop{"pop"}, n_items{"items"};

// o[key]
inline Ref getitem(Handle o, Handle key) {
    if (PyDict_CheckExact(o.get())) {
        PyObject* v = nullptr;
        if (check_int(PyDict_GetItemRef(o, key, &v)) == 0) key_error(key);
        return Ref::steal(v);
    }
    return Ref::steal(PyObject_GetItem(o, key));
}

// o.get(key, dflt) -- `dflt` NULL means None.
inline Ref get(Handle o, Handle key, Handle dflt = nullptr) {
    if (PyDict_CheckExact(o.get())) {
        PyObject* v = nullptr;
        if (check_int(PyDict_GetItemRef(o, key, &v)) == 0) return Ref::borrow(dflt.or_none());
        return Ref::steal(v);
    }
    if (dflt) return call_method(o, n_get, key, dflt);
    return call_method(o, n_get, key);
}

// o[key] = v
inline void setitem(Handle o, Handle key, Handle v) {
    if (PyDict_CheckExact(o.get()))
        check_int(PyDict_SetItem(o, key, v));
    else
        check_int(PyObject_SetItem(o, key, v));
}

// del o[key]
inline void delitem(Handle o, Handle key) {
    if (PyDict_CheckExact(o.get()))
        check_int(PyDict_DelItem(o, key));
    else
        check_int(PyObject_DelItem(o, key));
}

// o[key] = o.get(key, 0) + 1; returns the new count.
inline Ref bump(Handle o, Handle key) {
    Ref zero = new_int(0);
    Ref cur = get(o, key, zero);
    long long v;
    Ref next = small_int(cur, v) && v < LLONG_MAX ? new_int(v + 1) : Ref::steal(PyNumber_Add(cur, new_int(1)));
    setitem(o, key, next);
    return next;
}

// table()[key] = table().get(key, 0) + 1, the table read at each use as a
// Python statement reads it (`table()` returns it); returns the new count.
template <class Table>
inline Ref bump_at(Table&& table, Handle key) {
    Ref zero = new_int(0);
    Ref cur = get(table(), key, zero);
    long long v;
    Ref next = small_int(cur, v) && v < LLONG_MAX ? new_int(v + 1) : Ref::steal(PyNumber_Add(cur, new_int(1)));
    setitem(table(), key, next);
    return next;
}

// o.pop(key, None) without the result: remove if present.
inline void discard_key(Handle o, Handle key) {
    if (PyDict_CheckExact(o.get())) {
        check_int(PyDict_Pop(o, key, nullptr));
        return;
    }
    call_method(o, n_pop, key, Py_None);
}

// key in o
inline bool contains(Handle o, Handle key) { return check_int(PySequence_Contains(o, key)) != 0; }

inline Py_ssize_t length(Handle o) {
    Py_ssize_t n = PyObject_Length(o);
    if (n < 0) raise();
    return n;
}

// ---- iteration ------------------------------------------------------------

// In loops whose length the caller controls: every few thousand steps, let
// pending signals (Ctrl-C) run their handlers, and stop with their error.
inline void poll_signals(Py_ssize_t step) {
    if ((step & 4095) == 4095 && PyErr_CheckSignals() < 0) raise();
}

// for item in o: f(item) -- `f` receives a handle valid for the duration of
// the call (the item is held while `f` runs: `f` may mutate the list).
template <class F>
inline void for_each(Handle o, F&& f) {
    if (PyList_CheckExact(o.get()) || PyTuple_CheckExact(o.get())) {
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(o.get()); ++i) {
            Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(o.get(), i));
            f(Handle(item));
            poll_signals(i);
        }
        return;
    }
    Ref it = Ref::steal(PyObject_GetIter(o));
    Py_ssize_t i = 0;
    while (Ref item = Ref::steal_or_null(PyIter_Next(it))) {
        f(Handle(item));
        poll_signals(i++);
    }
    if (PyErr_Occurred()) raise();
}

// for item in o: if f(item): return True -- stops at the first hit.
template <class F>
inline bool any_of(Handle o, F&& f) {
    if (PyList_CheckExact(o.get()) || PyTuple_CheckExact(o.get())) {
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(o.get()); ++i) {
            Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(o.get(), i));
            if (f(Handle(item))) return true;
            poll_signals(i);
        }
        return false;
    }
    Ref it = Ref::steal(PyObject_GetIter(o));
    Py_ssize_t i = 0;
    while (Ref item = Ref::steal_or_null(PyIter_Next(it))) {
        if (f(Handle(item))) return true;
        poll_signals(i++);
    }
    if (PyErr_Occurred()) raise();
    return false;
}

// list(mapping.items()) as pairs of references.
inline std::vector<std::pair<Ref, Ref>> items(Handle mapping) {
    std::vector<std::pair<Ref, Ref>> out;
    if (PyDict_CheckExact(mapping.get())) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        out.reserve(size_t(PyDict_GET_SIZE(mapping.get())));
        while (PyDict_Next(mapping, &pos, &k, &v)) out.emplace_back(Ref::borrow(k), Ref::borrow(v));
        return out;
    }
    Ref view = call_method(mapping, n_items);
    for_each(view, [&](Handle kv) {
        Ref pair = Ref::steal(PySequence_Tuple(kv));
        if (PyTuple_GET_SIZE(pair.get()) != 2) raise(PyExc_ValueError, "expected (key, value) pairs from items()");
        out.emplace_back(Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0)), Ref::borrow(PyTuple_GET_ITEM(pair.get(), 1)));
    });
    return out;
}

// list(o)
inline Ref to_list(Handle o) { return Ref::steal(PySequence_List(o)); }
inline Ref new_list(Py_ssize_t n = 0) { return Ref::steal(PyList_New(n)); }
inline Ref new_dict() { return Ref::steal(PyDict_New()); }
inline void append(Handle list, Handle v) { check_int(PyList_Append(list, v)); }

}  // namespace py
