// The module-level functions of the configuration: environment readers and
// the routing-mode / algorithm normalisers.
#pragma once

#include "module.h"

namespace lb {

namespace functions {

// knobs.cpp
Ref _env_bool(const Call&, Handle name, Handle dflt);
Ref _env_int(const Call&, Handle name, Handle dflt);
Ref _env_float(const Call&, Handle name, Handle dflt);
Ref normalize_routing_mode(const Call&, Handle value);
Ref normalize_lb_algorithm(const Call&, Handle value);

namespace def {
using py::fn;
using py::Method;
inline Method _env_bool{fn<functions::_env_bool>, "_env_bool", "name, default=False"};
inline Method _env_int{fn<functions::_env_int>, "_env_int", "name, default"};
inline Method _env_float{fn<functions::_env_float>, "_env_float", "name, default"};
inline Method normalize_routing_mode{fn<functions::normalize_routing_mode>, "normalize_routing_mode", "value"};
inline Method normalize_lb_algorithm{fn<functions::normalize_lb_algorithm>, "normalize_lb_algorithm", "value"};
}  // namespace def
}  // namespace functions

// s.strip().lower() of a str (knobs.cpp): the str itself when that changes
// nothing.  For an exact str it runs no code.
Ref stripped_lower(Handle s);

// The name `value` stands for: value.strip().lower() when `value` is a
// non-empty str and that is in the vocabulary `valid()`, else `dflt()`.
// With an exact str and an exact set of exact strs this runs no code (the
// native decisions rely on it).
template <class Valid, class Dflt>
Ref normalized_name(Handle value, Valid&& valid, Dflt&& dflt) {
    if (!py::truthy(value) || !PyUnicode_Check(value.get())) return dflt();
    Ref v = stripped_lower(value);
    if (py::contains(valid(), v)) return v;
    return dflt();
}

namespace call {

// normalize_routing_mode(value) / normalize_lb_algorithm(value), with the
// function read from the module namespace at the moment of use.
inline Ref normalize_routing_mode(const Call& c, Handle value) {
    return py::call(c.g.get(names::normalize_routing_mode), value);
}
inline Ref normalize_lb_algorithm(const Call& c, Handle value) {
    return py::call(c.g.get(names::normalize_lb_algorithm), value);
}

}  // namespace call

}  // namespace lb
