// Where the call layer sends each call (methods.h).
#include "balancer/methods.h"

namespace lb {

namespace {

// Whether `self`'s own dict holds `name` (an instance-level override).
// Errors count as holding it: the by-name path then reports them.
bool instance_has(py::Handle self, py::Handle name) noexcept {
    PyObject** dp = _PyObject_GetDictPtr(self);
    if (!dp || !*dp) return self.type()->tp_flags & Py_TPFLAGS_MANAGED_DICT;  // no dict: nothing, or unknown
    PyObject* v = PyDict_GetItemWithError(*dp, name);
    if (v) return true;
    if (!PyErr_Occurred()) return false;
    PyErr_Clear();
    return true;
}

// Where `self.<m>` resolves through `type`: the module owning the native
// implementation, or NULL.
const Module* owner_through(PyTypeObject* type, const py::Method& m) {
    if (type->tp_getattro != PyObject_GenericGetAttr) return nullptr;
    PyObject* d = _PyType_Lookup(type, m.name_object());
    if (!d || py::method_of(d) != &m) return nullptr;
    return static_cast<const Module*>(py::state_of(d));
}

// The first entry of a class body, which tells the tables apart.
const py::Method* first_of(std::initializer_list<py::Method*> body) { return *body.begin(); }

}  // namespace

const Module* resolve(const py::Call& c, py::Handle self, const py::Method& m) {
    Module& mod = module_of(c);
    const fast::Facts& f = fast::facts(mod.fast);
    PyObject* type = reinterpret_cast<PyObject*>(self.type());
    const Module* owner;
    uint64_t bit = uint64_t(1) << m.slot();
    if (f.valid && type == mod.lb_type.get() && m.table() == first_of(kLoadBalancerBody))
        owner = f.lb_own & bit ? &mod : nullptr;
    else if (f.valid && type == mod.waiter_type.get() && m.table() == first_of(kWaiterBody))
        owner = f.waiter_own & bit ? &mod : nullptr;
    else if (f.valid && type == mod.lease_type.get() && m.table() == first_of(kLeaseBody))
        owner = f.lease_own & bit ? &mod : nullptr;
    else
        owner = owner_through(self.type(), m);
    if (!owner) return nullptr;
    // An instance made by the module tells its overrides at once.
    if (owner == &mod && m.table() == first_of(kLoadBalancerBody))
        if (const fast::View* v = fast::view_of(mod, self)) return v->overridden & bit ? nullptr : owner;
    if (instance_has(self, m.name_object())) return nullptr;
    return owner;
}

}  // namespace lb
