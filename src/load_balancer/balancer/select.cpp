// The routing decision for one request: forced backend, sin-bin, drain and
// capacity filters, then the requested algorithm, then the dispatch record.
#include <optional>

#include "balancer/methods.h"
#include "balancer/native.h"
#include "balancer/record.h"
#include "knobs.h"

namespace lb::LoadBalancer {
namespace {

// The algorithms the pick tells apart.
enum Algorithm : int { kRoundRobin = 0, kLeastConnections = 1, kSticky = 2 };

// The algorithm `algorithm` selects, natively: normalize_lb_algorithm with
// the names the facts hold, when that function is the module's own and
// `algorithm` is None or an exact str (then nothing runs code).  False
// otherwise.
bool plain_algorithm(const fast::Facts& f, Handle algorithm, int& out) {
    if (!f.own_normalizer || !f.algo_default || !f.algo_valid || !f.algo_sticky || !f.algo_least_conn) return false;
    if (!algorithm.is_none() && !PyUnicode_CheckExact(algorithm.get())) return false;
    Ref name = normalized_name(
        algorithm, [&] { return f.algo_valid; }, [&] { return f.algo_default; });
    auto same = [&](const py::Ref& constant) { return name.is(constant) || PyUnicode_Compare(name, constant) == 0; };
    out = same(f.algo_sticky) ? kSticky : same(f.algo_least_conn) ? kLeastConnections : kRoundRobin;
    return true;
}

struct SelectFrame final : py::Frame {
    Context c_;  // the module and method this frame runs
    Call c() const { return c_; }
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
        call::record_dispatch(c(), self, pool_key, winner);
        return py::Step::done(std::move(winner));
    }

    py::Step decide() {
        if (std::optional<py::Step> step = decide_natively()) {
            ++module_of(c()).native_counts.select;
            return std::move(*step);
        }
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

        Ref effective = undrained_or_all(candidates);
        Ref eligible = py::new_list();
        gate_from(effective, 0, eligible);
        return pick(eligible);
    }

    // The capacity filter over the effective candidates from the `start`-th
    // on: those not sin-binned with a free slot go to `eligible`.
    void gate_from(Handle effective, Py_ssize_t start, Handle eligible) {
        Handle sin_bin = sin_bin_or_empty(c(), sin_binned);
        Ref rest = start ? Ref::steal(PySequence_GetSlice(effective, start, PY_SSIZE_T_MAX)) : Ref::borrow(effective);
        py::for_each(rest, [&](Handle s) {
            if (py::contains(sin_bin, record::id(s))) return;
            if (call::under_capacity(c(), self, s, effective, pool_key)) py::append(eligible, s);
        });
    }

    // The pick among the eligible backends, by the requested algorithm.
    py::Step pick(Handle eligible) {
        if (PyList_GET_SIZE(eligible.get()) == 0) return py::Step::done(py::none());
        Ref algo = call::normalize_lb_algorithm(c(), algorithm);
        auto is = [&](const py::Name& name) { return py::truthy(py::rich_compare(algo, c().g.get(name), Py_EQ)); };
        if (is(names::LB_ALGO_STICKY) && py::truthy(sticky_key)) {
            Ref winner = call::sticky_lookup(c(), self, eligible, sticky_key);
            if (winner.is_none()) winner = call::least_connections_pick(c(), self, eligible);
            return finish(std::move(winner));
        }
        if (is(names::LB_ALGO_LEAST_CONN)) return finish(call::least_connections_pick(c(), self, eligible));
        return await_pick(eligible);
    }

    // Await the round-robin pick among `eligible`; only the pool key and the
    // balancer are needed from here on.
    py::Step await_pick(Handle eligible) {
        Ref pick = call::wrr_pick(c(), self, pool_key, eligible);
        candidates.reset();
        force_server_id.reset();
        sin_binned.reset();
        algorithm.reset();
        sticky_key.reset();
        picking = true;
        return py::Step::await(std::move(pick));
    }

