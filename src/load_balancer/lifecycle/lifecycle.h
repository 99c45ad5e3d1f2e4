// What the proxy wraps around each request and runs beside the balancer:
// the in-flight lease, the token estimate and the reaper loop.
#pragma once

#include "balancer/methods.h"
#include "module.h"
#include "py/coroutine.h"

namespace lb {

namespace InflightLease {

// lease.cpp
Ref init(const Call&, Handle self, Handle lb, Handle server_id);
Ref enter(const Call&, Handle self);
Ref exit(const Call&, Handle self, Handle exc_type, Handle exc, Handle tb);
Ref aenter(const Call&, Handle self);
Ref aexit(const Call&, Handle self, Handle exc_type, Handle exc, Handle tb);
Ref release(const Call&, Handle self);

// Calls of the class construct its instances without packing the arguments.
void install_constructor(Handle cls);

namespace def {
using py::fn;
using py::Method;
inline Method init{fn<InflightLease::init>, "InflightLease.__init__", "self, lb, server_id"};
inline Method enter{fn<InflightLease::enter>, "InflightLease.__enter__", "self"};
inline Method exit{fn<InflightLease::exit>, "InflightLease.__exit__", "self, exc_type, exc, tb"};
inline Method aenter{fn<InflightLease::aenter>, "InflightLease.__aenter__", "self", py::Kind::Coroutine};
inline Method aexit{fn<InflightLease::aexit>, "InflightLease.__aexit__", "self, exc_type, exc, tb",
                    py::Kind::Coroutine};
inline Method release{fn<InflightLease::release>, "InflightLease.release", "self"};
}  // namespace def
}  // namespace InflightLease

namespace functions {
// tokens.cpp
Ref estimate_request_tokens(const Call&, Handle body);
// reaper.cpp
Ref inflight_reaper_loop(const Call&, Handle lb, Handle interval_sec, Handle list_running_servers);

namespace def {
using py::fn;
using py::Method;
inline Method estimate_request_tokens{fn<functions::estimate_request_tokens>, "estimate_request_tokens", "body"};
inline Method inflight_reaper_loop{fn<functions::inflight_reaper_loop>, "inflight_reaper_loop",
                                   "lb, *, interval_sec=60.0, list_running_servers=None", py::Kind::Coroutine};
}  // namespace def
}  // namespace functions

namespace call {

// lease.__enter__() / lease.__exit__(exc_type, exc, tb), by attribute as the
// asynchronous protocol calls them.
inline Ref lease_enter(const Call& c, Handle self) {
    return detail::invoke<InflightLease::enter>(c, InflightLease::def::enter, self);
}
inline void lease_exit(const Call& c, Handle self, Handle exc_type, Handle exc, Handle tb) {
    detail::invoke<InflightLease::exit>(c, InflightLease::def::exit, self, exc_type, exc, tb);
}

}  // namespace call

}  // namespace lb
