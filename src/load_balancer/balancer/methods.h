// The methods of `LoadBalancer` and `_Waiter`, and the typed call layer
// through which the subsystems call one another.
//
// Each method has three parts:
//   - its implementation, a plain C++ function in the namespace named after
//     its class (`LoadBalancer::_under_capacity` in capacity.cpp);
//   - its descriptor (`LoadBalancer::def::_under_capacity`): the Python
//     signature, from which the class body is built (startup.cpp);
//   - for the methods one subsystem calls on another by attribute name, a
//     call-layer function (`call::under_capacity(c, self, server, pool, pool_key)`).
//
// A call-layer function is the one place where such a call decides how to
// run: natively, when `self.<name>` resolves to the module's own
// implementation, or through attribute lookup and a Python call otherwise
// (a subclass, a class or instance patch).  The by-name call defines the
// behaviour; the native call computes exactly the same thing.
#pragma once

#include "module.h"
#include "py/coroutine.h"

namespace lb {

// ---- implementations ----------------------------------------------------------

namespace LoadBalancer {

// state.cpp
Ref init(const Call&, Handle self);
Ref set_routing_mode(const Call&, Handle self, Handle mode);
Ref get_routing_mode(const Call&, Handle self);
Ref queue_enabled(const Call&, Handle self);
Ref queue_ttl_sec(const Call&, Handle self);
Ref queue_depth_multiplier(const Call&, Handle self);
// capacity.cpp
Ref _superfast_cap(const Call&, Handle self, Handle configured);
Ref _hybrid_hot(const Call&, Handle self, Handle pool_key, Handle pool_inflight, Handle pool_rate);
Ref _effective_cap_for(const Call&, Handle self, Handle server, Handle pool_inflight, Handle pool_rate,
                       Handle pool_key);
Ref effective_cap_for(const Call&, Handle self, Handle server, Handle pool_candidates, Handle pool_key);
Ref _pool_inflight(const Call&, Handle self, Handle candidates);
Ref _under_capacity(const Call&, Handle self, Handle server, Handle pool_candidates, Handle pool_key);
// _under_capacity from the pool's in-flight total and dispatch rate on: the
// cap by name, then the free-slot test.
Ref under_capacity_at(const Call&, Handle self, Handle server, Handle pool_inflight, Handle pool_rate,
                      Handle pool_key);
// dispatch.cpp
Ref _recent_dispatch_rate(const Call&, Handle self, Handle pool_key);
Ref _record_dispatch(const Call&, Handle self, Handle pool_key, Handle server);
// counters.cpp
Ref increment(const Call&, Handle self, Handle server_id);
Ref decrement(const Call&, Handle self, Handle server_id);
Ref get_inflight(const Call&, Handle self, Handle server_id);
Ref force_clear(const Call&, Handle self, Handle server_id);
Ref _lock_for(const Call&, Handle self, Handle pool_key);
Ref _evict_stale_pools(const Call&, Handle self);
// select.cpp
Ref select(const Call&, Handle self, Handle pool_key, Handle candidates, Handle estimated_tokens,
           Handle force_server_id, Handle sin_binned, Handle algorithm, Handle sticky_key);
// wrr.cpp
Ref _wrr_pick(const Call&, Handle self, Handle pool_key, Handle eligible);
// pickers.cpp
Ref _least_connections_pick(const Call&, Handle self, Handle eligible);
Ref _sticky_lookup(const Call&, Handle self, Handle eligible, Handle sticky_key);
// fit.cpp
Ref filter_by_fit(const Call&, Handle self, Handle candidates, Handle estimated_tokens);
// queue.cpp
Ref _queue_capacity_for_pool(const Call&, Handle self, Handle candidates);
Ref wait_for_slot(const Call&, Handle self, Handle pool_key, Handle candidates, Handle estimated_tokens,
                  Handle sin_binned);
// handoff.cpp
Ref _try_admit(const Call&, Handle self, Handle waiter);
Ref _wake_one(const Call&, Handle self, Handle server_id);
Ref _fulfill(const Call&, Handle self, Handle waiter, Handle server);
Ref _remove_waiter(const Call&, Handle self, Handle waiter);
// limits.cpp
Ref set_limit(const Call&, Handle self, Handle server_id, Handle n, Handle valid_until);
Ref clear_limit(const Call&, Handle self, Handle server_id);
// telemetry/snapshot.cpp
Ref note_reject(const Call&, Handle self, Handle reason);
Ref _bump_reject(const Call&, Handle self, Handle reason);
Ref snapshot(const Call&, Handle self);
// telemetry/prometheus.cpp
Ref prometheus_text(const Call&, Handle self);

namespace def {
using py::fn;
using py::Method;
inline Method init{fn<LoadBalancer::init>, "LoadBalancer.__init__", "self"};
inline Method set_routing_mode{fn<LoadBalancer::set_routing_mode>, "LoadBalancer.set_routing_mode", "self, mode"};
inline Method get_routing_mode{fn<LoadBalancer::get_routing_mode>, "LoadBalancer.get_routing_mode", "self"};
inline Method queue_enabled{fn<LoadBalancer::queue_enabled>, "LoadBalancer.queue_enabled", "self"};
inline Method queue_ttl_sec{fn<LoadBalancer::queue_ttl_sec>, "LoadBalancer.queue_ttl_sec", "self"};
inline Method queue_depth_multiplier{fn<LoadBalancer::queue_depth_multiplier>,
                                     "LoadBalancer.queue_depth_multiplier", "self"};
inline Method _superfast_cap{fn<LoadBalancer::_superfast_cap>, "LoadBalancer._superfast_cap", "self, configured"};
inline Method _hybrid_hot{fn<LoadBalancer::_hybrid_hot>, "LoadBalancer._hybrid_hot",
                          "self, pool_key, pool_inflight, pool_rate"};
inline Method _effective_cap_for{fn<LoadBalancer::_effective_cap_for>, "LoadBalancer._effective_cap_for",
                                 "self, server, pool_inflight, pool_rate, pool_key=None"};
inline Method effective_cap_for{fn<LoadBalancer::effective_cap_for>, "LoadBalancer.effective_cap_for",
                                "self, server, pool_candidates=None, pool_key=None"};
inline Method _pool_inflight{fn<LoadBalancer::_pool_inflight>, "LoadBalancer._pool_inflight", "self, candidates"};
inline Method _recent_dispatch_rate{fn<LoadBalancer::_recent_dispatch_rate>, "LoadBalancer._recent_dispatch_rate",
                                    "self, pool_key=None"};
inline Method increment{fn<LoadBalancer::increment>, "LoadBalancer.increment", "self, server_id"};
inline Method decrement{fn<LoadBalancer::decrement>, "LoadBalancer.decrement", "self, server_id"};
inline Method get_inflight{fn<LoadBalancer::get_inflight>, "LoadBalancer.get_inflight", "self, server_id"};
inline Method force_clear{fn<LoadBalancer::force_clear>, "LoadBalancer.force_clear", "self, server_id"};
inline Method _lock_for{fn<LoadBalancer::_lock_for>, "LoadBalancer._lock_for", "self, pool_key"};
inline Method _evict_stale_pools{fn<LoadBalancer::_evict_stale_pools>, "LoadBalancer._evict_stale_pools", "self"};
inline Method _under_capacity{fn<LoadBalancer::_under_capacity>, "LoadBalancer._under_capacity",
                              "self, server, pool_candidates=None, pool_key=None"};
inline Method select{fn<LoadBalancer::select>, "LoadBalancer.select",
                     "self, pool_key, candidates, *, estimated_tokens=0, force_server_id=None, sin_binned=None, "
                     "algorithm=None, sticky_key=None",
                     py::Kind::Coroutine};
inline Method _wrr_pick{fn<LoadBalancer::_wrr_pick>, "LoadBalancer._wrr_pick", "self, pool_key, eligible",
                        py::Kind::Coroutine};
inline Method _least_connections_pick{fn<LoadBalancer::_least_connections_pick>,
                                      "LoadBalancer._least_connections_pick", "self, eligible"};
inline Method _sticky_lookup{fn<LoadBalancer::_sticky_lookup>, "LoadBalancer._sticky_lookup",
                             "self, eligible, sticky_key"};
inline Method _record_dispatch{fn<LoadBalancer::_record_dispatch>, "LoadBalancer._record_dispatch",
                               "self, pool_key, server"};
inline Method filter_by_fit{fn<LoadBalancer::filter_by_fit>, "LoadBalancer.filter_by_fit",
                            "self, candidates, estimated_tokens"};
inline Method _queue_capacity_for_pool{fn<LoadBalancer::_queue_capacity_for_pool>,
                                       "LoadBalancer._queue_capacity_for_pool", "self, candidates"};
inline Method wait_for_slot{fn<LoadBalancer::wait_for_slot>, "LoadBalancer.wait_for_slot",
                            "self, pool_key, candidates, estimated_tokens, *, sin_binned=None", py::Kind::Coroutine};
inline Method _try_admit{fn<LoadBalancer::_try_admit>, "LoadBalancer._try_admit", "self, waiter"};
inline Method _wake_one{fn<LoadBalancer::_wake_one>, "LoadBalancer._wake_one", "self, server_id"};
inline Method _fulfill{fn<LoadBalancer::_fulfill>, "LoadBalancer._fulfill", "self, waiter, server"};
inline Method _remove_waiter{fn<LoadBalancer::_remove_waiter>, "LoadBalancer._remove_waiter", "self, waiter"};
inline Method note_reject{fn<LoadBalancer::note_reject>, "LoadBalancer.note_reject", "self, reason"};
inline Method _bump_reject{fn<LoadBalancer::_bump_reject>, "LoadBalancer._bump_reject", "self, reason"};
inline Method snapshot{fn<LoadBalancer::snapshot>, "LoadBalancer.snapshot", "self"};
inline Method prometheus_text{fn<LoadBalancer::prometheus_text>, "LoadBalancer.prometheus_text", "self"};
inline Method set_limit{fn<LoadBalancer::set_limit>, "LoadBalancer.set_limit", "self, server_id, n, valid_until=None"};
inline Method clear_limit{fn<LoadBalancer::clear_limit>, "LoadBalancer.clear_limit", "self, server_id"};
}  // namespace def
}  // namespace LoadBalancer

namespace Waiter {
// handoff.cpp
py::Ref is_boosted(const py::Call&, py::Handle self, py::Handle now);

namespace def {
inline py::Method is_boosted{py::fn<Waiter::is_boosted>, "_Waiter.is_boosted", "self, now"};
}
}  // namespace Waiter

// The end of a slot hold that `_fulfill` took for a woken waiter:
// held_slots[server_id] goes down by one (the entry is deleted at 0; nothing
// happens when none is held).  handoff.cpp
void release_held_slot(py::Handle self, py::Handle server_id);

// ---- the call layer -------------------------------------------------------------

// Where `self.<m>(...)` goes: the module whose own implementation of `m` the
// attribute resolves to (the call then runs natively with that module's
// context), or NULL (the call goes through attribute lookup).
const Module* resolve(const py::Call& c, py::Handle self, const py::Method& m);

// The call layer: `call::under_capacity(c, self, server, pool, pool_key)` is
// `self._under_capacity(server, pool, pool_key=pool_key)`.
namespace call {

namespace detail {

// self.<m>(*args), natively when it resolves to our own implementation.
template <auto Impl, class... A>
py::Ref invoke(const py::Call& c, const py::Method& m, py::Handle self, A... args) {
    if (const Module* own = resolve(c, self, m)) return Impl(own->call(m), self, args...);
    return py::call_method(self, m.name_object(), args...);
}

// self.<m>(*args, pool_key=pool_key): the last argument by keyword.
template <auto Impl, class... A>
py::Ref invoke_with_pool_key(const py::Call& c, const py::Method& m, py::Handle self, A... args) {
    if (const Module* own = resolve(c, self, m)) return Impl(own->call(m), self, args...);
    return py::call_method_kw(self, m.name_object(), module_of(c).kw_pool_key, args...);
}

}  // namespace detail

// self._under_capacity(server, pool, pool_key=pool_key), as a truth value.
inline bool under_capacity(const py::Call& c, py::Handle self, py::Handle server, py::Handle pool,
                           py::Handle pool_key) {
    return py::truthy(detail::invoke_with_pool_key<LoadBalancer::_under_capacity>(
        c, LoadBalancer::def::_under_capacity, self, server, pool, pool_key));
}

// self._effective_cap_for(server, pool_inflight, pool_rate, pool_key=pool_key)
inline py::Ref effective_cap(const py::Call& c, py::Handle self, py::Handle server, py::Handle pool_inflight,
                             py::Handle pool_rate, py::Handle pool_key) {
    return detail::invoke_with_pool_key<LoadBalancer::_effective_cap_for>(
        c, LoadBalancer::def::_effective_cap_for, self, server, pool_inflight, pool_rate, pool_key);
}

// self._superfast_cap(configured)
inline py::Ref superfast_cap(const py::Call& c, py::Handle self, py::Handle configured) {
    return detail::invoke<LoadBalancer::_superfast_cap>(c, LoadBalancer::def::_superfast_cap, self, configured);
}

// self._hybrid_hot(pool_key, pool_inflight, pool_rate), as a truth value.
inline bool hybrid_hot(const py::Call& c, py::Handle self, py::Handle pool_key, py::Handle pool_inflight,
                       py::Handle pool_rate) {
    return py::truthy(detail::invoke<LoadBalancer::_hybrid_hot>(c, LoadBalancer::def::_hybrid_hot, self, pool_key,
                                                                pool_inflight, pool_rate));
}

// self._pool_inflight(candidates)
inline py::Ref pool_inflight(const py::Call& c, py::Handle self, py::Handle candidates) {
    return detail::invoke<LoadBalancer::_pool_inflight>(c, LoadBalancer::def::_pool_inflight, self, candidates);
}

// self._recent_dispatch_rate(pool_key), or self._recent_dispatch_rate() for
// the balancer-wide rate when `pool_key` is NULL.
inline py::Ref recent_dispatch_rate(const py::Call& c, py::Handle self, py::Handle pool_key) {
    const py::Method& m = LoadBalancer::def::_recent_dispatch_rate;
    if (!pool_key) {
        if (const Module* own = resolve(c, self, m)) return LoadBalancer::_recent_dispatch_rate(own->call(m), self, {});
        return py::call_method(self, m.name_object());
    }
    return detail::invoke<LoadBalancer::_recent_dispatch_rate>(c, m, self, pool_key);
}

// self._record_dispatch(pool_key, server)
inline void record_dispatch(const py::Call& c, py::Handle self, py::Handle pool_key, py::Handle server) {
    detail::invoke<LoadBalancer::_record_dispatch>(c, LoadBalancer::def::_record_dispatch, self, pool_key, server);
}

// self._wrr_pick(pool_key, eligible): the awaitable of the pick.
inline py::Ref wrr_pick(const py::Call& c, py::Handle self, py::Handle pool_key, py::Handle eligible) {
    return detail::invoke<LoadBalancer::_wrr_pick>(c, LoadBalancer::def::_wrr_pick, self, pool_key, eligible);
}

// self._least_connections_pick(eligible)
inline py::Ref least_connections_pick(const py::Call& c, py::Handle self, py::Handle eligible) {
    return detail::invoke<LoadBalancer::_least_connections_pick>(c, LoadBalancer::def::_least_connections_pick, self,
                                                                 eligible);
}

// self._sticky_lookup(eligible, sticky_key)
inline py::Ref sticky_lookup(const py::Call& c, py::Handle self, py::Handle eligible, py::Handle sticky_key) {
    return detail::invoke<LoadBalancer::_sticky_lookup>(c, LoadBalancer::def::_sticky_lookup, self, eligible,
                                                        sticky_key);
}

// self._lock_for(pool_key)
inline py::Ref lock_for(const py::Call& c, py::Handle self, py::Handle pool_key) {
    return detail::invoke<LoadBalancer::_lock_for>(c, LoadBalancer::def::_lock_for, self, pool_key);
}

// self._evict_stale_pools()
inline void evict_stale_pools(const py::Call& c, py::Handle self) {
    detail::invoke<LoadBalancer::_evict_stale_pools>(c, LoadBalancer::def::_evict_stale_pools, self);
}

// self.increment(server_id) / self.decrement(server_id) / self.force_clear(server_id)
// (the counts of a plain balancer of the module are taken straight from its
// View: fast::count).
inline void increment(const py::Call& c, py::Handle self, py::Handle server_id) {
    if (fast::count(module_of(c), self, server_id, +1)) return void(++module_of(c).native_counts.count);
    detail::invoke<LoadBalancer::increment>(c, LoadBalancer::def::increment, self, server_id);
}
inline void decrement(const py::Call& c, py::Handle self, py::Handle server_id) {
    if (fast::count(module_of(c), self, server_id, -1)) return void(++module_of(c).native_counts.count);
    detail::invoke<LoadBalancer::decrement>(c, LoadBalancer::def::decrement, self, server_id);
}
inline void force_clear(const py::Call& c, py::Handle self, py::Handle server_id) {
    detail::invoke<LoadBalancer::force_clear>(c, LoadBalancer::def::force_clear, self, server_id);
}

// self.queue_enabled() / self.queue_ttl_sec() / self.queue_depth_multiplier()
inline py::Ref queue_enabled(const py::Call& c, py::Handle self) {
    return detail::invoke<LoadBalancer::queue_enabled>(c, LoadBalancer::def::queue_enabled, self);
}
inline py::Ref queue_ttl_sec(const py::Call& c, py::Handle self) {
    return detail::invoke<LoadBalancer::queue_ttl_sec>(c, LoadBalancer::def::queue_ttl_sec, self);
}
inline py::Ref queue_depth_multiplier(const py::Call& c, py::Handle self) {
    return detail::invoke<LoadBalancer::queue_depth_multiplier>(c, LoadBalancer::def::queue_depth_multiplier, self);
}

// self._queue_capacity_for_pool(candidates)
inline py::Ref queue_capacity_for_pool(const py::Call& c, py::Handle self, py::Handle candidates) {
    return detail::invoke<LoadBalancer::_queue_capacity_for_pool>(c, LoadBalancer::def::_queue_capacity_for_pool,
                                                                  self, candidates);
}

// self._try_admit(waiter) / self._remove_waiter(waiter) / self._wake_one(server_id)
inline void try_admit(const py::Call& c, py::Handle self, py::Handle waiter) {
    detail::invoke<LoadBalancer::_try_admit>(c, LoadBalancer::def::_try_admit, self, waiter);
}
inline void remove_waiter(const py::Call& c, py::Handle self, py::Handle waiter) {
    detail::invoke<LoadBalancer::_remove_waiter>(c, LoadBalancer::def::_remove_waiter, self, waiter);
}
inline void wake_one(const py::Call& c, py::Handle self, py::Handle server_id) {
    detail::invoke<LoadBalancer::_wake_one>(c, LoadBalancer::def::_wake_one, self, server_id);
}

// self._fulfill(waiter, server)
inline void fulfill(const py::Call& c, py::Handle self, py::Handle waiter, py::Handle server) {
    detail::invoke<LoadBalancer::_fulfill>(c, LoadBalancer::def::_fulfill, self, waiter, server);
}

// self._bump_reject(reason)
inline void bump_reject(const py::Call& c, py::Handle self, py::Handle reason) {
    detail::invoke<LoadBalancer::_bump_reject>(c, LoadBalancer::def::_bump_reject, self, reason);
}

// waiter.is_boosted(now), as a truth value.
inline bool is_boosted(const py::Call& c, py::Handle waiter, py::Handle now) {
    return py::truthy(detail::invoke<Waiter::is_boosted>(c, Waiter::def::is_boosted, waiter, now));
}

}  // namespace call

}  // namespace lb
