// The watchers, the facts they keep current, and the Views of the
// instances (fastpath.h).
#include <algorithm>
#include <iterator>
#include <unordered_set>

#include "balancer/methods.h"
#include "knobs.h"

// Exported by the interpreter, but declared only among its internal
// headers on 3.13: a walk over a set that allocates nothing.
extern "C" int _PySet_NextEntry(PyObject* set, Py_ssize_t* pos, PyObject** key, Py_hash_t* hash);

namespace lb::fast {

namespace {

// Watcher ids, registered once per process: -2 not yet, -1 unavailable.
int dict_watcher = -2;
int type_watcher = -2;
int instance_watcher = -2;
int table_watcher = -2;

// The adopted instance dicts that are alive.
std::unordered_set<PyObject*> adopted_dicts;

// Callbacks run before the change lands: they only count it (and forget a
// dict that goes away).  None of them calls into Python or allocates.
int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++epoch;
    return 0;
}
int on_type_event(PyTypeObject*) {
    ++epoch;
    return 0;
}
int on_instance_event(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*) {
    ++instance_epoch;
    if (event == PyDict_EVENT_DEALLOCATED) adopted_dicts.erase(dict);
    return 0;
}
// A table of an instance: only a key that is not plain (or keys not seen
// one by one) matter, and make the View be read again.  A dict stored in a
// table (a pool's round-robin weights) is a table too, watched from now on.
int on_table_event(PyDict_WatchEvent event, PyObject*, PyObject* key, PyObject* value) {
    if ((event == PyDict_EVENT_ADDED && !plain_key(key)) || event == PyDict_EVENT_CLONED) ++instance_epoch;
    if ((event == PyDict_EVENT_ADDED || event == PyDict_EVENT_MODIFIED) && value && PyDict_CheckExact(value))
        PyDict_Watch(table_watcher, value);  // sets a bit of the dict: allocates nothing, runs no code
    return 0;
}

bool watching() { return dict_watcher >= 0 && type_watcher >= 0; }

int add_dict_watcher(PyDict_WatchCallback cb) {
    int id = PyDict_AddWatcher(cb);
    if (id < 0) PyErr_Clear();
    return id;
}

// A global of the module's namespace, borrowed (NULL when absent).
PyObject* global(const Module& m, const py::Name& name) {
    PyObject* v = PyDict_GetItemWithError(m.dict, name);
    if (!v) PyErr_Clear();
    return v;
}

// An attribute of a module object, read from its namespace (borrowed).
PyObject* module_attr(PyObject* module, const char* name) {
    if (!module || !PyModule_Check(module)) return nullptr;
    PyObject* v = PyDict_GetItemString(PyModule_GetDict(module), name);
    return v;
}

// A bit per method of `methods` (the body of the class `type`): the method
// resolves to `m`'s own implementation through the class.
uint64_t own_methods(PyObject* type, const Module& m, std::initializer_list<py::Method*> methods) {
    if (!type || !PyType_Check(type)) return 0;
    auto* t = reinterpret_cast<PyTypeObject*>(type);
    // A class that cannot hold a version tag cannot be watched: every call
    // then looks its method up by itself.  The tag is asked for first, so
    // that a later change (back to generic attribute access too) is seen.
    if (!PyUnstable_Type_AssignVersionTag(t) || t->tp_getattro != PyObject_GenericGetAttr) return 0;
    uint64_t bits = 0;
    for (const py::Method* method : methods) {
        PyObject* d = _PyType_Lookup(t, method->name_object());
        if (d && py::method_of(d) == method && py::state_of(d) == &m) bits |= uint64_t(1) << method->slot();
    }
    return bits;
}

// `v` when it is an exact str, else NULL.
py::Ref exact_str(PyObject* v) { return v && PyUnicode_CheckExact(v) ? py::Ref::borrow(v) : py::Ref(); }

// Whether every member of the set `s` passes `test` (a walk that allocates
// nothing and runs no code).
template <class Test>
bool all_members(PyObject* s, Test&& test) noexcept {
    Py_ssize_t pos = 0;
    PyObject* item;
    Py_hash_t hash;
    while (_PySet_NextEntry(s, &pos, &item, &hash))
        if (!test(item)) return false;
    return true;
}

// `v` when it is an exact set or frozenset of exact strs, else NULL.
py::Ref set_of_strs(PyObject* v) {
    if (!v || (!PyFrozenSet_CheckExact(v) && !PySet_CheckExact(v))) return {};
    if (!all_members(v, [](PyObject* item) { return PyUnicode_CheckExact(item); })) return {};
    return py::Ref::borrow(v);
}

// A key that is not a container.
bool atom(PyObject* o) noexcept {
    return o == Py_None || PyBool_Check(o) || PyLong_CheckExact(o) || PyUnicode_CheckExact(o) ||
           PyFloat_CheckExact(o);
}

bool plain_frozenset(PyObject* s) noexcept { return all_members(s, atom); }

}  // namespace

