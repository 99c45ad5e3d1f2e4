// InflightLease: one backend slot held for the life of a request.
#include "balancer/methods.h"
#include "lifecycle/lifecycle.h"

namespace lb::InflightLease {
namespace {

// Decrement once in the lease's life; the flag is set only after the
// decrement succeeded, so a failed one can be retried.
void release_once(const Call& c, Handle self) {
    if (py::truthy(attr(self, names::_released))) return;
    call::decrement(c, attr(self, names::lb), attr(self, names::server_id));
    py::setattr(self, names::_released, Py_True);
}

// `await lease.__aenter__()`: runs __enter__ when first resumed.
struct EnterFrame final : py::Frame {
    Ref self;
    py::Step resume(PyObject*) override {
        return py::Step::done(py::call_method(self, def::enter.name_object()));
    }
    PY_FRAME_REFS(self)
};

// `await lease.__aexit__(...)`: runs __exit__ when first resumed.
struct ExitFrame final : py::Frame {
    Ref self, exc_type, exc, tb;
    py::Step resume(PyObject*) override {
        py::call_method(self, def::exit.name_object(), exc_type, exc, tb);
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
    call::increment(c, attr(self, names::lb), attr(self, names::server_id));
    return Ref::borrow(self);
}

Ref exit(const Call& c, Handle self, Handle, Handle, Handle) {
    release_once(c, self);
    return py::none();
}

Ref aenter(const Call& c, Handle self) {
    auto [coro, frame] = py::make_coroutine<EnterFrame>(c);
    frame.self = Ref::borrow(self);
    return std::move(coro);
}

Ref aexit(const Call& c, Handle self, Handle exc_type, Handle exc, Handle tb) {
    auto [coro, frame] = py::make_coroutine<ExitFrame>(c);
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

}  // namespace lb::InflightLease
