// Environment readers and the routing-mode / algorithm normalisers.
#include "knobs.h"

namespace lb {

// s.strip().lower() of a str: the str itself when that changes nothing (an
// exact ASCII str without surrounding white space or capital letters).
Ref stripped_lower(Handle s) {
    if (PyUnicode_CheckExact(s.get()) && PyUnicode_IS_ASCII(s.get())) {
        const auto* p = static_cast<const unsigned char*>(PyUnicode_DATA(s.get()));
        Py_ssize_t n = PyUnicode_GET_LENGTH(s.get());
        auto space = [](unsigned char ch) { return ch == ' ' || (ch >= '\t' && ch <= '\r') || (ch >= 0x1c && ch <= 0x1f); };
        bool plain = n > 0 && !space(p[0]) && !space(p[n - 1]);
        for (Py_ssize_t i = 0; plain && i < n; ++i) plain = !(p[i] >= 'A' && p[i] <= 'Z');
        if (plain) return Ref::borrow(s);
    }
    return py::call_method(py::call_method(s, names::strip), names::lower);
}


namespace functions {
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

// The module's normaliser over its globals, read at the moment of use.
Ref normalize(const Call& c, Handle value, const py::Name& dflt, const py::Name& valid) {
    return normalized_name(
        value, [&] { return c.g.get(valid); }, [&] { return c.g.get(dflt); });
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

}  // namespace functions
}  // namespace lb