bool plain_key(PyObject* key) noexcept {
    if (atom(key)) return true;
    if (PyFrozenSet_CheckExact(key)) return plain_frozenset(key);
    if (!PyTuple_CheckExact(key)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(key); ++i) {
        PyObject* part = PyTuple_GET_ITEM(key, i);
        if (atom(part)) continue;
        if (!PyFrozenSet_CheckExact(part) || !plain_frozenset(part)) return false;
    }
    return true;
}

bool plain_members(PyObject* set) noexcept { return all_members(set, plain_key); }

const py::Name* const kAttrNames[kAttrCount] = {
    &names::inflight,          &names::_wrr,          &names::_locks,
    &names::_pool_last_access, &names::_waiters,      &names::_all_waiters,
    &names::dispatch_counts,   &names::last_dispatch_ts, &names::reject_counts,
    &names::queue_wait_samples, &names::_routing_mode, &names::_pool_dispatch_windows,
    &names::_pool_hot_state,   &names::held_slots,       &names::limits,
};

int Facts::traverse(visitproc visit, void* arg) const {
    return py::visit_all(visit, arg, mode_max_concurrency, mode_queue_all, mode_superfast, mode_hybrid, algo_sticky,
                         algo_least_conn, algo_default, algo_valid, deque_type);
}

void Facts::clear() {
    py::clear_all(mode_max_concurrency, mode_queue_all, mode_superfast, mode_hybrid, algo_sticky, algo_least_conn,
                  algo_default, algo_valid, deque_type);
}

int State::traverse(visitproc visit, void* arg) const {
    if (int r = facts.traverse(visit, arg)) return r;
    return py::visit_all(visit, arg, plain_key);
}

void State::clear() {
    facts.clear();
    py::clear_all(plain_key);
}

void watch(Module& m) {
    m.fast.owner = &m;
    if (dict_watcher == -2) dict_watcher = add_dict_watcher(on_dict_event);
    if (instance_watcher == -2) instance_watcher = add_dict_watcher(on_instance_event);
    if (table_watcher == -2) table_watcher = add_dict_watcher(on_table_event);
    if (type_watcher == -2) {
        type_watcher = PyType_AddWatcher(on_type_event);
        if (type_watcher < 0) PyErr_Clear();
    }
    if (!watching()) return;
    for (PyObject* d : {m.dict, PyModule_GetDict(m.time_module), PyModule_GetDict(m.asyncio_module)})
        if (PyDict_Watch(dict_watcher, d) < 0) PyErr_Clear();
    for (PyObject* t : {m.lb_type.get(), m.waiter_type.get(), m.lease_type.get(), m.lock_type.get()})
        if (PyType_Watch(type_watcher, t) < 0) PyErr_Clear();
    ++epoch;  // read the facts at the next call
}

