#include "py/function.h"

#include <cstddef>
#include <cstring>
#include <string_view>

namespace py {

namespace {

std::string trim(std::string_view s) {
    size_t b = s.find_first_not_of(" \t\n");
    if (b == std::string_view::npos) return {};
    size_t e = s.find_last_not_of(" \t\n");
    return std::string(s.substr(b, e - b + 1));
}

[[noreturn]] void table_error(const char* fmt, const char* what) { raisef(PyExc_ImportError, fmt, what); }

}  // namespace

// ---- the descriptor ---------------------------------------------------------

const char* Method::name() const noexcept {
    const char* dot = std::strrchr(qualname_, '.');
    return dot ? dot + 1 : qualname_;
}

std::string Method::owner() const {
    const char* dot = std::strrchr(qualname_, '.');
    return dot ? std::string(qualname_, size_t(dot - qualname_)) : std::string();
}

void Method::prepare() {
    if (prepared_) return;
    bool kwonly = false;
    std::string_view rest(signature_);
    std::vector<Param> params;
    int n_positional = 0, n_required = 0;
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string item = trim(rest.substr(0, comma));
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
        if (item.empty()) continue;
        if (item == "*") {
            kwonly = true;
            continue;
        }
        size_t eq = item.find('=');
        bool has_default = eq != std::string::npos;
        std::string pname = trim(std::string_view(item).substr(0, eq));
        params.push_back(Param{pname, has_default, check(PyUnicode_InternFromString(pname.c_str()))});
        if (!kwonly) {
            ++n_positional;
            if (!has_default) n_required = n_positional;
        }
    }
    if (params.size() != arity_)
        raisef(PyExc_ImportError, "%s: the signature \"(%s)\" names %zu parameters, its implementation takes %zu",
               qualname_, signature_, params.size(), arity_);
    name_obj_ = check(PyUnicode_InternFromString(name()));
    params_ = std::move(params);
    n_positional_ = n_positional;
    n_required_ = n_required;
    text_signature_ = std::string("(") + signature_ + ")";
    prepared_ = true;
}

// ---- argument binding -----------------------------------------------------

namespace {

[[noreturn]] void missing_error(const Method& def, const std::vector<int>& missing, bool kwonly) {
    std::string list;
    for (size_t i = 0; i < missing.size(); ++i) {
        if (i) list += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
        list += "'" + def.params()[size_t(missing[i])].name + "'";
    }
    raisef(PyExc_TypeError, "%s() missing %d required %s argument%s: %s", def.qualname(), int(missing.size()),
           kwonly ? "keyword-only" : "positional", missing.size() == 1 ? "" : "s", list.c_str());
}

}  // namespace

namespace detail {

void bind(const Method& def, PyObject* const* args, size_t nargsf, PyObject* kwnames, PyObject** out, size_t n) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const auto& params = def.params();
    if (nargs > def.n_positional()) {
        if (def.n_required() == def.n_positional())
            raisef(PyExc_TypeError, "%s() takes %d positional argument%s but %zd %s given", def.qualname(),
                   def.n_positional(), def.n_positional() == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
        raisef(PyExc_TypeError, "%s() takes from %d to %d positional arguments but %zd were given", def.qualname(),
               def.n_required(), def.n_positional(), nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];

    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            size_t found = n;
            for (size_t i = 0; i < n && found == n; ++i)
                if (key == params[i].interned) found = i;
            for (size_t i = 0; i < n && found == n; ++i)
                if (PyUnicode_Check(key) && PyUnicode_Compare(key, params[i].interned) == 0) found = i;
            if (found == n)
                raisef(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", def.qualname(), key);
            if (out[found])
                raisef(PyExc_TypeError, "%s() got multiple values for argument '%s'", def.qualname(),
                       params[found].name.c_str());
            out[found] = args[nargs + k];
        }
    }

    if (size_t(nargs) == n) return;  // every parameter given positionally
    std::vector<int> missing;
    for (int i = 0; i < def.n_positional(); ++i)
        if (!out[i] && !params[size_t(i)].has_default) missing.push_back(i);
    if (!missing.empty()) missing_error(def, missing, false);
    for (size_t i = size_t(def.n_positional()); i < n; ++i)
        if (!out[i] && !params[i].has_default) missing.push_back(int(i));
    if (!missing.empty()) missing_error(def, missing, true);
}

}  // namespace detail

// ---- the function object --------------------------------------------------

