// References and the error convention used throughout the module.
//
// Convention: a C API call that fails leaves the interpreter's error indicator
// set; our code then throws `py::Error` (which carries nothing: the exception
// lives in the interpreter).  Every entry point called by the interpreter
// (function calls, type slots) converts it back with `py::guard`, returning
// NULL / -1.  Code between the two never returns error codes.
//
// Two reference types make ownership visible in signatures:
//   Handle  borrowed: valid while its owner holds the object;
//   Ref     owned: one strong reference, released on destruction.
// A Ref converts to a Handle (and to a plain pointer) implicitly, so functions
// take Handles and callers pass either.  Mind the lifetime: a Handle taken
// from a temporary Ref is valid only until the end of that full expression.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cassert>
#include <new>
#include <utility>

namespace py {

// Thrown when the Python error indicator is set.
struct Error {};

// Throw for the error that is already set.
[[noreturn]] inline void raise() {
    assert(PyErr_Occurred() && "py::raise() without a Python error set");
    throw Error{};
}

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
    if (!p) raise();
    return p;
}

// -1 is the failure signal of int-returning C API calls.
inline int check_int(int r) {
    if (r < 0) raise();
    return r;
}

// A borrowed reference.  Never owns anything: valid as long as whoever owns
// the object keeps it.
class Handle {
public:
    constexpr Handle() noexcept = default;
    constexpr Handle(PyObject* p) noexcept : p_(p) {}

    constexpr PyObject* get() const noexcept { return p_; }
    constexpr operator PyObject*() const noexcept { return p_; }
    PyObject* operator->() const noexcept { return p_; }
    // Non-NULL.  (Python truth is `py::truthy`.)
    explicit constexpr operator bool() const noexcept { return p_ != nullptr; }

    // Identity, as `is`.
    bool is(Handle o) const noexcept { return p_ == o.p_; }
    bool is_none() const noexcept { return p_ == Py_None; }
    // The argument, or None when it was not passed (NULL).
    Handle or_none() const noexcept { return p_ ? p_ : Py_None; }
    PyTypeObject* type() const noexcept { return Py_TYPE(p_); }

private:
    PyObject* p_ = nullptr;
};

// An owned (strong) reference.  Decrefs on destruction.
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
    // A new strong reference to a borrowed object (may be NULL).
    static Ref borrow(Handle h) noexcept { return Ref(Py_XNewRef(h.get()), 0); }

    PyObject* get() const noexcept { return p_; }
    operator Handle() const noexcept { return Handle(p_); }
    operator PyObject*() const noexcept { return p_; }
    PyObject* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    bool is(Handle o) const noexcept { return p_ == o.get(); }
    bool is_none() const noexcept { return p_ == Py_None; }

    // Give up ownership (for returning to the interpreter).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { Py_CLEAR(p_); }

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
    bool matches(Handle type) const { return value_ && PyErr_GivenExceptionMatches(value_.get(), type); }
    PyObject* get() const { return value_.get(); }
    explicit operator bool() const { return bool(value_); }
    // Put it back into the error indicator and throw.
    [[noreturn]] void raise() {
        PyErr_SetRaisedException(value_.release());
        throw Error{};
    }
    Ref take() { return std::move(value_); }

private:
    Ref value_;
};

// What an `except` block establishes: while a Handling lives, `exc` is the
// exception being handled, so that any exception raised meanwhile (by our
// code or by Python code we call) gets it as its __context__, exactly as in
//     try: ... except BaseException as exc: <code raising here>
// Like a running generator, it pushes an entry of its own on the thread's
// stack of handled exceptions and pops it at the end: the entries below it
// (the caller's, a generator's that awaits us) are never written to.  Entries
// must be popped in the order they were pushed: a Handling lives on the C++
// stack, within one call from the interpreter, never across a suspension.
// A NULL `exc` changes nothing.
class Handling {
public:
    explicit Handling(Handle exc) noexcept {
        if (!exc) return;
        tstate_ = PyThreadState_Get();
        item_.exc_value = Py_NewRef(exc.get());
        item_.previous_item = tstate_->exc_info;
        tstate_->exc_info = &item_;
    }
    ~Handling() {
        if (!tstate_) return;
        assert(tstate_->exc_info == &item_ && "py::Handling ended out of order");
        tstate_->exc_info = item_.previous_item;
        Py_CLEAR(item_.exc_value);
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyThreadState* tstate_ = nullptr;
    _PyErr_StackItem item_{};
};

// Run `f` at a boundary with the interpreter: C++ errors become Python
// errors and `fail` is returned.
template <class R, class F>
inline R guard(R fail, F&& f) noexcept {
    try {
        return f();
    } catch (const Error&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error without exception set");
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
