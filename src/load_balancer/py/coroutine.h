// Native coroutines: awaitable objects that asyncio treats as coroutines.
//
// A coroutine body is a `Frame`: an explicit state machine whose Python
// references live in `Ref` members (listed with PY_FRAME_REFS so the cycle
// collector sees them).  `resume` runs the body until it needs to wait on an
// awaitable (`Step::await`) or finishes (`Step::done`); raising is throwing
// `py::Error` as everywhere else.
//
// The engine behaves like `yield from`: it passes up exactly what the awaited
// object yields, passes `send` values, thrown exceptions and `close` down to
// it, and resumes the frame with the awaited object's result, or with its
// exception set (then `sent` is NULL and the frame may inspect or re-raise
// it).  It never yields anything of its own.
//
//     struct EnterFrame final : py::Frame {
//         py::Ref self;
//         py::Step resume(PyObject* sent) override { ... }
//         PY_FRAME_REFS(self)
//     };
//     auto [coro, frame] = py::make_coroutine<EnterFrame>(c);
//     frame.self = py::Ref::borrow(self);
//     return std::move(coro);
#pragma once

#include <cstddef>
#include <new>

#include "py/function.h"

namespace py {

class Step {
public:
    static Step await(Ref awaitable) { return Step(std::move(awaitable), true); }
    static Step done(Ref result) { return Step(std::move(result), false); }
    bool is_await() const { return await_; }
    Ref& value() { return value_; }

private:
    Step(Ref v, bool a) : value_(std::move(v)), await_(a) {}
    Ref value_;
    bool await_;
};

class Frame {
public:
    virtual ~Frame() = default;
    // First call: `sent` is None.  Later calls: the awaited object's result,
    // or NULL with its exception set in the interpreter.
    virtual Step resume(PyObject* sent) = 0;
    virtual int traverse(visitproc visit, void* arg) = 0;
    virtual void clear() = 0;

    // The exception this body is handling, kept across suspensions as a
    // Python coroutine keeps the exception of its `except` block: while it
    // is set, the engine makes it the handled exception (a py::Handling)
    // around each run of the body or of the object it awaits, so that errors
    // raised there are chained to it.
    Ref handling;

    // Everything the frame holds, for the collector and at the end: its own
    // references and the handled exception.
    int traverse_all(visitproc visit, void* arg) {
        Py_VISIT(handling.get());
        return traverse(visit, arg);
    }
    void drop_all() {
        handling.reset();
        clear();
    }
};

#define PY_FRAME_REFS(...)                                              \
    int traverse(visitproc visit, void* arg) override {                 \
        return ::py::visit_all(visit, arg, __VA_ARGS__);                \
    }                                                                   \
    void clear() override { ::py::clear_all(__VA_ARGS__); }

namespace detail {
// Allocate a coroutine object with `size` bytes of frame storage; returns the
// object and the storage address.  The object keeps `module` alive, so a
// frame may hold the call context (`py::Call`) it was created with.
PyObject* alloc_coroutine(const char* qualname, PyObject* module, size_t size, void** storage);
void attach_frame(PyObject* coro, Frame* frame);
}  // namespace detail

template <class F>
struct NewCoroutine {
    Ref coro;   // the coroutine object, to return to the caller
    F& frame;   // its default-constructed frame, to fill in
};

// Create the coroutine object for a call of a coroutine function.  The frame
// lives inside the object; fill in its members before returning the object.
template <class F>
NewCoroutine<F> make_coroutine(const Call& c) {
    static_assert(alignof(F) <= alignof(std::max_align_t));
    void* storage = nullptr;
    Ref obj = Ref::steal(detail::alloc_coroutine(c.def->qualname(), c.module, sizeof(F), &storage));
    F* frame = new (storage) F();
    detail::attach_frame(obj.get(), frame);
    return {std::move(obj), *frame};
}

// Whether `await o` accepts `o`.
bool awaitable(Handle o);

// Turn an awaitable into the iterator `await` would drive (its __await__()).
Ref awaitable_iter(Handle awaitable);

void init_coroutine_type();

}  // namespace py
