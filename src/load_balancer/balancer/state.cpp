// LoadBalancer construction, routing mode and the mode-dependent queue
// settings.
#include "balancer/methods.h"
#include "balancer/record.h"
#include "knobs.h"

namespace lb::LoadBalancer {

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
    py::setattr(self, names::held_slots, py::new_dict());
    py::setattr(self, names::limits, py::new_dict());
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
    if (in_queue_all_mode(c, self)) return py::bool_(true);
    return c.g.get(names::QUEUE_ENABLED);
}

Ref queue_ttl_sec(const Call& c, Handle self) { return c.g.get(queue_ttl_name(in_queue_all_mode(c, self))); }

Ref queue_depth_multiplier(const Call& c, Handle self) {
    return c.g.get(queue_depth_multiplier_name(in_queue_all_mode(c, self)));
}

}  // namespace lb::LoadBalancer
