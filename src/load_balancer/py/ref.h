// Owned references and the error convention used throughout the module.
//
// Convention: a C API call that fails leaves the interpreter's error indicator
// set; our code then throws `py::Error` (which carries nothing: the exception
// lives in the interpreter).  Every entry point called by the interpreter
// (function calls, type slots) converts it back with `py::guard`, returning
// NULL / -1.  Code between the two never returns error codes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <utility>

namespace py {

// Thrown when the Python error indicator is set.
struct Error {};

[[noreturn]] inline void raise() { throw Error{}; }

// Set a Python exception and throw.
[[noreturn]] inline void raise(PyObject* type, const char* msg) {
    PyErr_SetString(type, msg);
    throw Error{};
}

template <class... A>
[[noreturn]] inline void raisef(PyObject* type, const char* fmt, A... args) {
    PyErr_Format(type, fmt, args...);
    throw Error{};
}

// Throw if `p` is NULL (the C API's failure signal).
template <class T>
inline T* check(T* p) {
    if (!p) throw Error{};
    return p;
}

// -1 is the failure signal of int-returning C API calls.
inline int check_int(int r) {
    if (r < 0) throw Error{};
    return r;
}

// An owned (strong) reference.  Move-only; decrefs on destruction.
class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    Ref(const Ref& o) noexcept : p_(Py_XNewRef(o.p_)) {}
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    ~Ref() { Py_XDECREF(p_); }

    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }

    // Take over a new reference; throws if it is NULL (error set).
    static Ref steal(PyObject* p) { return Ref(check(p), 0); }
    // Take over a new reference that may be NULL without an error.
    static Ref steal_or_null(PyObject* p) noexcept { return Ref(p, 0); }
    // Make a new reference to a borrowed one (may be NULL).
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p), 0); }

    PyObject* get() const noexcept { return p_; }
    PyObject* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Give up ownership (for returning to the interpreter).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { Py_CLEAR(p_); }
    // Address of the pointer, for Py_VISIT / Py_CLEAR style helpers.
    PyObject** slot() noexcept { return &p_; }

private:
    Ref(PyObject* p, int) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// An exception taken out of the interpreter's error indicator, to be raised
// again later (or inspected).
class Exc {
public:
    Exc() = default;
    static Exc fetch() {
        Exc e;
        e.value_ = Ref::steal_or_null(PyErr_GetRaisedException());
        return e;
    }
    bool matches(PyObject* type) const {
        return value_ && PyErr_GivenExceptionMatches(value_.get(), type);
    }
    PyObject* get() const { return value_.get(); }
    explicit operator bool() const { return bool(value_); }
    // Put it back into the error indicator and throw.
    [[noreturn]] void raise() {
        PyErr_SetRaisedException(value_.release());
        throw Error{};
    }
    Ref& ref() { return value_; }

private:
    Ref value_;
};

// Run `f` at a boundary with the interpreter: C++ errors become Python
// errors and `fail` is returned.
template <class R, class F>
inline R guard(R fail, F&& f) noexcept {
    try {
        return f();
    } catch (const Error&) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "error without exception set");
        return fail;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return fail;
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
        return fail;
    }
}

// GC helpers for types whose references live in `Ref` members.
template <class... R>
inline int visit_all(visitproc visit, void* arg, const R&... refs) {
    int r = 0;
    ((r = r ? r : (refs.get() ? visit(refs.get(), arg) : 0)), ...);
    return r;
}

template <class... R>
inline void clear_all(R&... refs) {
    (refs.reset(), ...);
}

}  // namespace py
