// Environment readers and the routing-mode / algorithm normalisers.
#include "knobs.h"

namespace lb::functions {
namespace {

py::Name n_os{"os"}, n_environ{"environ"};

// os.environ.get(name, "")
Ref env_value(const Call& c, Handle name) {
    Ref environ = py::getattr(c.g.get(n_os), n_environ);
    return py::get(environ, name, module_of(c).empty_str);
}

// Convert the variable (or, when it is unset or empty, the default) with
// `convert`; a ValueError gives the default unchanged.
Ref env_number(const Call& c, Handle name, Handle dflt, PyObject* (*convert)(PyObject*)) {
    Ref raw = env_value(c, name);
    Handle taken = py::truthy(raw) ? Handle(raw) : dflt;
    Ref v = Ref::steal_or_null(convert(taken));
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) py::raise();
        PyErr_Clear();
        return Ref::borrow(dflt);
    }
    return v;
}

// value.strip().lower() if it is a non-empty string, member of the vocabulary
// `valid`; else the default.
Ref normalize(const Call& c, Handle value, const py::Name& dflt, const py::Name& valid) {
    if (!py::truthy(value) || !PyUnicode_Check(value.get())) return c.g.get(dflt);
    Ref stripped = py::call_method(value, names::strip);
    Ref v = py::call_method(stripped, names::lower);
    if (py::contains(c.g.get(valid), v)) return v;
    return c.g.get(dflt);
}

}  // namespace

Ref _env_bool(const Call& c, Handle name, Handle dflt) {
    Ref raw = env_value(c, name);
    if (!py::truthy(raw)) return Ref::borrow(dflt ? dflt : Handle(Py_False));
    Ref stripped = py::call_method(raw, names::strip);
    Ref v = py::call_method(stripped, names::lower);
    for (const char* yes : {"1", "true", "yes", "on"})
        if (PyUnicode_Check(v.get()) && PyUnicode_EqualToUTF8(v.get(), yes)) return py::bool_(true);
    return py::bool_(false);
}

Ref _env_int(const Call& c, Handle name, Handle dflt) { return env_number(c, name, dflt, PyNumber_Long); }

Ref _env_float(const Call& c, Handle name, Handle dflt) { return env_number(c, name, dflt, PyNumber_Float); }

Ref normalize_routing_mode(const Call& c, Handle value) {
    return normalize(c, value, names::DEFAULT_ROUTING_MODE, names::VALID_ROUTING_MODES);
}

Ref normalize_lb_algorithm(const Call& c, Handle value) {
    return normalize(c, value, names::DEFAULT_LB_ALGORITHM, names::VALID_LB_ALGORITHMS);
}

}  // namespace lb::functions