const Facts& revalidate(State& s) {
    Facts& f = s.facts;
    f = Facts{};
    s.facts_epoch = epoch;
    Module* mp = s.owner;
    if (!watching() || !mp || !mp->dict) return f;
    Module& m = *mp;

    f.lb_own = own_methods(m.lb_type, m, kLoadBalancerBody);
    f.waiter_own = own_methods(m.waiter_type, m, kWaiterBody);
    f.lease_own = own_methods(m.lease_type, m, kLeaseBody);

    auto* lbt = reinterpret_cast<PyTypeObject*>(m.lb_type.get());
    f.lb_plain = PyUnstable_Type_AssignVersionTag(lbt) && lbt->tp_getattro == PyObject_GenericGetAttr &&
                 lbt->tp_setattro == PyObject_GenericSetAttr;
    for (const py::Name* a : kAttrNames) f.lb_plain = f.lb_plain && !_PyType_Lookup(lbt, *a);

    auto* wt = reinterpret_cast<PyTypeObject*>(m.waiter_type.get());
    f.waiter_plain = global(m, names::_Waiter) == m.waiter_type.get() && PyUnstable_Type_AssignVersionTag(wt) &&
                     _PyType_Lookup(wt, names::dunder_init) == m.waiter_init.get() &&
                     wt->tp_setattro == PyObject_GenericSetAttr && wt->tp_new == PyBaseObject_Type.tp_new &&
                     wt->tp_alloc == PyType_GenericAlloc;

    PyObject* time_mod = global(m, names::time);
    f.native_clock = time_mod == m.time_module.get() && module_attr(time_mod, "monotonic") == m.time_monotonic.get() &&
                     module_attr(time_mod, "time") == m.time_time.get();

    PyObject* aio = global(m, names::asyncio);
    bool own_asyncio = aio == m.asyncio_module.get();
    f.native_asyncio = own_asyncio && module_attr(aio, "get_running_loop") == m.get_running_loop.get() &&
                       module_attr(aio, "current_task") == m.current_task.get() &&
                       module_attr(aio, "wait_for") == m.wait_for.get();
    auto* lt = reinterpret_cast<PyTypeObject*>(m.lock_type.get());
    f.native_lock = own_asyncio && module_attr(aio, "Lock") == m.lock_type.get() &&
                    PyUnstable_Type_AssignVersionTag(lt) && lt->tp_getattro == PyObject_GenericGetAttr &&
                    _PyType_Lookup(lt, names::acquire) == m.lock_acquire.get() &&
                    _PyType_Lookup(lt, names::release) == m.lock_release.get() &&
                    _PyType_Lookup(lt, names::_wake_up_first) == m.lock_wake_up_first.get() &&
                    _PyType_Lookup(lt, names::dunder_aenter) == m.lock_aenter.get() &&
                    _PyType_Lookup(lt, names::dunder_aexit) == m.lock_aexit.get();

    auto knob = [&](const py::Name& name, py::Num& out) {
        PyObject* v = global(m, name);
        return v && py::num(v, out);
    };
    f.knobs = knob(names::SUPERFAST_PER_SERVER_CAP, f.superfast_cap) &&
              knob(names::HYBRID_INFLIGHT_THRESHOLD, f.hybrid_inflight) &&
              knob(names::HYBRID_RATE_THRESHOLD, f.hybrid_rate) && knob(names::HYBRID_RATE_WINDOW_SEC, f.hybrid_window) &&
              knob(names::HYBRID_HOT_EXIT_RATIO, f.hybrid_exit_ratio) && knob(names::QUEUE_TTL_SEC, f.queue_ttl) &&
              knob(names::QUEUE_ALL_TTL_SEC, f.queue_all_ttl) &&
              knob(names::QUEUE_MAX_DEPTH_MULTIPLIER, f.queue_depth) &&
              knob(names::QUEUE_ALL_DEPTH_MULTIPLIER, f.queue_all_depth) &&
              knob(names::QUEUE_DEADLINE_BOOST_SEC, f.queue_boost);
    PyObject* enabled = global(m, names::QUEUE_ENABLED);
    long long ev;
    if (enabled && PyBool_Check(enabled))
        f.queue_enabled = enabled == Py_True;
    else if (enabled && py::small_int(enabled, ev))
        f.queue_enabled = ev != 0;

    f.mode_max_concurrency = exact_str(global(m, names::ROUTING_MODE_MAX_CONCURRENCY));
    f.mode_queue_all = exact_str(global(m, names::ROUTING_MODE_QUEUE_ALL));
    f.mode_superfast = exact_str(global(m, names::ROUTING_MODE_SUPERFAST));
    f.mode_hybrid = exact_str(global(m, names::ROUTING_MODE_HYBRID));
    f.algo_sticky = exact_str(global(m, names::LB_ALGO_STICKY));
    f.algo_least_conn = exact_str(global(m, names::LB_ALGO_LEAST_CONN));
    f.algo_default = exact_str(global(m, names::DEFAULT_LB_ALGORITHM));
    f.algo_valid = set_of_strs(global(m, names::VALID_LB_ALGORITHMS));
    PyObject* normalizer = global(m, names::normalize_lb_algorithm);
    f.own_normalizer = normalizer && py::method_of(normalizer) == &functions::def::normalize_lb_algorithm &&
                       py::state_of(normalizer) == &m;
    if (PyObject* d = global(m, names::deque)) f.deque_type = py::Ref::borrow(d);

    f.valid = true;
    return f;
}

void adopt(Module& m, py::Handle self) {
    // Only instances of the module's own class are read through Views.
    if (instance_watcher < 0 || table_watcher < 0 || reinterpret_cast<PyObject*>(self.type()) != m.lb_type.get())
        return;
    PyObject** dp = _PyObject_GetDictPtr(self);
    if (!dp || !*dp) return PyErr_Clear();
    // A new dict filled from the old one is combined, not split: it shares
    // nothing with the object's inline storage or the class's keys.
    py::Ref own = py::new_dict();
    py::check_int(PyDict_Update(own, *dp));
    // Through the class's __dict__ descriptor, which also retires the
    // inline storage (setting the dict pointer alone would not).
    py::setattr(self, names::dunder_dict, own);
    py::check_int(PyDict_Watch(instance_watcher, own));
    adopted_dicts.insert(own.get());
}

