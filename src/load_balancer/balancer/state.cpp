// LoadBalancer construction, routing mode and the mode-dependent queue
// settings.
#include "module.h"

namespace lb {
namespace {

py::Ref new_dict() { return py::Ref::steal(PyDict_New()); }

// `queue_all_value` in "queue_all" mode, else `other_value` (module globals).
py::Ref by_mode(const py::Call& c, PyObject* self, py::Name& queue_all_value, py::Name& other_value) {
    py::Ref mode = attr(self, names::_routing_mode);
    bool queue_all = py::compare(mode.get(), c.g.get(names::ROUTING_MODE_QUEUE_ALL).get(), Py_EQ);
    return c.g.get(queue_all ? queue_all_value : other_value);
}

}  // namespace

PY_FUNCTION(lb_init, "LoadBalancer.__init__", "self")(const py::Call& c, const py::Args& a) {
    PyObject* self = a[0];
    py::setattr(self, names::inflight, new_dict().get());
    py::setattr(self, names::_wrr, new_dict().get());
    py::setattr(self, names::_locks, new_dict().get());
    py::setattr(self, names::_pool_last_access, new_dict().get());
    py::setattr(self, names::_waiters, new_dict().get());
    py::setattr(self, names::_all_waiters, py::new_list().get());
    py::setattr(self, names::dispatch_counts, new_dict().get());
    py::setattr(self, names::last_dispatch_ts, new_dict().get());
    py::setattr(self, names::reject_counts, new_dict().get());
    {
        static PyObject* kw = py::kwnames({&names::maxlen});
        py::Ref maxlen = py::new_int(512);
        py::Ref samples = py::call_kw(c.g.get(names::deque).get(), {maxlen.get()}, kw);
        py::setattr(self, names::queue_wait_samples, samples.get());
    }
    py::setattr(self, names::_routing_mode, c.g.get(names::DEFAULT_ROUTING_MODE).get());
    py::setattr(self, names::_pool_dispatch_windows, new_dict().get());
    py::setattr(self, names::_pool_hot_state, new_dict().get());
    return py::none();
}

PY_FUNCTION(lb_set_routing_mode, "LoadBalancer.set_routing_mode", "self, mode")
(const py::Call& c, const py::Args& a) {
    PyObject* self = a[0];
    py::Ref resolved = py::call(c.g.get(names::normalize_routing_mode).get(), a[1]);
    py::Ref current = attr(self, names::_routing_mode);
    if (py::compare(resolved.get(), current.get(), Py_NE))
        log(c.g, names::info, "Routing mode: %s -> %s", current.get(), resolved.get());
    py::setattr(self, names::_routing_mode, resolved.get());
    return resolved;
}

PY_FUNCTION(lb_get_routing_mode, "LoadBalancer.get_routing_mode", "self")(const py::Call&, const py::Args& a) {
    return attr(a[0], names::_routing_mode);
}

PY_FUNCTION(lb_queue_enabled, "LoadBalancer.queue_enabled", "self")(const py::Call& c, const py::Args& a) {
    py::Ref mode = attr(a[0], names::_routing_mode);
    if (py::compare(mode.get(), c.g.get(names::ROUTING_MODE_QUEUE_ALL).get(), Py_EQ)) return py::bool_(true);
    return c.g.get(names::QUEUE_ENABLED);
}

PY_FUNCTION(lb_queue_ttl_sec, "LoadBalancer.queue_ttl_sec", "self")(const py::Call& c, const py::Args& a) {
    return by_mode(c, a[0], names::QUEUE_ALL_TTL_SEC, names::QUEUE_TTL_SEC);
}

PY_FUNCTION(lb_queue_depth_multiplier, "LoadBalancer.queue_depth_multiplier", "self")
(const py::Call& c, const py::Args& a) {
    return by_mode(c, a[0], names::QUEUE_ALL_DEPTH_MULTIPLIER, names::QUEUE_MAX_DEPTH_MULTIPLIER);
}

}  // namespace lb
