// LoadBalancer construction, routing mode and the mode-dependent queue
// settings.
#include "balancer/methods.h"
#include "balancer/record.h"
#include "knobs.h"

namespace lb::LoadBalancer {
namespace {

// `queue_all_value` in "queue_all" mode, else `other_value` (module globals).
Ref by_mode(const Call& c, Handle self, const py::Name& queue_all_value, const py::Name& other_value) {
    Ref mode = attr(self, names::_routing_mode);
    return c.g.get(is_mode(c, mode, names::ROUTING_MODE_QUEUE_ALL) ? queue_all_value : other_value);
}

}  // namespace

Ref init(const Call& c, Handle self) {
    py::setattr(self, names::inflight, py::new_dict());
    py::setattr(self, names::_wrr, py::new_dict());
    py::setattr(self, names::_locks, py::new_dict());
    py::setattr(self, names::_pool_last_access, py::new_dict());
    py::setattr(self, names::_waiters, py::new_dict());
    py::setattr(self, names::_all_waiters, py::new_list());
    py::setattr(self, names::dispatch_counts, py::new_dict());
    py::setattr(self, names::last_dispatch_ts, py::new_dict());
    py::setattr(self, names::reject_counts, py::new_dict());
    py::Ref samples = py::call_kw(c.g.get(names::deque), module_of(c).kw_maxlen, py::new_int(512));
    py::setattr(self, names::queue_wait_samples, samples);
    py::setattr(self, names::_routing_mode, c.g.get(names::DEFAULT_ROUTING_MODE));
    py::setattr(self, names::_pool_dispatch_windows, py::new_dict());
    py::setattr(self, names::_pool_hot_state, py::new_dict());
    fast::adopt(module_of(c), self);
    return py::none();
}

Ref set_routing_mode(const Call& c, Handle self, Handle mode) {
    Ref resolved = call::normalize_routing_mode(c, mode);
    Ref current = attr(self, names::_routing_mode);
    if (py::compare(resolved, current, Py_NE)) log(c, names::info, "Routing mode: %s -> %s", current, resolved);
    py::setattr(self, names::_routing_mode, resolved);
    return resolved;
}

Ref get_routing_mode(const Call&, Handle self) { return attr(self, names::_routing_mode); }

Ref queue_enabled(const Call& c, Handle self) {
    Ref mode = attr(self, names::_routing_mode);
    if (is_mode(c, mode, names::ROUTING_MODE_QUEUE_ALL)) return py::bool_(true);
    return c.g.get(names::QUEUE_ENABLED);
}

Ref queue_ttl_sec(const Call& c, Handle self) {
    return by_mode(c, self, names::QUEUE_ALL_TTL_SEC, names::QUEUE_TTL_SEC);
}

Ref queue_depth_multiplier(const Call& c, Handle self) {
    return by_mode(c, self, names::QUEUE_ALL_DEPTH_MULTIPLIER, names::QUEUE_MAX_DEPTH_MULTIPLIER);
}

}  // namespace lb::LoadBalancer
