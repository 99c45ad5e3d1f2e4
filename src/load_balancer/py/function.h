// Native functions with Python's calling conventions.
//
// A function is declared once, with its Python signature as text:
//
//     PY_FUNCTION(lb_get_inflight, "LoadBalancer.get_inflight", "self, server_id")
//     (const py::Call& c, const py::Args& a) {
//         ...  // a[0] is self, a[1] is server_id; c.g reads module globals
//     }
//
// The signature text follows Python's syntax for parameter lists: names,
// `name=default` for optional parameters and a bare `*` before keyword-only
// ones.  Arguments are bound as Python binds them (same TypeErrors); an
// optional argument that was not passed is NULL in `Args` and the body
// substitutes the default.
//
// At import the module turns definitions into function objects
// (`make_function`): they carry the module's namespace as their globals,
// bind as methods when stored in a class (like Python functions), and take
// the interpreter's fast path for method calls.
#pragma once

#include <string>
#include <vector>

#include "py/ops.h"

namespace py {

constexpr int kMaxParams = 8;

// Bound arguments (borrowed; NULL when an optional one was not passed).
struct Args {
    PyObject* v[kMaxParams] = {};
    PyObject* operator[](int i) const noexcept { return v[i]; }
    // The argument, or `dflt` when it was not passed.
    PyObject* get(int i, PyObject* dflt) const noexcept { return v[i] ? v[i] : dflt; }
};

// What a running function knows about itself.
struct Call {
    Globals g;         // the defining module's namespace
    PyObject* self;    // the function object (borrowed)
};

using Impl = Ref (*)(const Call&, const Args&);

struct FuncDef {
    FuncDef(const char* qualname, const char* signature, Impl impl, bool coroutine = false);

    std::string qualname;  // "LoadBalancer.select"
    std::string name;      // "select"
    std::string text_signature;
    Impl impl;
    bool coroutine;  // calling it returns a coroutine (an `async def`)

    struct Param {
        std::string name;
        bool has_default;
        PyObject* interned = nullptr;
    };
    std::vector<Param> params;
    int n_positional = 0;  // positional-or-keyword parameters
    int n_required = 0;    // leading positional parameters without default
};

// Registers a definition under its qualified name; the module's start-up
// looks definitions up by name when it builds functions and classes.
struct Registered {
    explicit Registered(FuncDef& def);
};
FuncDef& registered(const char* qualname);
FuncDef* find_registered(const char* qualname);  // NULL when absent

// Create a function object for `def` defined in the namespace `globals`.
Ref make_function(FuncDef& def, PyObject* globals);

// The definition behind a function object made by `make_function`.
const FuncDef& definition(PyObject* function);

// Bind `args`/`kwnames` (vectorcall convention) to `def`'s parameters.
void bind(FuncDef& def, PyObject* const* args, size_t nargsf, PyObject* kwnames, Args& out);

// Ready the native types; called by the module's start-up.
void init_function_type();

}  // namespace py

#define PY_DEFINE_FUNCTION_(ident, qualname, signature, coroutine)                \
    static ::py::Ref ident##_impl(const ::py::Call&, const ::py::Args&);         \
    static ::py::FuncDef ident##_def{qualname, signature, &ident##_impl, coroutine}; \
    [[maybe_unused]] static ::py::Registered ident##_reg{ident##_def};           \
    static ::py::Ref ident##_impl

#define PY_FUNCTION(ident, qualname, signature) PY_DEFINE_FUNCTION_(ident, qualname, signature, false)

// A coroutine function: its body returns `py::make_coroutine<...>(c)`, and
// `inspect.iscoroutinefunction` reports it as one.
#define PY_COROUTINE_FUNCTION(ident, qualname, signature) \
    PY_DEFINE_FUNCTION_(ident, qualname, signature, true)
