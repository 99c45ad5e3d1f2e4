// InflightLease: one backend slot held for the life of a request.
#include "module.h"

namespace lb {
namespace {

// lease.lb.<method>(lease.server_id)
void call_lb(PyObject* self, py::Name& method) {
    py::Ref balancer = attr(self, names::lb);
    py::Ref sid = attr(self, names::server_id);
    py::call_method(balancer.get(), method, sid.get());
}

// Decrement once in the lease's life; the flag is set only after the
// decrement succeeded, so a failed one can be retried.
void release_once(PyObject* self) {
    if (py::truthy(attr(self, names::_released).get())) return;
    call_lb(self, names::decrement);
    py::setattr(self, names::_released, Py_True);
}

// `await lease.__aenter__()`: runs __enter__ when first resumed.
struct EnterFrame final : py::Frame {
    py::Ref self;
    py::Step resume(PyObject*) override { return py::Step::done(py::call_method(self.get(), names::__enter__)); }
    PY_FRAME_REFS(self)
};

// `await lease.__aexit__(...)`: runs __exit__ when first resumed.
struct ExitFrame final : py::Frame {
    py::Ref self, exc_type, exc, tb;
    py::Step resume(PyObject*) override {
        py::call_method(self.get(), names::__exit__, exc_type.get(), exc.get(), tb.get());
        return py::Step::done(py::none());
    }
    PY_FRAME_REFS(self, exc_type, exc, tb)
};

}  // namespace

PY_FUNCTION(lease_init, "InflightLease.__init__", "self, lb, server_id")(const py::Call&, const py::Args& a) {
    py::setattr(a[0], names::lb, a[1]);
    py::setattr(a[0], names::server_id, a[2]);
    py::setattr(a[0], names::_released, Py_False);
    return py::none();
}

PY_FUNCTION(lease_enter, "InflightLease.__enter__", "self")(const py::Call&, const py::Args& a) {
    call_lb(a[0], names::increment);
    return py::Ref::borrow(a[0]);
}

PY_FUNCTION(lease_exit, "InflightLease.__exit__", "self, exc_type, exc, tb")(const py::Call&, const py::Args& a) {
    release_once(a[0]);
    return py::none();
}

PY_COROUTINE_FUNCTION(lease_aenter, "InflightLease.__aenter__", "self")(const py::Call& c, const py::Args& a) {
    auto [coro, frame] = py::make_coroutine<EnterFrame>(c);
    frame.self = py::Ref::borrow(a[0]);
    return std::move(coro);
}

PY_COROUTINE_FUNCTION(lease_aexit, "InflightLease.__aexit__", "self, exc_type, exc, tb")
(const py::Call& c, const py::Args& a) {
    auto [coro, frame] = py::make_coroutine<ExitFrame>(c);
    frame.self = py::Ref::borrow(a[0]);
    frame.exc_type = py::Ref::borrow(a[1]);
    frame.exc = py::Ref::borrow(a[2]);
    frame.tb = py::Ref::borrow(a[3]);
    return std::move(coro);
}

PY_FUNCTION(lease_release, "InflightLease.release", "self")(const py::Call&, const py::Args& a) {
    release_once(a[0]);
    return py::none();
}

}  // namespace lb
