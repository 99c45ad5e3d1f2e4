// How the module reads a server record (a mapping the caller owns; the
// module never changes it), which of a request's candidates it may go to,
// the routing-mode tests and the queue settings that depend on the mode.
#pragma once

#include "module.h"

namespace lb::record {

// s["id"]: a record without an id raises KeyError.
inline py::Ref id(py::Handle s) { return py::getitem(s, names::id); }

// s.get("id"): None for a record without an id.
inline py::Ref id_or_none(py::Handle s) { return py::get(s, names::id); }

// The weight the pickers use: float(s.get("weight") or 1.0).
inline py::Ref pick_weight(py::Handle s) {
    py::Ref raw = py::get(s, names::weight);
    if (!py::truthy(raw)) return py::new_float(1.0);
    return py::to_float(raw);
}

// Drained unless (s.get("weight") or 0.0) > 0.0: a missing, None, zero or
// negative weight drains the backend.
inline bool drained(py::Handle s) {
    py::Ref w = py::get(s, names::weight);
    if (!py::truthy(w)) return true;  // (w or 0.0) > 0.0 is then 0.0 > 0.0
    if (PyFloat_CheckExact(w.get())) return !(PyFloat_AS_DOUBLE(w.get()) > 0.0);
    py::Ref zero = py::new_float(0.0);
    return !py::truthy(py::rich_compare(w, zero, Py_GT));
}

// The configured cap: int(s.get("max_concurrency") or 0); 0 or less means no
// limit.
inline py::Ref configured_cap(py::Handle s) {
    py::Ref raw = py::get(s, names::max_concurrency);
    if (!py::truthy(raw)) return py::new_int(0);
    return py::to_int(raw);
}

// The input-token limit as stored (s.get("max_input_tokens")), or NULL for a
// backend without one (a missing, None, 0 or other false value).
inline py::Ref input_limit(py::Handle s) {
    py::Ref raw = py::get(s, names::max_input_tokens);
    if (!py::truthy(raw)) return {};
    return raw;
}

}  // namespace lb::record

namespace lb {

// The sin-bin of a request: `sin_binned or set()` (the module's empty set).
inline py::Handle sin_bin_or_empty(const py::Call& c, py::Handle sin_binned) {
    return py::truthy(sin_binned) ? sin_binned : py::Handle(module_of(c).empty_ids);
}

// The candidates a request may go to: the backends that are not drained, or
// all of them when every one is (`non_drained if non_drained else
// candidates`).  Each record is tested once, in order.
inline py::Ref undrained_or_all(py::Handle candidates) {
    py::Ref non_drained = py::new_list();
    py::for_each(candidates, [&](py::Handle s) {
        if (!record::drained(s)) py::append(non_drained, s);
    });
    return PyList_GET_SIZE(non_drained.get()) ? std::move(non_drained) : py::Ref::borrow(candidates);
}

// The same rule over records read once (each with its `drained` flag): the
// indices of those the request may go to, into `out` (empty on entry).
template <class Recs, class Indices>
void undrained_or_all(const Recs& recs, Indices& out) {
    for (size_t i = 0; i < recs.size(); ++i)
        if (!recs[i].drained) out.push_back(i);
    if (out.empty())
        for (size_t i = 0; i < recs.size(); ++i) out.push_back(i);
}

// mode == <module global `which`>, e.g. is_mode(c, mode, names::ROUTING_MODE_HYBRID).
inline bool is_mode(const py::Call& c, py::Handle mode, const py::Name& which) {
    return py::compare(mode, c.g.get(which), Py_EQ);
}

// self._routing_mode == ROUTING_MODE_QUEUE_ALL
inline bool in_queue_all_mode(const py::Call& c, py::Handle self) {
    return is_mode(c, attr(self, names::_routing_mode), names::ROUTING_MODE_QUEUE_ALL);
}

// The queue settings that depend on the mode, by whether it is "queue_all":
// the module globals of the time-to-live and of the depth multiplier, and a
// new waiter's boost_after_sec (none in "queue_all" mode).
inline const py::Name& queue_ttl_name(bool queue_all) {
    return queue_all ? names::QUEUE_ALL_TTL_SEC : names::QUEUE_TTL_SEC;
}
inline const py::Name& queue_depth_multiplier_name(bool queue_all) {
    return queue_all ? names::QUEUE_ALL_DEPTH_MULTIPLIER : names::QUEUE_MAX_DEPTH_MULTIPLIER;
}
inline py::Ref queue_deadline_boost(const py::Call& c, bool queue_all) {
    return queue_all ? module_of(c).zero_float : c.g.get(names::QUEUE_DEADLINE_BOOST_SEC);
}

}  // namespace lb