namespace {

using detail::FunctionObject;

PyTypeObject FunctionType;

FunctionObject* as_function(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(f->globals);
    Py_VISIT(f->module);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->module);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    FunctionObject* f = as_function(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %s at %p>", as_function(self)->def->qualname(), self);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->def->name_object()); }
PyObject* get_qualname(PyObject* self, void*) { return PyUnicode_FromString(as_function(self)->def->qualname()); }
PyObject* get_doc(PyObject*, void*) { Py_RETURN_NONE; }

// The mark `inspect.markcoroutinefunction` sets, so that
// `inspect.iscoroutinefunction` recognises our coroutine functions.
PyObject* get_coroutine_marker(PyObject* self, void*) {
    if (!as_function(self)->def->coroutine()) {
        PyErr_SetString(PyExc_AttributeError, "_is_coroutine_marker");
        return nullptr;
    }
    PyObject* inspect = PyImport_ImportModule("inspect");
    if (!inspect) return nullptr;
    PyObject* mark = PyObject_GetAttrString(inspect, "_is_coroutine_mark");
    Py_DECREF(inspect);
    return mark;
}
PyObject* get_text_signature(PyObject* self, void*) {
    return PyUnicode_FromString(as_function(self)->def->text_signature().c_str());
}
PyObject* get_module(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (!f->globals) Py_RETURN_NONE;
    PyObject* name = nullptr;
    if (PyDict_GetItemStringRef(f->globals, "__name__", &name) < 0) return nullptr;
    return name ? name : Py_NewRef(Py_None);
}
PyObject* get_globals(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    return Py_NewRef(f->globals ? f->globals : Py_None);
}

// Functions pickle (and copy) by reference, as Python functions do: the
// qualified name, looked up in the module named by __module__.
PyObject* function_reduce(PyObject* self, PyObject*) { return get_qualname(self, nullptr); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"_is_coroutine_marker", get_coroutine_marker, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void init_function_type() {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) return;
    PyTypeObject& t = FunctionType;
    t.tp_name = "load_balancer.native_function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR |
                 Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_call = PyVectorcall_Call;
    t.tp_descr_get = function_descr_get;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_dealloc = function_dealloc;
    t.tp_repr = function_repr;
    t.tp_getset = function_getset;
    t.tp_methods = function_methods;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    t.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    t.tp_doc = "A function of the load_balancer module.";
    check_int(PyType_Ready(&t));
}

const Method* method_of(Handle function) noexcept {
    if (Py_TYPE(function.get()) != &FunctionType) return nullptr;
    return as_function(function)->def;
}

void* state_of(Handle function) noexcept {
    if (Py_TYPE(function.get()) != &FunctionType) return nullptr;
    return as_function(function)->state;
}

namespace {

// A function object for `def` (prepared), defined in `module`: its namespace
// is the function's globals; `state` is handed to the implementation.
Ref make_function(Method& def, PyObject* module, PyObject* globals, void* state) {
    auto* f = PyObject_GC_New(FunctionObject, &FunctionType);
    check(f);
    f->vectorcall = def.entry();
    f->def = &def;
    f->globals = Py_NewRef(globals);
    f->module = Py_NewRef(module);
    f->state = state;
    f->dict = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace

void build_namespace(Handle ns, const char* owner, std::initializer_list<Method*> table, PyObject* module,
                     PyObject* globals, void* state) {
    // A method's slot is its bit in 64-bit masks of methods.
    if (table.size() > 64)
        raisef(PyExc_ImportError, "the table of %s holds %zu methods; at most 64 fit a method mask", owner,
               table.size());
    int slot = 0;
    for (Method* m : table) {
        if (m->owner() != owner) table_error("%s is listed in another class's table", m->qualname());
        m->prepare();
        if (check_int(PyDict_Contains(ns, m->name_object())))
            table_error("%s is listed twice in its table", m->qualname());
        check_int(PyDict_SetItem(ns, m->name_object(), make_function(*m, module, globals, state).get()));
        m->built_ = true;
        m->slot_ = slot++;
        m->table_ = *table.begin();
    }
    for (const Method* m = Method::first(); m; m = m->next()) {
        if (m->owner() != owner) continue;
        bool listed = false;
        for (const Method* t : table) listed = listed || t == m;
        if (!listed) table_error("%s is defined but missing from its table", m->qualname());
    }
}

Ref build_function(Method& def, PyObject* module, PyObject* globals, void* state) {
    if (!def.owner().empty()) table_error("%s is a method, not a module function", def.qualname());
    def.prepare();
    Ref f = make_function(def, module, globals, state);
    def.built_ = true;
    return f;
}

void check_all_built() {
    for (const Method* m = Method::first(); m; m = m->next()) {
        if (m->built_) continue;
        if (m->owner().empty()) table_error("%s is a module function the module never defines", m->qualname());
        table_error("%s is defined but no table holds it", m->qualname());
    }
}

}  // namespace py
