// The routing decision for one request: forced backend, sin-bin, drain and
// capacity filters, then the requested algorithm, then the dispatch record.
#include "module.h"

namespace lb {
namespace {

// Membership in an empty set: what an absent or empty sin-bin tests against
// (the id is still hashed, as `id in set()` would).
PyObject* no_sin_bin() {
    static PyObject* empty = py::check(PyFrozenSet_New(nullptr));
    return empty;
}

// (s.get("weight") or 0.0) > 0.0
bool not_drained(PyObject* s, PyObject* zero) {
    py::Ref w = py::get(s, names::weight);
    if (!py::truthy(w.get())) return false;
    if (PyFloat_CheckExact(w.get())) return PyFloat_AS_DOUBLE(w.get()) > 0.0;
    return py::truthy(py::Ref::steal(PyObject_RichCompare(w.get(), zero, Py_GT)).get());
}

struct SelectFrame final : py::Frame {
    py::Ref globals;  // the defining module's namespace
    py::Ref self, pool_key, candidates, force_server_id, sin_binned, algorithm, sticky_key;
    bool picking = false;  // waiting for the round-robin pick

    py::Step resume(PyObject* sent) override {
        if (picking) {
            if (!sent) throw py::Error{};
            py::Ref winner = py::Ref::borrow(sent);
            return finish(winner);
        }
        return decide();
    }

    // Record the dispatch of the chosen backend and return it.
    py::Step finish(py::Ref& winner) {
        py::call_method(self.get(), names::_record_dispatch, pool_key.get(), winner.get());
        return py::Step::done(std::move(winner));
    }

    py::Step decide() {
        py::Globals g(globals.get());
        PyObject* sin_bin = sin_binned && py::truthy(sin_binned.get()) ? sin_binned.get() : no_sin_bin();
        PyObject* cands = candidates.get();
        if (!py::truthy(cands)) return py::Step::done(py::none());

        // A forced backend is honoured whatever its state, or nothing is.
        if (force_server_id && force_server_id.get() != Py_None) {
            py::Ref forced;
            py::any_of(cands, [&](PyObject* s) {
                py::Ref sid = py::get(s, names::id);
                py::Ref eq = py::Ref::steal(PyObject_RichCompare(sid.get(), force_server_id.get(), Py_EQ));
                if (py::truthy(eq.get())) forced = py::Ref::borrow(s);
                return bool(forced);
            });
            if (!forced) return py::Step::done(py::none());
            return finish(forced);
        }

        // Drained backends are left out unless every candidate is drained.
        py::Ref zero = py::new_float(0.0);
        py::Ref non_drained = py::new_list();
        py::for_each(cands, [&](PyObject* s) {
            if (not_drained(s, zero.get())) py::append(non_drained.get(), s);
        });
        py::Ref effective = PyList_GET_SIZE(non_drained.get()) ? non_drained : candidates;

        static PyObject* kw = py::kwnames({&names::pool_key});
        py::Ref eligible = py::new_list();
        py::for_each(effective.get(), [&](PyObject* s) {
            py::Ref sid = py::getitem(s, names::id);
            if (py::contains(sin_bin, sid.get())) return;
            py::Ref free = py::call_method_kw(self.get(), names::_under_capacity, {s, effective.get(), pool_key.get()}, kw);
            if (py::truthy(free.get())) py::append(eligible.get(), s);
        });
        if (PyList_GET_SIZE(eligible.get()) == 0) return py::Step::done(py::none());

        py::Ref algo = py::call(g.get(names::normalize_lb_algorithm).get(), algorithm ? algorithm.get() : Py_None);
        auto is = [&](py::Name& name) {
            py::Ref eq = py::Ref::steal(PyObject_RichCompare(algo.get(), g.get(name).get(), Py_EQ));
            return py::truthy(eq.get());
        };
        PyObject* key = sticky_key ? sticky_key.get() : Py_None;
        if (is(names::LB_ALGO_STICKY) && py::truthy(key)) {
            py::Ref winner = py::call_method(self.get(), names::_sticky_lookup, eligible.get(), key);
            if (winner.get() == Py_None) winner = py::call_method(self.get(), names::_least_connections_pick, eligible.get());
            return finish(winner);
        }
        if (is(names::LB_ALGO_LEAST_CONN)) {
            py::Ref winner = py::call_method(self.get(), names::_least_connections_pick, eligible.get());
            return finish(winner);
        }

        py::Ref pick = py::call_method(self.get(), names::_wrr_pick, pool_key.get(), eligible.get());
        // Only the pool key and the balancer are needed from here on.
        candidates.reset();
        force_server_id.reset();
        sin_binned.reset();
        algorithm.reset();
        sticky_key.reset();
        picking = true;
        return py::Step::await(std::move(pick));
    }

    PY_FRAME_REFS(globals, self, pool_key, candidates, force_server_id, sin_binned, algorithm, sticky_key)
};

}  // namespace

PY_COROUTINE_FUNCTION(lb_select, "LoadBalancer.select",
            "self, pool_key, candidates, *, estimated_tokens=0, force_server_id=None, sin_binned=None, "
            "algorithm=None, sticky_key=None")
(const py::Call& c, const py::Args& a) {
    auto [coro, frame] = py::make_coroutine<SelectFrame>(c);
    frame.globals = py::Ref::borrow(c.g.dict());
    frame.self = py::Ref::borrow(a[0]);
    frame.pool_key = py::Ref::borrow(a[1]);
    frame.candidates = py::Ref::borrow(a[2]);
    // a[3], estimated_tokens, is accepted and not used.
    frame.force_server_id = py::Ref::borrow(a[4]);
    frame.sin_binned = py::Ref::borrow(a[5]);
    frame.algorithm = py::Ref::borrow(a[6]);
    frame.sticky_key = py::Ref::borrow(a[7]);
    return std::move(coro);
}

}  // namespace lb
