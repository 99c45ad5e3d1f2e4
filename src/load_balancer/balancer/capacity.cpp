// The capacity gate: a backend's effective concurrency cap under the active
// routing mode, the per-pool hot/cold decision of "hybrid" mode, and the
// free-slot test that selection and the hand-off ask before dispatching.
//
// Each rule is one function template: the step methods below compute it on
// the objects they are given (py::Value), the native gate of a decision
// (Gate, at the end) on plain numbers.
#include <optional>

#include "balancer/methods.h"
#include "balancer/native.h"
#include "balancer/record.h"
#include "py/value.h"

namespace lb {

namespace capacity {
namespace {

using py::truth;

// max(a, b) and min(a, b) as the builtins pick: the first argument unless
// the second compares strictly greater (smaller).
template <class N>
const N& at_least(const N& a, const N& b) {
    return truth(b > a) ? b : a;
}
template <class N>
const N& at_most(const N& a, const N& b) {
    return truth(b < a) ? b : a;
}

// The superfast clamp, never below 1 and never above the operator's own cap:
// max(1, knob) for a backend without one, else max(1, min(configured, knob)).
template <class N>
const N& superfast_cap(const N& configured, const N& knob, const N& zero, const N& one) {
    if (truth(configured <= zero)) return at_least(one, knob);
    return at_least(one, at_most(configured, knob));
}

// The hybrid hysteresis: a hot pool stays hot while either signal is above
// its exit threshold (the entry threshold times the exit ratio clamped to
// [lo, hi] = [0.0, 1.0]); a cold one turns hot once either reaches its entry
// threshold.  Returns the new state (a comparison's result).
template <class N>
auto hybrid_hot(bool was_hot, const N& inflight, const N& rate, const N& enter_inflight, const N& enter_rate,
                const N& exit_ratio, const N& lo, const N& hi) {
    const N& ratio = at_least(lo, at_most(hi, exit_ratio));
    const N exit_inflight = enter_inflight * ratio;
    const N exit_rate = enter_rate * ratio;
    auto hot = was_hot ? inflight > exit_inflight : inflight >= enter_inflight;
    if (!truth(hot)) hot = was_hot ? rate > exit_rate : rate >= enter_rate;
    return hot;
}

// The effective cap under `mode`: the configured cap, or the superfast clamp
// of it (`clamp()`), or in "hybrid" mode the configured cap while the pool is
// hot (`hot()`), else the clamp.
template <class N, class Hot, class Clamp>
N effective_cap(Mode mode, const N& configured, Hot&& hot, Clamp&& clamp) {
    switch (mode) {
        case Mode::MaxConcurrency:
        case Mode::QueueAll:
        case Mode::Other:
            return configured;
        case Mode::Superfast:
            return clamp();
        case Mode::Hybrid:
            return hot() ? configured : clamp();
    }
    return configured;
}

// Whether a backend has a free slot: a cap of 0 or less is no limit;
// otherwise what it is busy with (`busy()`: its in-flight requests and the
// slots held for woken waiters) must be below the cap.
template <class N, class Busy>
auto free_slot(const N& cap, const N& zero, Busy&& busy) -> decltype(cap < cap) {
    if (truth(cap <= zero)) return py::yes<decltype(cap < cap)>();
    return busy() < cap;
}

// A limit the caller set on the backend (set_limit), once the cap allows: a
// limit valid until a time that has come (`now() >= until`, the clock read
// only for a timed limit) closes the backend; otherwise what it is busy with
// must stay below the limit.
template <class N, class Now, class Busy>
auto within_limit(const N& limit, const N* until, Now&& now, Busy&& busy) -> decltype(limit < limit) {
    if (until && truth(now() >= *until)) return py::no<decltype(limit < limit)>();
    return busy() < limit;
}

}  // namespace
}  // namespace capacity

// ---- the step methods -------------------------------------------------------

namespace LoadBalancer {
namespace {

// [server], the pool of a backend judged on its own.
Ref pool_or_self(Handle pool_candidates, Handle server) {
    if (!pool_candidates.or_none().is_none()) return Ref::borrow(pool_candidates);
    Ref one = py::new_list(1);
    PyList_SET_ITEM(one.get(), 0, Py_NewRef(server.get()));
    return one;
}

}  // namespace

Ref _superfast_cap(const Call& c, Handle, Handle configured) {
    py::Value knob = c.g.get(names::SUPERFAST_PER_SERVER_CAP);
    return capacity::superfast_cap(py::Value::of(configured), knob, py::Value(py::new_int(0)),
                                   py::Value(py::new_int(1)))
        .ref();
}

Ref _hybrid_hot(const Call& c, Handle self, Handle pool_key, Handle pool_inflight, Handle pool_rate) {
    bool was_hot = false;
    if (py::truthy(pool_key)) was_hot = py::truthy(py::get(attr(self, names::_pool_hot_state), pool_key, Py_False));
    py::Value enter_inflight = c.g.get(names::HYBRID_INFLIGHT_THRESHOLD);
    py::Value enter_rate = c.g.get(names::HYBRID_RATE_THRESHOLD);
    py::Value exit_ratio = c.g.get(names::HYBRID_HOT_EXIT_RATIO);
    py::Value now_hot =
        capacity::hybrid_hot(was_hot, py::Value::of(pool_inflight), py::Value::of(pool_rate), enter_inflight,
                             enter_rate, exit_ratio, py::Value(py::new_float(0.0)), py::Value(py::new_float(1.0)));
    // The pool's state is written only on a change.
    if (!pool_key.is_none() && py::truth(now_hot != py::Value::of(was_hot)))
        py::setitem(attr(self, names::_pool_hot_state), pool_key, now_hot.handle());
    return now_hot.ref();
}

Ref _effective_cap_for(const Call& c, Handle self, Handle server, Handle pool_inflight, Handle pool_rate,
                       Handle pool_key) {
    py::Value configured = record::configured_cap(server);
    Mode mode = mode_of(c, attr(self, names::_routing_mode));
    auto clamp = [&] { return py::Value(call::superfast_cap(c, self, configured.handle())); };
    auto hot = [&] { return call::hybrid_hot(c, self, pool_key.or_none(), pool_inflight, pool_rate); };
    return capacity::effective_cap(mode, configured, hot, clamp).ref();
}

// self._effective_cap_for(server, self._pool_inflight(pool),
//                         self._recent_dispatch_rate(pool_key), pool_key=pool_key)
Ref effective_cap_for(const Call& c, Handle self, Handle server, Handle pool_candidates, Handle pool_key) {
    pool_key = pool_key.or_none();
    Ref pool = pool_or_self(pool_candidates, server);
    Ref total = call::pool_inflight(c, self, pool);
    Ref rate = call::recent_dispatch_rate(c, self, pool_key);
    return call::effective_cap(c, self, server, total, rate, pool_key);
}

Ref _pool_inflight(const Call& c, Handle self, Handle candidates) {
    Ref inflight = attr(self, names::inflight);
    Ref zero = py::new_int(0);
    // Machine integers while every count is a plain int that fits; from the
    // first that is not, the builtin sum takes over, so that the total is
    // exactly its result.
    long long total = 0;
    Ref rest;  // [total so far, remaining counts...] once machine integers are left
    py::for_each(candidates, [&](Handle s) {
        Ref count = py::get(inflight, record::id(s), zero);
        long long v, sum;
        if (!rest && py::small_int(count, v) && !__builtin_add_overflow(total, v, &sum)) {
            total = sum;
            return;
        }
        if (!rest) {
            rest = py::new_list();
            py::append(rest, py::new_int(total));
        }
        py::append(rest, count);
    });
    if (!rest) return py::new_int(total);
    return py::call(module_of(c).builtin_sum, rest);
}

Ref _under_capacity(const Call& c, Handle self, Handle server, Handle pool_candidates, Handle pool_key) {
    // The cap computed as effective_cap_for computes it, not through a call
    // of self.effective_cap_for.
    pool_key = pool_key.or_none();
    Ref pool = pool_or_self(pool_candidates, server);
    Ref total = call::pool_inflight(c, self, pool);
    Ref rate = call::recent_dispatch_rate(c, self, pool_key);
    return under_capacity_at(c, self, server, total, rate, pool_key);
}

Ref under_capacity_at(const Call& c, Handle self, Handle server, Handle pool_inflight, Handle pool_rate,
                      Handle pool_key) {
    py::Value cap = call::effective_cap(c, self, server, pool_inflight, pool_rate, pool_key);
    // A slot handed to a parked request that has not resumed yet is as busy
    // as one in flight.  Read once, when first needed.
    Ref sid;
    auto id = [&]() -> Handle {
        if (!sid) sid = record::id(server);
        return sid;
    };
    py::Value busy_now;
    auto busy = [&] {
        if (!busy_now.ref()) {
            Ref zero = py::new_int(0);
            py::Value count = py::get(attr(self, names::inflight), id(), zero);
            py::Value held = py::get(attr(self, names::held_slots), id(), zero);
            busy_now = count + held;
        }
        return busy_now;
    };
    py::Value free = capacity::free_slot(cap, py::Value(py::new_int(0)), busy);
    if (!py::truth(free)) return free.ref();
    Ref limit = py::get(attr(self, names::limits), id());
    if (limit.is_none()) return free.ref();
    // (n, valid_until)
    Ref pair = Ref::steal(PySequence_Tuple(limit));
    if (PyTuple_GET_SIZE(pair.get()) != 2) py::raise(PyExc_ValueError, "a limit is a pair (n, valid_until)");
    py::Value n = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0));
    py::Value until = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 1));
    const py::Value* timed = until.handle().is_none() ? nullptr : &until;
    return capacity::within_limit(n, timed, [&] { return py::Value(monotonic(c)); }, busy).ref();
}

}  // namespace LoadBalancer

