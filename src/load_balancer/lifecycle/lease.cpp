// InflightLease: one backend slot held for the life of a request.
#include <algorithm>
#include <array>

#include "balancer/methods.h"
#include "lifecycle/lifecycle.h"

namespace lb::InflightLease {
namespace {

// Decrement once in the lease's life; the flag is set only after the
// decrement succeeded, so a failed one can be retried.
void release_once(const Call& c, Handle self) {
    if (py::truthy(attr(self, names::_released))) return;
    Ref lb = attr(self, names::lb), sid = attr(self, names::server_id);
    call::decrement(c, lb, sid);
    py::setattr(self, names::_released, Py_True);
}

// `await lease.__aenter__()`: runs __enter__ when first resumed.
struct EnterFrame final : py::Frame {
    Context c_;
    Ref self;
    py::Step resume(PyObject*) override { return py::Step::done(call::lease_enter(c_, self)); }
    PY_FRAME_REFS(self)
};

// `await lease.__aexit__(...)`: runs __exit__ when first resumed.
struct ExitFrame final : py::Frame {
    Context c_;
    Ref self, exc_type, exc, tb;
    py::Step resume(PyObject*) override {
        call::lease_exit(c_, self, exc_type, exc, tb);
        return py::Step::done(py::none());
    }
    PY_FRAME_REFS(self, exc_type, exc, tb)
};

}  // namespace

Ref init(const Call&, Handle self, Handle lb, Handle server_id) {
    py::setattr(self, names::lb, lb);
    py::setattr(self, names::server_id, server_id);
    py::setattr(self, names::_released, Py_False);
    return py::none();
}

Ref enter(const Call& c, Handle self) {
    Ref lb = attr(self, names::lb), sid = attr(self, names::server_id);
    call::increment(c, lb, sid);
    return Ref::borrow(self);
}

Ref exit(const Call& c, Handle self, Handle, Handle, Handle) {
    release_once(c, self);
    return py::none();
}

Ref aenter(const Call& c, Handle self) {
    auto [coro, frame] = py::make_coroutine<EnterFrame>(c);
    frame.c_ = Context(c);
    frame.self = Ref::borrow(self);
    return std::move(coro);
}

Ref aexit(const Call& c, Handle self, Handle exc_type, Handle exc, Handle tb) {
    auto [coro, frame] = py::make_coroutine<ExitFrame>(c);
    frame.c_ = Context(c);
    frame.self = Ref::borrow(self);
    frame.exc_type = Ref::borrow(exc_type);
    frame.exc = Ref::borrow(exc);
    frame.tb = Ref::borrow(tb);
    return std::move(coro);
}

Ref release(const Call& c, Handle self) {
    release_once(c, self);
    return py::none();
}

namespace {

// `cls(*args, **kw)` for a class whose metaclass is `type`, as type.__call__
// runs it: __new__, then __init__ when __new__ gave an instance of `cls`.
// When __new__ is object's and __init__ the module's own, the instance is
// allocated and initialised directly (object.__new__ accepts the arguments,
// since __init__ is overridden), without packing the arguments.
PyObject* construct(PyObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    PyObject* init = _PyType_Lookup(type, names::dunder_init);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    size_t nkw = kwnames ? size_t(PyTuple_GET_SIZE(kwnames)) : 0;
    std::array<PyObject*, 8> stack;
    if (py::method_of(init) == &def::init && Py_TYPE(cls) == &PyType_Type && type->tp_new == PyBaseObject_Type.tp_new &&
        type->tp_alloc == PyType_GenericAlloc && size_t(nargs) + nkw < stack.size()) {
        PyObject* obj = PyType_GenericAlloc(type, 0);
        if (!obj) return nullptr;
        if (nargs == 2 && !kwnames) {
            // InflightLease(lb, server_id): the module's own __init__, directly.
            const auto* m = static_cast<const Module*>(py::state_of(init));
            bool ok = py::guard(false, [&] {
                InflightLease::init(m->call(def::init), obj, args[0], args[1]);
                return true;
            });
            if (!ok) return Py_DECREF(obj), nullptr;
            return obj;
        }
        stack[0] = obj;
        std::copy(args, args + nargs + nkw, stack.begin() + 1);
        PyObject* r = PyObject_Vectorcall(init, stack.data(), size_t(nargs + 1), kwnames);
        if (!r) return Py_DECREF(obj), nullptr;
        Py_DECREF(r);
        return obj;
    }
    // Anything else: the metaclass's own call, with packed arguments.
    return py::guard<PyObject*>(nullptr, [&] {
        Ref tuple = Ref::steal(PyTuple_New(nargs));
        for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
        Ref kw;
        if (kwnames) {
            kw = py::new_dict();
            for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k)
                py::check_int(PyDict_SetItem(kw, PyTuple_GET_ITEM(kwnames, k), args[nargs + k]));
        }
        return Py_TYPE(cls)->tp_call(cls, tuple, kw.get());
    });
}

}  // namespace

void install_constructor(Handle cls) { reinterpret_cast<PyTypeObject*>(cls.get())->tp_vectorcall = construct; }

}  // namespace lb::InflightLease
