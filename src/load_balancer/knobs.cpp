// Environment readers and the routing-mode / algorithm normalisers.
#include "module.h"

namespace lb {
namespace {

py::Name n_os{"os"}, n_environ{"environ"}, n_strip{"strip"}, n_lower{"lower"};
py::Name n_DEFAULT_ROUTING_MODE{"DEFAULT_ROUTING_MODE"}, n_VALID_ROUTING_MODES{"VALID_ROUTING_MODES"};
py::Name n_DEFAULT_LB_ALGORITHM{"DEFAULT_LB_ALGORITHM"}, n_VALID_LB_ALGORITHMS{"VALID_LB_ALGORITHMS"};

// os.environ.get(name, "")
py::Ref env_value(const py::Call& c, PyObject* name) {
    py::Ref environ = py::getattr(c.g.get(n_os).get(), n_environ);
    py::Ref empty = py::Ref::steal(PyUnicode_FromStringAndSize("", 0));
    return py::get(environ.get(), name, empty.get());
}

// Convert the variable (or, when it is unset or empty, the default) with
// `convert`; a ValueError gives the default unchanged.
py::Ref env_number(const py::Call& c, const py::Args& a, PyObject* (*convert)(PyObject*)) {
    py::Ref raw = env_value(c, a[0]);
    PyObject* taken = py::truthy(raw.get()) ? raw.get() : a[1];
    py::Ref v = py::Ref::steal_or_null(convert(taken));
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) py::raise();
        PyErr_Clear();
        return py::Ref::borrow(a[1]);
    }
    return v;
}

// value.strip().lower() if it is a non-empty string, member of the vocabulary
// `valid`; else the default.
py::Ref normalize(const py::Call& c, PyObject* value, py::Name& dflt, py::Name& valid) {
    if (!py::truthy(value) || !PyUnicode_Check(value)) return c.g.get(dflt);
    py::Ref stripped = py::call_method(value, n_strip);
    py::Ref v = py::call_method(stripped.get(), n_lower);
    if (py::contains(c.g.get(valid).get(), v.get())) return v;
    return c.g.get(dflt);
}

}  // namespace

PY_FUNCTION(env_bool, "_env_bool", "name, default=False")(const py::Call& c, const py::Args& a) {
    py::Ref raw = env_value(c, a[0]);
    if (!py::truthy(raw.get())) return py::Ref::borrow(a.get(1, Py_False));
    py::Ref stripped = py::call_method(raw.get(), n_strip);
    py::Ref v = py::call_method(stripped.get(), n_lower);
    for (const char* yes : {"1", "true", "yes", "on"})
        if (PyUnicode_Check(v.get()) && PyUnicode_EqualToUTF8(v.get(), yes)) return py::bool_(true);
    return py::bool_(false);
}

PY_FUNCTION(env_int, "_env_int", "name, default")(const py::Call& c, const py::Args& a) {
    return env_number(c, a, PyNumber_Long);
}

PY_FUNCTION(env_float, "_env_float", "name, default")(const py::Call& c, const py::Args& a) {
    return env_number(c, a, PyNumber_Float);
}

PY_FUNCTION(normalize_routing_mode, "normalize_routing_mode", "value")(const py::Call& c, const py::Args& a) {
    return normalize(c, a[0], n_DEFAULT_ROUTING_MODE, n_VALID_ROUTING_MODES);
}

PY_FUNCTION(normalize_lb_algorithm, "normalize_lb_algorithm", "value")(const py::Call& c, const py::Args& a) {
    return normalize(c, a[0], n_DEFAULT_LB_ALGORITHM, n_VALID_LB_ALGORITHMS);
}

}  // namespace lb