namespace {

// Whether `dict` is one adopted by `adopt` (and still alive).
bool adopted(PyObject* dict) noexcept { return adopted_dicts.count(dict) != 0; }

// Whether exact strs `a` and `b` are equal, natively.
bool same_str(PyObject* a, PyObject* b) {
    return a == b || (PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) && PyUnicode_Compare(a, b) == 0);
}

// The attribute the exact str `key` names, kAttrCount when none.  `hint`
// is the one expected: the dict keeps constructor order.
int attr_named(PyObject* key, int hint) {
    if (hint < kAttrCount && key == kAttrNames[hint]->get()) return hint;
    for (int a = 0; a < kAttrCount; ++a)
        if (same_str(key, *kAttrNames[a])) return a;
    return kAttrCount;
}

// The bit of the LoadBalancer method the exact str `key` names, 0 when none.
uint64_t method_named(PyObject* key) {
    for (const py::Method* method : kLoadBalancerBody)
        if (same_str(key, method->name_object())) return uint64_t(1) << method->slot();
    return 0;
}

// Whether every key of the exact dict `table` is plain, and of every exact
// dict stored in it (a pool's round-robin weights); they are watched from
// now on for keys that are not.
bool plain_table(PyObject* table, int depth = 0) {
    if (PyDict_Watch(table_watcher, table) < 0) return PyErr_Clear(), false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    bool plain = true;
    while (PyDict_Next(table, &pos, &key, &value)) {
        if (!plain_key(key)) plain = false;
        if (depth == 0 && PyDict_CheckExact(value) && !plain_table(value, 1)) plain = false;
    }
    return plain;
}

// The View of the adopted instance dict `dict`, read again if it changed.
const View* view(Module& m, PyObject* dict) noexcept {
    View& v = m.fast.view;
    if (!dict) return nullptr;
    if (v.dict == dict && v.epoch == instance_epoch) return &v;
    if (!adopted(dict)) return nullptr;
    // Read the whole instance once; it stays valid until its dict changes.
    // What is read is borrowed, so no Python code may run meanwhile: every
    // key must be an exact str (compared natively), and one walk of the dict
    // finds the attributes and any instance-level method override.  A dict
    // with any other key has no View.
    const uint64_t start = instance_epoch;
    v.dict = nullptr;
    v.overridden = 0;
    v.plain_tables = false;
    std::fill(std::begin(v.attrs), std::end(v.attrs), nullptr);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    int hint = 0;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return nullptr;
        int a = attr_named(key, hint);
        if (a < kAttrCount) {
            v.attrs[a] = value;
            hint = a + 1;
        } else {
            v.overridden |= method_named(key);
        }
    }
    // The tables looked up by server id or pool key.
    bool plain = true;
    for (Attr a : {kInflight, kWrr, kLocks, kPoolLastAccess, kWaiters, kDispatchCounts, kLastDispatchTs,
                   kRejectCounts, kPoolDispatchWindows, kPoolHotState, kHeldSlots, kLimits})
        if (PyObject* t = v.attrs[a]; t && PyDict_CheckExact(t)) plain = plain_table(t) && plain;
    if (instance_epoch != start) return nullptr;  // a guard: nothing above runs code
    v.plain_tables = plain;
    v.dict = dict;
    v.epoch = start;
    return &v;
}

}  // namespace

const View* view_of(Module& m, py::Handle self) noexcept {
    const Facts& f = facts(m.fast);
    if (!f.valid || !f.lb_plain || reinterpret_cast<PyObject*>(self.type()) != m.lb_type.get()) return nullptr;
    PyObject** dp = _PyObject_GetDictPtr(self);
    return dp ? view(m, *dp) : nullptr;
}


namespace {

py::Ref from_clock(int (*clock)(PyTime_t*)) {
    PyTime_t t;
    py::check_int(clock(&t));
    return py::new_float(PyTime_AsSecondsDouble(t));
}

}  // namespace

py::Ref monotonic(Module& m) {
    if (facts(m.fast).native_clock) return from_clock(PyTime_Monotonic);
    return py::call_method(py::Globals(m.dict).get(names::time), names::monotonic);
}

py::Ref wall_clock(Module& m) {
    if (facts(m.fast).native_clock) return from_clock(PyTime_Time);
    return py::call_method(py::Globals(m.dict).get(names::time), names::time_fn);
}

}  // namespace lb::fast
