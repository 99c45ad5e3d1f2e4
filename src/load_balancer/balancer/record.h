// How the module reads a server record (a mapping the caller owns; the
// module never changes it), which of a request's candidates it may go to,
// the routing modes and the queue settings that depend on the mode.
//
// The record rules are written once, over a weight or cap read either as a
// plain number (py::Num, the native path) or as the object itself
// (py::Value, the step-by-step path).
#pragma once

#include "module.h"
#include "py/value.h"

namespace lb {

namespace record {

// What the rules need of a value: its truth (`x or default`), whether it is
// above zero, and float() / int() of it.
namespace value {
inline bool truth(const py::Num& n) noexcept { return n.v != 0.0; }  // a NaN is true
inline bool positive(const py::Num& n) noexcept { return n.v > 0.0; }
inline double as_float(const py::Num& n) noexcept { return n.v; }
inline bool truth(const py::Value& v) { return py::truth(v); }
inline bool positive(const py::Value& v) { return py::truth(v > py::Value(py::new_float(0.0))); }
inline py::Value as_float(const py::Value& v) { return py::to_float(v.handle()); }
}  // namespace value

// The weight the pickers use: float(weight or 1.0), `one` being 1.0 of the
// weight's kind.  A missing or None weight is read as a false one.
template <class W, class F>
F weight_for_picks(const W& w, F one) {
    return value::truth(w) ? F(value::as_float(w)) : one;
}

// Drained unless (weight or 0.0) > 0.0: a missing, None, zero or negative
// weight drains the backend.
template <class W>
bool weight_drains(const W& w) {
    return !(value::truth(w) && value::positive(w));
}

// Whether a configured cap is set at all: int(max_concurrency or 0) is the
// int() of the value when it is true, else 0 (then no limit).
template <class C>
bool cap_configured(const C& c) {
    return value::truth(c);
}

// s["id"]: a record without an id raises KeyError.
inline py::Ref id(py::Handle s) { return py::getitem(s, names::id); }

// s.get("id"): None for a record without an id.
inline py::Ref id_or_none(py::Handle s) { return py::get(s, names::id); }

// float(s.get("weight") or 1.0)
inline py::Ref pick_weight(py::Handle s) {
    return weight_for_picks(py::Value(py::get(s, names::weight)), py::Value(py::new_float(1.0))).ref();
}

// not ((s.get("weight") or 0.0) > 0.0)
inline bool drained(py::Handle s) { return weight_drains(py::Value(py::get(s, names::weight))); }

// The configured cap: int(s.get("max_concurrency") or 0); 0 or less means no
// limit.
inline py::Ref configured_cap(py::Handle s) {
    py::Value raw = py::get(s, names::max_concurrency);
    return cap_configured(raw) ? py::to_int(raw.handle()) : py::new_int(0);
}

// The input-token limit as stored (s.get("max_input_tokens")), or NULL for a
// backend without one (a missing, None, 0 or other false value).
inline py::Ref input_limit(py::Handle s) {
    py::Ref raw = py::get(s, names::max_input_tokens);
    if (!py::truthy(raw)) return {};
    return raw;
}

}  // namespace record

// The sin-bin of a request: `sin_binned or set()` (the module's empty set).
inline py::Handle sin_bin_or_empty(const py::Call& c, py::Handle sin_binned) {
    return py::truthy(sin_binned) ? sin_binned : py::Handle(module_of(c).empty_ids);
}

// The candidates a request may go to: the backends that are not drained, or
// all of them when every one is (`non_drained if non_drained else
// candidates`).  Each record is tested once, in order, while `i < size()`:
// `drained(i)` tells whether the i-th is, `take(i)` keeps it, and `all()`
// keeps every one when none was kept.
template <class Size, class Drained, class Take, class All>
void undrained_or_all(Size&& size, Drained&& drained, Take&& take, All&& all) {
    bool any = false;
    for (size_t i = 0; i < size(); ++i)
        if (!drained(i)) {
            take(i);
            any = true;
        }
    if (!any) all();
}

// The same over a list (or any iterable) of records: a new list, or
// `candidates` itself.  A list is read as it is at each step (a record's
// code may change it), as a loop over it would.
inline py::Ref undrained_or_all(py::Handle candidates) {
    py::Ref records = py::Ref::steal(PySequence_Fast(candidates, "candidates must be iterable"));
    py::Ref kept = py::new_list(), tested;
    undrained_or_all(
        [&] { return size_t(PySequence_Fast_GET_SIZE(records.get())); },
        [&](size_t i) {
            py::poll_signals(Py_ssize_t(i));
            tested = py::Ref::borrow(PySequence_Fast_GET_ITEM(records.get(), Py_ssize_t(i)));
            return record::drained(tested);
        },
        [&](size_t) { py::append(kept, tested); }, [&] { kept = py::Ref::borrow(candidates); });
    return kept;
}

// The routing modes, as the capacity gate tells them apart.
enum class Mode : unsigned char { MaxConcurrency, QueueAll, Superfast, Hybrid, Other };

// The mode for which `is(name)` holds, the names being asked in the order
// the capacity gate compares them; the first that holds wins.
template <class Is>
Mode classify_mode(Is&& is) {
    if (is(names::ROUTING_MODE_MAX_CONCURRENCY)) return Mode::MaxConcurrency;
    if (is(names::ROUTING_MODE_QUEUE_ALL)) return Mode::QueueAll;
    if (is(names::ROUTING_MODE_SUPERFAST)) return Mode::Superfast;
    if (is(names::ROUTING_MODE_HYBRID)) return Mode::Hybrid;
    return Mode::Other;
}

// mode == <module global `which`>, e.g. is_mode(c, mode, names::ROUTING_MODE_HYBRID).
inline bool is_mode(const py::Call& c, py::Handle mode, const py::Name& which) {
    return py::compare(mode, c.g.get(which), Py_EQ);
}

// The routing mode `mode` as the steps compare it, with the module's globals.
inline Mode mode_of(const py::Call& c, py::Handle mode) {
    return classify_mode([&](const py::Name& which) { return is_mode(c, mode, which); });
}

// The same natively, with the names the facts hold: false when `mode` is not
// an exact str or a name is not.
inline bool plain_mode(const fast::Facts& f, py::Handle mode, Mode& out) {
    if (!PyUnicode_CheckExact(mode.get()) || !f.mode_max_concurrency || !f.mode_queue_all || !f.mode_superfast ||
        !f.mode_hybrid)
        return false;
    out = classify_mode([&](const py::Name& which) {
        const py::Ref& name = &which == &names::ROUTING_MODE_MAX_CONCURRENCY ? f.mode_max_concurrency
                              : &which == &names::ROUTING_MODE_QUEUE_ALL      ? f.mode_queue_all
                              : &which == &names::ROUTING_MODE_SUPERFAST      ? f.mode_superfast
                                                                              : f.mode_hybrid;
        return mode.is(name) || PyUnicode_Compare(mode, name) == 0;
    });
    return true;
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
