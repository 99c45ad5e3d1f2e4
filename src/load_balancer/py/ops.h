// Thin, throwing wrappers over the object protocol and the containers the
// module keeps its state in.  Exact dicts take the fast path; anything else
// goes through the generic protocol so that callers' subclasses and
// replacement objects behave as they would under Python code.
#pragma once

#include <initializer_list>
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

    Ref get(Name& name) const {
        PyObject* v = nullptr;
        if (check_int(PyDict_GetItemRef(dict_, name, &v)) == 0) name_error(name);
        return Ref::steal(v);
    }

    [[noreturn]] static void name_error(PyObject* name) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        Exc e = Exc::fetch();
        PyObject_SetAttrString(e.get(), "name", name);  // as the interpreter does
        PyErr_Clear();
        e.raise();
    }

private:
    PyObject* dict_ = nullptr;
};

// ---- attributes and calls -------------------------------------------------

inline Ref getattr(PyObject* o, PyObject* name) { return Ref::steal(PyObject_GetAttr(o, name)); }

inline void setattr(PyObject* o, PyObject* name, PyObject* v) {
    check_int(PyObject_SetAttr(o, name, v));
}

template <class... A>
inline Ref call(PyObject* callable, A... args) {
    PyObject* argv[] = {nullptr, static_cast<PyObject*>(args)...};
    return Ref::steal(PyObject_Vectorcall(callable, argv + 1,
                                          sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.name(*args), honouring overrides on the instance and its class.
template <class... A>
inline Ref call_method(PyObject* obj, PyObject* name, A... args) {
    PyObject* argv[] = {obj, static_cast<PyObject*>(args)...};
    return Ref::steal(PyObject_VectorcallMethod(name, argv,
                                                (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                nullptr));
}

// obj.name(*args, **kw) with keyword names given as a tuple `kwnames`
// (the last len(kwnames) values are keyword values).
inline Ref call_method_kw(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args,
                          PyObject* kwnames) {
    PyObject* argv[16];
    argv[0] = obj;
    size_t n = 1;
    for (PyObject* a : args) argv[n++] = a;
    size_t nkw = kwnames ? size_t(PyTuple_GET_SIZE(kwnames)) : 0;
    return Ref::steal(PyObject_VectorcallMethod(
        name, argv, (n - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// callable(*args, **kw), keyword names as in call_method_kw.
inline Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames) {
    PyObject* argv[16];
    size_t n = 1;
    for (PyObject* a : args) argv[n++] = a;
    size_t nkw = kwnames ? size_t(PyTuple_GET_SIZE(kwnames)) : 0;
    return Ref::steal(
        PyObject_Vectorcall(callable, argv + 1, (n - 1 - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// A tuple of interned strings, for keyword names of calls.  Meant to be
// kept in a function-local static for the life of the process:
//     static PyObject* kw = py::kwnames({&names::maxlen});
inline PyObject* kwnames(std::initializer_list<Name*> names) {
    Ref t = Ref::steal(PyTuple_New(Py_ssize_t(names.size())));
    Py_ssize_t i = 0;
    for (Name* n : names) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(n->get()));
    return t.release();
}

// ---- truth, numbers -------------------------------------------------------

inline bool truthy(PyObject* o) { return check_int(PyObject_IsTrue(o)) != 0; }

inline double as_double(PyObject* o) {
    double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) raise();
    return d;
}

inline Ref new_float(double d) { return Ref::steal(PyFloat_FromDouble(d)); }
inline Ref new_int(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }
inline Ref new_str(std::string_view s) {
    return Ref::steal(PyUnicode_FromStringAndSize(s.data(), Py_ssize_t(s.size())));
}
inline Ref to_float(PyObject* o) { return Ref::steal(PyNumber_Float(o)); }  // float(o)
inline Ref to_int(PyObject* o) { return Ref::steal(PyNumber_Long(o)); }     // int(o)

inline Ref bool_(bool b) { return Ref::borrow(b ? Py_True : Py_False); }
inline Ref none() { return Ref::borrow(Py_None); }

// a < b, a <= b, ... with Python semantics.
inline bool compare(PyObject* a, PyObject* b, int op) {
    return check_int(PyObject_RichCompareBool(a, b, op)) != 0;
}

// ---- mappings -------------------------------------------------------------

[[noreturn]] inline void key_error(PyObject* key) {
    Ref args = Ref::steal(PyTuple_Pack(1, key));
    PyErr_SetObject(PyExc_KeyError, args.get());
    raise();
}

// o[key]
inline Ref getitem(PyObject* o, PyObject* key) {
    if (PyDict_CheckExact(o)) {
        PyObject* v = nullptr;
        if (check_int(PyDict_GetItemRef(o, key, &v)) == 0) key_error(key);
        return Ref::steal(v);
    }
    return Ref::steal(PyObject_GetItem(o, key));
}

// o.get(key, dflt) -- `dflt` NULL means None.
inline Ref get(PyObject* o, PyObject* key, PyObject* dflt = nullptr) {
    if (PyDict_CheckExact(o)) {
        PyObject* v = nullptr;
        if (check_int(PyDict_GetItemRef(o, key, &v)) == 0) return Ref::borrow(dflt ? dflt : Py_None);
        return Ref::steal(v);
    }
    static Name n_get{"get"};
    if (dflt) return call_method(o, n_get, key, dflt);
    return call_method(o, n_get, key);
}

// o[key] = v
inline void setitem(PyObject* o, PyObject* key, PyObject* v) {
    if (PyDict_CheckExact(o))
        check_int(PyDict_SetItem(o, key, v));
    else
        check_int(PyObject_SetItem(o, key, v));
}

// del o[key]
inline void delitem(PyObject* o, PyObject* key) {
    if (PyDict_CheckExact(o))
        check_int(PyDict_DelItem(o, key));
    else
        check_int(PyObject_DelItem(o, key));
}

// o[key] = o.get(key, 0) + 1; returns the new count.
inline Ref bump(PyObject* o, PyObject* key) {
    Ref zero = new_int(0), one = new_int(1);
    Ref cur = get(o, key, zero.get());
    Ref next = Ref::steal(PyNumber_Add(cur.get(), one.get()));
    setitem(o, key, next.get());
    return next;
}

// o.pop(key, None) without the result: remove if present.
inline void discard_key(PyObject* o, PyObject* key) {
    if (PyDict_CheckExact(o)) {
        check_int(PyDict_Pop(o, key, nullptr));
        return;
    }
    static Name n_pop{"pop"};
    call_method(o, n_pop, key, Py_None);
}

// key in o
inline bool contains(PyObject* o, PyObject* key) { return check_int(PySequence_Contains(o, key)) != 0; }

inline Py_ssize_t length(PyObject* o) {
    Py_ssize_t n = PyObject_Length(o);
    if (n < 0) raise();
    return n;
}

// ---- iteration ------------------------------------------------------------

// for item in o: f(item) -- `f` receives a borrowed reference valid for the
// duration of the call.
template <class F>
inline void for_each(PyObject* o, F&& f) {
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
        // Hold each item while `f` runs: `f` may mutate the list.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(o); ++i) {
            Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(o, i));
            f(item.get());
        }
        return;
    }
    Ref it = Ref::steal(PyObject_GetIter(o));
    while (Ref item = Ref::steal_or_null(PyIter_Next(it.get()))) f(item.get());
    if (PyErr_Occurred()) raise();
}

// for item in o: if f(item): return True -- stops at the first hit.
template <class F>
inline bool any_of(PyObject* o, F&& f) {
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(o); ++i) {
            Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(o, i));
            if (f(item.get())) return true;
        }
        return false;
    }
    Ref it = Ref::steal(PyObject_GetIter(o));
    while (Ref item = Ref::steal_or_null(PyIter_Next(it.get())))
        if (f(item.get())) return true;
    if (PyErr_Occurred()) raise();
    return false;
}

// list(mapping.items()) as pairs of references.
inline std::vector<std::pair<Ref, Ref>> items(PyObject* mapping) {
    std::vector<std::pair<Ref, Ref>> out;
    if (PyDict_CheckExact(mapping)) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        out.reserve(size_t(PyDict_GET_SIZE(mapping)));
        while (PyDict_Next(mapping, &pos, &k, &v)) out.emplace_back(Ref::borrow(k), Ref::borrow(v));
        return out;
    }
    static Name n_items{"items"};
    Ref view = call_method(mapping, n_items);
    for_each(view.get(), [&](PyObject* kv) {
        Ref pair = Ref::steal(PySequence_Tuple(kv));
        if (PyTuple_GET_SIZE(pair.get()) != 2) raise(PyExc_ValueError, "expected (key, value) pairs from items()");
        out.emplace_back(Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0)), Ref::borrow(PyTuple_GET_ITEM(pair.get(), 1)));
    });
    return out;
}

// list(o)
inline Ref to_list(PyObject* o) { return Ref::steal(PySequence_List(o)); }
inline Ref new_list(Py_ssize_t n = 0) { return Ref::steal(PyList_New(n)); }
inline void append(PyObject* list, PyObject* v) { check_int(PyList_Append(list, v)); }

}  // namespace py
