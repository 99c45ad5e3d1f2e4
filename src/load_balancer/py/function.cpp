#include "py/function.h"

#include <cstddef>
#include <cstring>
#include <map>
#include <string_view>

namespace py {

namespace {

std::string trim(std::string_view s) {
    size_t b = s.find_first_not_of(" \t\n");
    if (b == std::string_view::npos) return {};
    size_t e = s.find_last_not_of(" \t\n");
    return std::string(s.substr(b, e - b + 1));
}

std::map<std::string, FuncDef*, std::less<>>& registry() {
    static std::map<std::string, FuncDef*, std::less<>> r;
    return r;
}

}  // namespace

FuncDef::FuncDef(const char* qn, const char* signature, Impl fn, bool is_coroutine)
    : qualname(qn), impl(fn), coroutine(is_coroutine) {
    size_t dot = qualname.rfind('.');
    name = dot == std::string::npos ? qualname : qualname.substr(dot + 1);
    text_signature = std::string("(") + signature + ")";

    bool kwonly = false;
    std::string_view rest(signature);
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
        // Annotations are not kept ("name: type"): strip them.
        if (size_t colon = pname.find(':'); colon != std::string::npos) pname = trim(pname.substr(0, colon));
        params.push_back(Param{pname, has_default});
        if (!kwonly) {
            ++n_positional;
            if (!has_default) n_required = n_positional;
        }
    }
}

Registered::Registered(FuncDef& def) { registry()[def.qualname] = &def; }

FuncDef* find_registered(const char* qualname) {
    auto it = registry().find(qualname);
    return it == registry().end() ? nullptr : it->second;
}

FuncDef& registered(const char* qualname) {
    auto it = registry().find(qualname);
    if (it == registry().end()) raisef(PyExc_SystemError, "no native definition for %s", qualname);
    return *it->second;
}

// ---- argument binding -----------------------------------------------------

namespace {

[[noreturn]] void missing_error(FuncDef& def, const std::vector<int>& missing, bool kwonly) {
    std::string list;
    for (size_t i = 0; i < missing.size(); ++i) {
        if (i) list += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
        list += "'" + def.params[missing[i]].name + "'";
    }
    raisef(PyExc_TypeError, "%s() missing %d required %s argument%s: %s", def.qualname.c_str(),
           int(missing.size()), kwonly ? "keyword-only" : "positional", missing.size() == 1 ? "" : "s",
           list.c_str());
}

}  // namespace

void bind(FuncDef& def, PyObject* const* args, size_t nargsf, PyObject* kwnames, Args& out) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const int nparams = int(def.params.size());
    if (nargs > def.n_positional) {
        if (def.n_required == def.n_positional)
            raisef(PyExc_TypeError, "%s() takes %d positional argument%s but %zd %s given",
                   def.qualname.c_str(), def.n_positional, def.n_positional == 1 ? "" : "s", nargs,
                   nargs == 1 ? "was" : "were");
        raisef(PyExc_TypeError, "%s() takes from %d to %d positional arguments but %zd were given",
               def.qualname.c_str(), def.n_required, def.n_positional, nargs);
    }
    for (int i = 0; i < nparams; ++i) out.v[i] = i < nargs ? args[i] : nullptr;

    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            int found = -1;
            for (int i = 0; i < nparams && found < 0; ++i) {
                FuncDef::Param& p = def.params[i];
                if (!p.interned) p.interned = check(PyUnicode_InternFromString(p.name.c_str()));
                if (key == p.interned) found = i;
            }
            for (int i = 0; i < nparams && found < 0; ++i)
                if (PyUnicode_Check(key) && PyUnicode_Compare(key, def.params[i].interned) == 0) found = i;
            if (found < 0)
                raisef(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", def.qualname.c_str(),
                       key);
            if (out.v[found])
                raisef(PyExc_TypeError, "%s() got multiple values for argument '%s'", def.qualname.c_str(),
                       def.params[found].name.c_str());
            out.v[found] = args[nargs + k];
        }
    }

    std::vector<int> missing;
    for (int i = 0; i < def.n_positional; ++i)
        if (!out.v[i] && !def.params[i].has_default) missing.push_back(i);
    if (!missing.empty()) missing_error(def, missing, false);
    for (int i = def.n_positional; i < nparams; ++i)
        if (!out.v[i] && !def.params[i].has_default) missing.push_back(i);
    if (!missing.empty()) missing_error(def, missing, true);
}

// ---- the function object --------------------------------------------------

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    FuncDef* def;
    PyObject* globals;
    PyObject* module;
    PyObject* dict;
    PyObject* weakrefs;
};

PyTypeObject FunctionType;

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return guard<PyObject*>(nullptr, [&] {
        Args a;
        bind(*f->def, args, nargsf, kwnames, a);
        return f->def->impl(Call{Globals(f->globals), self}, a).release();
    });
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(f->globals);
    Py_VISIT(f->module);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->module);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return PyUnicode_FromFormat("<function %s at %p>", f->def->qualname.c_str(), self);
}

PyObject* get_name(PyObject* self, void*) {
    return PyUnicode_FromString(reinterpret_cast<FunctionObject*>(self)->def->name.c_str());
}
PyObject* get_qualname(PyObject* self, void*) {
    return PyUnicode_FromString(reinterpret_cast<FunctionObject*>(self)->def->qualname.c_str());
}
PyObject* get_doc(PyObject*, void*) { Py_RETURN_NONE; }

// The mark `inspect.markcoroutinefunction` sets, so that
// `inspect.iscoroutinefunction` recognises our coroutine functions.
PyObject* get_coroutine_marker(PyObject* self, void*) {
    if (!reinterpret_cast<FunctionObject*>(self)->def->coroutine) {
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
    return PyUnicode_FromString(reinterpret_cast<FunctionObject*>(self)->def->text_signature.c_str());
}
PyObject* get_module(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return Py_NewRef(f->module ? f->module : Py_None);
}
PyObject* get_globals(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return Py_NewRef(f->globals ? f->globals : Py_None);
}

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
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    t.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    t.tp_doc = "A function of the load_balancer module.";
    check_int(PyType_Ready(&t));
}

const FuncDef& definition(PyObject* function) {
    return *reinterpret_cast<FunctionObject*>(function)->def;
}

Ref make_function(FuncDef& def, PyObject* globals) {
    auto* f = PyObject_GC_New(FunctionObject, &FunctionType);
    check(f);
    f->vectorcall = function_vectorcall;
    f->def = &def;
    f->globals = Py_NewRef(globals);
    f->module = Py_XNewRef(PyDict_GetItemString(globals, "__name__"));
    f->dict = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace py
