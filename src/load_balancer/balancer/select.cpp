// The routing decision for one request: forced backend, sin-bin, drain and
// capacity filters, then the requested algorithm, then the dispatch record.
#include "balancer/methods.h"
#include "balancer/record.h"
#include "knobs.h"

namespace lb::LoadBalancer {
namespace {

struct SelectFrame final : py::Frame {
    Call c;
    Ref self, pool_key, candidates, force_server_id, sin_binned, algorithm, sticky_key;
    bool picking = false;  // waiting for the round-robin pick

    py::Step resume(PyObject* sent) override {
        if (picking) {
            if (!sent) throw py::Error{};
            return finish(Ref::borrow(sent));
        }
        return decide();
    }

    // Record the dispatch of the chosen backend and return it.
    py::Step finish(Ref winner) {
        call::record_dispatch(c, self, pool_key, winner);
        return py::Step::done(std::move(winner));
    }

    py::Step decide() {
        Handle sin_bin = py::truthy(sin_binned) ? Handle(sin_binned) : Handle(module_of(c).empty_ids);
        if (!py::truthy(candidates)) return py::Step::done(py::none());

        // A forced backend is honoured whatever its state, or nothing is.
        if (!force_server_id.is_none()) {
            Ref forced;
            py::any_of(candidates, [&](Handle s) {
                if (py::truthy(py::rich_compare(record::id_or_none(s), force_server_id, Py_EQ))) forced = Ref::borrow(s);
                return bool(forced);
            });
            if (!forced) return py::Step::done(py::none());
            return finish(std::move(forced));
        }

        // Drained backends are left out unless every candidate is drained.
        Ref non_drained = py::new_list();
        py::for_each(candidates, [&](Handle s) {
            if (!record::drained(s)) py::append(non_drained, s);
        });
        Ref effective = PyList_GET_SIZE(non_drained.get()) ? non_drained : candidates;

        Ref eligible = py::new_list();
        py::for_each(effective, [&](Handle s) {
            if (py::contains(sin_bin, record::id(s))) return;
            if (call::under_capacity(c, self, s, effective, pool_key)) py::append(eligible, s);
        });
        if (PyList_GET_SIZE(eligible.get()) == 0) return py::Step::done(py::none());

        Ref algo = call::normalize_lb_algorithm(c, algorithm);
        auto is = [&](const py::Name& name) { return py::truthy(py::rich_compare(algo, c.g.get(name), Py_EQ)); };
        if (is(names::LB_ALGO_STICKY) && py::truthy(sticky_key)) {
            Ref winner = call::sticky_lookup(c, self, eligible, sticky_key);
            if (winner.is_none()) winner = call::least_connections_pick(c, self, eligible);
            return finish(std::move(winner));
        }
        if (is(names::LB_ALGO_LEAST_CONN)) return finish(call::least_connections_pick(c, self, eligible));

        Ref pick = call::wrr_pick(c, self, pool_key, eligible);
        // Only the pool key and the balancer are needed from here on.
        candidates.reset();
        force_server_id.reset();
        sin_binned.reset();
        algorithm.reset();
        sticky_key.reset();
        picking = true;
        return py::Step::await(std::move(pick));
    }

    PY_FRAME_REFS(self, pool_key, candidates, force_server_id, sin_binned, algorithm, sticky_key)
};

}  // namespace

Ref select(const Call& c, Handle self, Handle pool_key, Handle candidates, Handle /*estimated_tokens: unused*/,
           Handle force_server_id, Handle sin_binned, Handle algorithm, Handle sticky_key) {
    auto [coro, frame] = py::make_coroutine<SelectFrame>(c);
    frame.c = c;
    frame.self = Ref::borrow(self);
    frame.pool_key = Ref::borrow(pool_key);
    frame.candidates = Ref::borrow(candidates);
    frame.force_server_id = Ref::borrow(force_server_id.or_none());
    frame.sin_binned = Ref::borrow(sin_binned.or_none());
    frame.algorithm = Ref::borrow(algorithm.or_none());
    frame.sticky_key = Ref::borrow(sticky_key.or_none());
    return std::move(coro);
}

}  // namespace lb::LoadBalancer