// ---- the native gate -----------------------------------------------------------

namespace fast {

bool Gate::prepare(const Inst& inst, const Key& pool_key, long long pool_inflight, const Now& now) {
    const Facts& f = *inst.f;
    inst_ = &inst;
    pool_key_ = &pool_key;
    bool failed = false;
    PyObject* mode = inst.get(kRoutingMode);
    if (!mode || !plain_mode(f, mode, mode_)) return false;
    pool_inflight_ = double(pool_inflight);
    now_ = now.num.v;
    rate_used_ = hot_ = hot_written_ = false;
    hot_state_ = {};
    if (mode_ == Mode::Hybrid && !(hot_state_ = Ref::borrow(inst.dict(kPoolHotState)))) return false;
    if (now.replaced) return true;  // each check reads what it needs

    // The pool's dispatch rate, and how much of its window the first reading
    // trims.
    PyObject* windows = inst.dict(kPoolDispatchWindows);
    if (!windows) return false;
    PyObject* window = pool_key.in(windows, failed);
    if (failed || !window_.read(*inst.m, window ? window : Py_None,
                                now.num.v - dispatch::window_length(f.hybrid_window.v)))
        return false;
    rate_ = window_.rate_at(now.num.v);

    if (mode_ == Mode::Hybrid) {
        PyObject* hot = pool_key.in(hot_state_, failed);
        if (failed || (hot && !PyBool_Check(hot))) return false;
        hot_ = hot == Py_True;
    }
    return true;
}

Gate::Check Gate::check(Recs& recs, const Small<size_t>& pool, size_t k) {
    const Inst& inst = *inst_;
    const Facts& f = *inst.f;
    // _pool_inflight(pool): the records and their counts as they are now.
    long long total = 0;
    for (size_t i = 0; i < pool.size(); ++i) {
        Rec& r = recs[pool[i]];
        if (!inst.unchanged() || !reread(inst, r) || __builtin_add_overflow(total, r.inflight, &total))
            return Check::StepsFromHere;
    }
    live_inflight_ = total;
    // _recent_dispatch_rate(pool_key): the step itself, which reads the clock
    // and trims the window.
    live_rate_ = LoadBalancer::_recent_dispatch_rate(inst.m->call(LoadBalancer::def::_recent_dispatch_rate), inst.self,
                                                     pool_key_->obj);
    // Then the cap and the counts of the record, as they are after that.
    Rec& rec = recs[k];
    py::Num rate;
    bool failed = false;
    // (A timed limit has the steps read the clock where they read it.)
    if (!inst.unchanged() || !reread(inst, rec) || !py::num(live_rate_, rate) || rec.timed)
        return Check::StepsAfterRate;
    const double configured = double(rec.cap);
    auto clamp = [&] { return capacity::superfast_cap(configured, f.superfast_cap.v, 0.0, 1.0); };
    std::optional<bool> hot_now;
    auto hot = [&] {
        PyObject* state = pool_key_->in(hot_state_, failed);
        if (failed || (state && !PyBool_Check(state))) return false;
        const bool was = PyTuple_GET_SIZE(pool_key_->obj) > 0 && state == Py_True;
        hot_now = capacity::hybrid_hot(was, double(total), rate.v, f.hybrid_inflight.v, f.hybrid_rate.v,
                                       f.hybrid_exit_ratio.v, 0.0, 1.0);
        // Written at once, as the step writes it.
        if (*hot_now != was) pool_key_->set(hot_state_, *hot_now ? Py_True : Py_False);
        return *hot_now;
    };
    const double cap = capacity::effective_cap(mode_, configured, hot, clamp);
    if (mode_ == Mode::Hybrid && !hot_now) return Check::StepsAfterRate;  // the state was not plain
    auto busy = [&] { return double(rec.inflight + rec.held); };
    bool free = capacity::free_slot(cap, 0.0, busy);
    if (free && rec.limited)
        free = capacity::within_limit(double(rec.limit), static_cast<const double*>(nullptr), [] { return 0.0; }, busy);
    return free ? Check::Free : Check::Busy;
}

bool Gate::free(const Rec& rec) {
    const Facts& f = *inst_->f;
    rate_used_ = true;
    const double configured = double(rec.cap);
    auto clamp = [&] { return capacity::superfast_cap(configured, f.superfast_cap.v, 0.0, 1.0); };
    auto hot = [&] {
        // Replayed in order; the pool's state is written at the end.
        const bool was = PyTuple_GET_SIZE(pool_key_->obj) > 0 && hot_;
        const bool now = capacity::hybrid_hot(was, pool_inflight_, rate_, f.hybrid_inflight.v, f.hybrid_rate.v,
                                              f.hybrid_exit_ratio.v, 0.0, 1.0);
        if (now != was) {
            hot_ = now;
            hot_written_ = true;
        }
        return now;
    };
    const double cap = capacity::effective_cap(mode_, configured, hot, clamp);
    auto busy = [&] { return double(rec.inflight + rec.held); };
    if (!capacity::free_slot(cap, 0.0, busy)) return false;
    if (!rec.limited) return true;
    const double limit = double(rec.limit);
    return capacity::within_limit(limit, rec.timed ? &rec.until : nullptr, [&] { return now_; }, busy);
}

void Gate::commit() {
    if (rate_used_) window_.commit(*inst_->m);
    if (hot_written_) pool_key_->set(hot_state_, hot_ ? Py_True : Py_False);
}

}  // namespace fast

}  // namespace lb