    // The same decision computed natively (see native.h), or nothing when
    // some input is not plain or some method is overridden: the steps above
    // then run from the start.  With a replaced clock, code may run at each
    // of its readings: when something the decision read is not as it was
    // any more, the steps take over from that point.
    std::optional<py::Step> decide_natively() {
        namespace d = LoadBalancer::def;
        Module& m = module_of(c());
        const fast::Facts& facts = fast::facts(m.fast);
        fast::Inst inst;
        if (!inst.open(m, facts, self) || !inst.owns(fast::kGateMethods) || !inst.owns({&d::_record_dispatch}))
            return {};
        Ref sin_bin;
        long long forced_id = 0;
        bool forced = !force_server_id.is_none();
        if (!fast::plain_id_set(sin_binned, sin_bin) || (forced && !py::small_int(force_server_id, forced_id)) ||
            !fast::plain_pool_key(m, pool_key) || !PyList_CheckExact(candidates.get()))
            return {};
        if (PyList_GET_SIZE(candidates.get()) == 0) return py::Step::done(py::none());

        fast::Recs recs;
        if (!fast::read_records(candidates, recs) || !fast::read_counts(inst, recs)) return {};
        fast::Key key{pool_key, PyObject_Hash(pool_key)};
        fast::Now now;
        now.read(m, facts);

        if (forced) {
            for (size_t i = 0; i < recs.size(); ++i)
                if (recs[i].id_v == forced_id) return native_finish(inst, key, recs[i], now);
            return py::Step::done(py::none());
        }

        int algo;
        if (!plain_algorithm(facts, algorithm, algo)) return {};
        bool sticky = false;
        if (algo == kSticky && !sticky_key.is_none()) {
            if (!PyUnicode_CheckExact(sticky_key.get())) return {};
            sticky = PyUnicode_GET_LENGTH(sticky_key.get()) > 0;
            if (sticky && !PyUnicode_AsUTF8(sticky_key)) return PyErr_Clear(), std::nullopt;
        }
        if (sticky ? !inst.owns({&d::_sticky_lookup})
                   : algo == kLeastConnections ? !inst.owns({&d::_least_connections_pick})
                                               : !inst.owns({&d::_wrr_pick, &d::_lock_for}))
            return {};

        fast::Small<size_t> effective;
        undrained_or_all([&] { return recs.size(); }, [&](size_t i) { return recs[i].drained; },
                         [&](size_t i) { effective.push_back(i); },
                         [&] {
                             for (size_t i = 0; i < recs.size(); ++i) effective.push_back(i);
                         });
        auto banned = [&](const fast::Rec& r) -> int { return sin_bin ? PySet_Contains(sin_bin, r.id) : 0; };

        fast::Small<size_t> eligible;
        fast::Gate gate;
        long long pool_inflight = 0;
        for (size_t k = 0; k < effective.size(); ++k)
            if (__builtin_add_overflow(pool_inflight, recs[effective[k]].inflight, &pool_inflight)) return {};
        if (!gate.prepare(inst, key, pool_inflight, now)) return {};
        if (!now.replaced) {
            for (size_t k = 0; k < effective.size(); ++k) {
                const fast::Rec& r = recs[effective[k]];
                int b = banned(r);
                if (b < 0) return PyErr_Clear(), std::nullopt;
                if (!b && gate.free(r)) eligible.push_back(effective[k]);
            }
            gate.commit();
            return native_pick(inst, key, recs, eligible, now, sticky, algo);
        }

        // A replaced clock: each check reads it, as the step does, and code
        // may run there; what a check cannot compute natively any more, the
        // steps compute from that point.
        Ref effective_list = py::new_list(Py_ssize_t(effective.size()));
        for (size_t k = 0; k < effective.size(); ++k)
            PyList_SET_ITEM(effective_list.get(), Py_ssize_t(k), Py_NewRef(recs[effective[k]].obj));
        Ref eligible_list = py::new_list();
        for (size_t k = 0; k < effective.size(); ++k) {
            fast::Rec& r = recs[effective[k]];
            // The sin-bin test reads the record's id as it is now.
            int b = inst.unchanged() && fast::reread(inst, r) ? banned(r) : -1;
            if (b < 0) {
                PyErr_Clear();
                gate_from(effective_list, Py_ssize_t(k), eligible_list);
                return pick(eligible_list);
            }
            if (b) continue;
            switch (gate.check(recs, effective, effective[k])) {
                case fast::Gate::Check::Free:
                    py::append(eligible_list, r.obj);
                    break;
                case fast::Gate::Check::Busy:
                    break;
                case fast::Gate::Check::StepsFromHere:
                    gate_from(effective_list, Py_ssize_t(k), eligible_list);
                    return pick(eligible_list);
                case fast::Gate::Check::StepsAfterRate:
                    if (py::truthy(under_capacity_at(c(), self, r.obj, gate.pool_inflight(), gate.rate(), pool_key)))
                        py::append(eligible_list, r.obj);
                    gate_from(effective_list, Py_ssize_t(k) + 1, eligible_list);
                    return pick(eligible_list);
            }
        }
        // The pick reads the records and counts as they are after the last
        // reading of the clock.
        fast::Recs again;
        if (!inst.unchanged() || !fast::read_records(eligible_list, again) || !fast::read_counts(inst, again))
            return pick(eligible_list);
        for (size_t i = 0; i < again.size(); ++i) eligible.push_back(i);
        return native_pick(inst, key, again, eligible, now, sticky, algo);
    }

    // The pick among the eligible records, natively, and the dispatch record.
    py::Step native_pick(const fast::Inst& inst, const fast::Key& key, const fast::Recs& recs,
                         const fast::Small<size_t>& eligible, const fast::Now& now, bool sticky, int algo) {
        if (eligible.empty()) return py::Step::done(py::none());
        size_t winner;
        if (sticky) {
            winner = fast::sticky_pick(sticky_key, recs, eligible);
        } else if (algo == kLeastConnections) {
            winner = fast::least_connections_pick(recs, eligible);
        } else if (!fast::wrr_pick(inst, key, recs, eligible, now, winner)) {
            // The lock is taken or not plain: await the pick as the steps do.
            Ref list = py::new_list(Py_ssize_t(eligible.size()));
            for (size_t k = 0; k < eligible.size(); ++k)
                PyList_SET_ITEM(list.get(), Py_ssize_t(k), Py_NewRef(recs[eligible[k]].obj));
            return await_pick(list);
        }
        return native_finish(inst, key, recs[winner], now);
    }

    // Record the dispatch natively, or by the step when the clock is a
    // replaced one (it reads the clock), and return the record.
    py::Step native_finish(const fast::Inst& inst, const fast::Key& key, const fast::Rec& rec, const fast::Now& now) {
        Ref winner = Ref::borrow(rec.obj);
        if (now.replaced) return finish(std::move(winner));
        fast::record_dispatch(inst, key, rec, now);
        return py::Step::done(std::move(winner));
    }

    PY_FRAME_REFS(self, pool_key, candidates, force_server_id, sin_binned, algorithm, sticky_key)
};

}  // namespace

Ref select(const Call& c, Handle self, Handle pool_key, Handle candidates, Handle /*estimated_tokens: unused*/,
           Handle force_server_id, Handle sin_binned, Handle algorithm, Handle sticky_key) {
    auto [coro, frame] = py::make_coroutine<SelectFrame>(c);
    frame.c_ = Context(c);
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
