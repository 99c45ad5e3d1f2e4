// Native functions with Python's calling conventions.
//
// An implementation is a plain C++ function: the call context, then one
// `py::Handle` per Python parameter (`self` first for methods):
//
//     py::Ref get_inflight(const py::Call& c, py::Handle self, py::Handle server_id);
//
// A `py::Method` describes it once, with its qualified name and its Python
// signature as text:
//
//     inline py::Method m_get_inflight{py::fn<get_inflight>, "LoadBalancer.get_inflight", "self, server_id"};
//
// The signature follows Python's syntax for parameter lists: names,
// `name=default` for optional parameters and a bare `*` before keyword-only
// ones.  Arguments are bound as Python binds them (same TypeErrors); an
// optional argument that was not passed reaches the implementation as a NULL
// handle and the implementation substitutes its default.  The argument
// storage is sized from the implementation's parameter list; building a
// table checks that the signature names exactly that many parameters.
//
// The module's start-up builds each class body from a table of Methods in
// definition order (`build_namespace`), and each module-level function at its
// step (`build_function`).  Building fails the import, naming the culprit,
// when a table entry is listed twice, when a Method of that class is missing
// from its table, when a signature does not match its implementation, or
// (`check_all_built`) when a Method was never built at all.
//
// Function objects carry the defining module's namespace as their globals,
// bind as methods when stored in a class (like Python functions), take the
// interpreter's fast path for method calls and pickle by qualified name.
#pragma once

#include <array>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "py/ops.h"

namespace py {

class Method;

// What a running function knows about itself.
struct Call {
    Globals g;          // the defining module's namespace
    const Method* def;  // the function being run
    void* state;        // the defining module's state
    PyObject* module;   // the defining module (borrowed: the function holds it)
};

// Tag naming an implementation: `py::fn<get_inflight>`.
template <auto F>
struct Fn {};
template <auto F>
inline constexpr Fn<F> fn{};

namespace detail {

// The function object behind every native function.
struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Method* def;
    PyObject* globals;  // the defining module's namespace
    PyObject* module;   // the defining module (keeps `state` alive)
    void* state;
    PyObject* dict;
    PyObject* weakrefs;
};

// Bind vectorcall arguments to `def`'s parameters: `out` gets one borrowed
// pointer per parameter, NULL for an optional one that was not passed.
void bind(const Method& def, PyObject* const* args, size_t nargsf, PyObject* kwnames, PyObject** out, size_t n);

template <auto F>
struct Adapter;

template <class... H, Ref (*F)(const Call&, H...)>
struct Adapter<F> {
    static constexpr size_t arity = sizeof...(H);

    template <size_t... I>
    static Ref invoke(const Call& c, const std::array<PyObject*, arity>& a, std::index_sequence<I...>) {
        return F(c, Handle(a[I])...);
    }

    static PyObject* vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
        auto* f = reinterpret_cast<FunctionObject*>(self);
        return guard<PyObject*>(nullptr, [&] {
            std::array<PyObject*, arity> a{};
            bind(*f->def, args, nargsf, kwnames, a.data(), arity);
            return invoke(Call{Globals(f->globals), f->def, f->state, f->module}, a, std::index_sequence_for<H...>{})
                .release();
        });
    }
};

}  // namespace detail

enum class Kind : unsigned char { Function, Coroutine };

class Method {
public:
    // `F` is the implementation; a Kind::Coroutine implementation returns the
    // coroutine object (`py::make_coroutine`).
    template <auto F>
    Method(Fn<F>, const char* qualname, const char* signature, Kind kind = Kind::Function) noexcept
        : qualname_(qualname),
          signature_(signature),
          arity_(detail::Adapter<F>::arity),
          kind_(kind),
          entry_(&detail::Adapter<F>::vectorcall),
          next_(head_) {
        head_ = this;
    }
    Method(const Method&) = delete;
    Method& operator=(const Method&) = delete;

    const char* qualname() const noexcept { return qualname_; }
    // The last component of the qualified name.
    const char* name() const noexcept;
    // The class part of the qualified name ("" for a module-level function).
    std::string owner() const;
    bool coroutine() const noexcept { return kind_ == Kind::Coroutine; }
    // The vectorcall entry of its function objects.
    vectorcallfunc entry() const noexcept { return entry_; }
    // The interned name, once the table holding it was built.
    PyObject* name_object() const noexcept { return name_obj_; }
    // Its position in its table, and the table's first entry (which tells
    // the tables apart), once built; -1 and NULL for a module function.
    int slot() const noexcept { return slot_; }
    const Method* table() const noexcept { return table_; }

    struct Param {
        std::string name;
        bool has_default;
        PyObject* interned;
    };
    const std::vector<Param>& params() const noexcept { return params_; }
    int n_positional() const noexcept { return n_positional_; }
    int n_required() const noexcept { return n_required_; }
    const std::string& text_signature() const noexcept { return text_signature_; }

    // Parse the signature and check it against the implementation (once).
    void prepare();

    // Every Method of the library, for the completeness check.
    static Method* first() noexcept { return head_; }
    Method* next() const noexcept { return next_; }

private:
    friend void build_namespace(Handle, const char*, std::initializer_list<Method*>, PyObject*, PyObject*, void*);
    friend Ref build_function(Method&, PyObject*, PyObject*, void*);
    friend void check_all_built();

    const char* qualname_;
    const char* signature_;
    size_t arity_;
    Kind kind_;
    vectorcallfunc entry_;
    Method* next_;

    bool prepared_ = false;
    bool built_ = false;  // made by build_namespace or build_function
    int slot_ = -1;
    const Method* table_ = nullptr;
    PyObject* name_obj_ = nullptr;
    std::vector<Param> params_;
    int n_positional_ = 0;
    int n_required_ = 0;
    std::string text_signature_;

    static inline constinit Method* head_ = nullptr;
};

// The Method behind a function object of this layer, or NULL for any other
// object.
const Method* method_of(Handle function) noexcept;
// The module state a native function was made with (NULL for other objects).
void* state_of(Handle function) noexcept;

// Build the functions of one table into `ns` (a dict), in table order,
// after checking the table: `owner` is the class name.  Fails with
// ImportError when the table holds more than 64 methods (a method's slot is
// its bit in masks of methods), or naming the method when an entry is
// duplicated, a Method of `owner` is not in the table, or a signature does
// not match its implementation.
void build_namespace(Handle ns, const char* owner, std::initializer_list<Method*> table, PyObject* module,
                     PyObject* globals, void* state);

// The function object of a module-level function (a Method without a class
// part), defined in `module`.  Fails with ImportError when `def` is a method
// or its signature does not match its implementation.
Ref build_function(Method& def, PyObject* module, PyObject* globals, void* state);

// After every table and function was built: fails with ImportError naming a
// Method never built (a method whose class name is misspelt, a module
// function never defined).
void check_all_built();

// Ready the native types; called by the module's start-up.
void init_function_type();

}  // namespace py
