// Module start-up: the module definition and the import sequence.
//
// The module has no method table: its execution slot builds the namespace
// step by step, each step reading the names it needs from the namespace
// built so far, exactly as a module body would.
#include "balancer/methods.h"
#include "knobs.h"
#include "lifecycle/lifecycle.h"
#include "py/coroutine.h"

namespace lb {

namespace {

const char kModuleDoc[] =
    "In-process load-balancer state for the /v1/* inference proxy.\n"
    "\n"
    "Tracks per-backend in-flight request counts, per-pool smooth weighted\n"
    "round-robin weights, per-backend queues of parked requests (opt-in; without\n"
    "the queue the proxy answers 503 with Retry-After when every backend is\n"
    "full) and per-pool last-access times used to evict idle pool state.\n"
    "\n"
    "The state is local to one process: run one worker process.\n";

const char kWaiterDoc[] = "One queued request, parked across an eligible candidate set.";
const char kLoadBalancerDoc[] = "Stateful per-pool scheduler with SWRR + inflight + queue.";

// _native_decisions(): how many decisions of each kind the native path has
// computed since the module was imported (a diagnostic for tests and
// benchmarks: which path a call took is not otherwise observable).
py::Ref native_decisions(const py::Call& c) {
    const Module::NativeCounts& n = module_of(c).native_counts;
    py::Ref out = py::new_dict();
    for (auto [key, v] : {std::pair{"select", n.select}, std::pair{"wait_for_slot", n.wait_for_slot},
                          std::pair{"snapshot", n.snapshot}, std::pair{"count", n.count}})
        py::check_int(PyDict_SetItemString(out, key, py::new_int(static_cast<long long>(v))));
    return out;
}
py::Method native_decisions_def{py::fn<native_decisions>, "_native_decisions", ""};

// ---- the class tables, in definition order (module functions: at their steps)

namespace lbm = LoadBalancer::def;
namespace lease = InflightLease::def;
namespace fns = functions::def;

}  // namespace

const std::initializer_list<py::Method*> kWaiterBody = {&Waiter::def::is_boosted};

const std::initializer_list<py::Method*> kLoadBalancerBody = {
    &lbm::init,
    &lbm::set_routing_mode,
    &lbm::get_routing_mode,
    &lbm::queue_enabled,
    &lbm::queue_ttl_sec,
    &lbm::queue_depth_multiplier,
    &lbm::_superfast_cap,
    &lbm::_hybrid_hot,
    &lbm::_effective_cap_for,
    &lbm::effective_cap_for,
    &lbm::_pool_inflight,
    &lbm::_recent_dispatch_rate,
    &lbm::increment,
    &lbm::decrement,
    &lbm::get_inflight,
    &lbm::force_clear,
    &lbm::_lock_for,
    &lbm::_evict_stale_pools,
    &lbm::_under_capacity,
    &lbm::select,
    &lbm::_wrr_pick,
    &lbm::_least_connections_pick,
    &lbm::_sticky_lookup,
    &lbm::_record_dispatch,
    &lbm::filter_by_fit,
    &lbm::_queue_capacity_for_pool,
    &lbm::wait_for_slot,
    &lbm::_try_admit,
    &lbm::_wake_one,
    &lbm::_fulfill,
    &lbm::_remove_waiter,
    &lbm::note_reject,
    &lbm::_bump_reject,
    &lbm::snapshot,
    &lbm::prometheus_text,
    // Beyond the balancer's own body: limits a caller sets on backends.
    &lbm::set_limit,
    &lbm::clear_limit,
};

const std::initializer_list<py::Method*> kLeaseBody = {
    &lease::init, &lease::enter, &lease::exit, &lease::aenter, &lease::aexit, &lease::release,
};

namespace {

class Body {
public:
    Body(PyObject* module, Module& state) : module_(module), g_(PyModule_GetDict(module)), state_(state) {}

    py::Ref get(const char* name) const {
        PyObject* v = nullptr;
        if (py::check_int(PyDict_GetItemStringRef(g_, name, &v)) == 0) {
            py::Ref n = py::new_str(name);
            py::Globals::name_error(n.get());
        }
        return py::Ref::steal(v);
    }
    bool has(const char* name) const {
        PyObject* v = nullptr;
        bool found = py::check_int(PyDict_GetItemStringRef(g_, name, &v)) != 0;
        Py_XDECREF(v);
        return found;
    }
    void set(const char* name, PyObject* value) { py::check_int(PyDict_SetItemString(g_, name, value)); }
    void set(const char* name, const py::Ref& value) { set(name, value.get()); }

    void import(const char* module) { set(module, py::Ref::steal(PyImport_ImportModule(module))); }

    // from module import a, b, ...
    void import_from(const char* module, std::initializer_list<const char*> names) {
        py::Ref m = py::Ref::steal(PyImport_ImportModule(module));
        for (const char* n : names) set(n, py::Ref::steal(PyObject_GetAttrString(m.get(), n)));
    }

    // def name(...): a module-level function, defined at its step.
    void def(py::Method& m) {
        py::Ref fn = py::build_function(m, module_, g_, &state_);
        if (has(m.name())) py::raisef(PyExc_ImportError, "%s is defined twice", m.qualname());
        set(m.name(), fn);
    }

    // NAME = reader(env_var, default)
    void knob(const char* name, const char* reader, const char* env_var, PyObject* dflt) {
        py::Ref fn = get(reader);
        py::Ref var = py::new_str(env_var);
        set(name, py::call(fn.get(), var.get(), dflt));
    }
    void knob(const char* name, const char* reader, const char* env_var, const py::Ref& dflt) {
        knob(name, reader, env_var, dflt.get());
    }

    // A class namespace with the functions of its table (if any).
    py::Ref class_namespace(const char* qualname, const char* doc, std::initializer_list<py::Method*> table = {}) {
        py::Ref ns = py::new_dict();
        py::check_int(PyDict_SetItemString(ns.get(), "__module__", get("__name__").get()));
        py::Ref qn = py::new_str(qualname);
        py::check_int(PyDict_SetItemString(ns.get(), "__qualname__", qn.get()));
        if (doc) {
            py::Ref d = py::new_str(doc);
            py::check_int(PyDict_SetItemString(ns.get(), "__doc__", d.get()));
        }
        py::build_namespace(ns, qualname, table, module_, g_, &state_);
        return ns;
    }

    // type(name, (object,), ns)
    static py::Ref make_class(const char* name, PyObject* ns) {
        return py::Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O", name,
                                                    reinterpret_cast<PyObject*>(&PyBaseObject_Type), ns));
    }

private:
    PyObject* module_;
    PyObject* g_;
    Module& state_;
};

// typing_obj[args...]
py::Ref subscript(const py::Ref& generic, std::initializer_list<PyObject*> args) {
    if (args.size() == 1) return py::Ref::steal(PyObject_GetItem(generic.get(), *args.begin()));
    py::Ref t = py::Ref::steal(PyTuple_New(Py_ssize_t(args.size())));
    Py_ssize_t i = 0;
    for (PyObject* a : args) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(a));
    return py::Ref::steal(PyObject_GetItem(generic.get(), t.get()));
}

py::Ref frozenset_of(std::initializer_list<PyObject*> items) {
    py::Ref s = py::Ref::steal(PyFrozenSet_New(nullptr));
    for (PyObject* i : items) py::check_int(PySet_Add(s.get(), i));
    return s;
}

// The objects the module keeps for its own calls.
void fill_state(PyObject* module, Module& m) {
    m.module = module;
    m.dict = PyModule_GetDict(module);
    m.kw_pool_key = py::kwnames({&names::pool_key});
    m.kw_maxlen = py::kwnames({&names::maxlen});
    m.kw_timeout = py::kwnames({&names::timeout});
    m.kw_waiter_fields = py::kwnames({&names::pool_key, &names::candidates, &names::estimated_tokens, &names::future,
                                      &names::queued_at, &names::boost_after_sec});
    py::Ref builtins = py::Ref::steal(PyImport_ImportModule("builtins"));
    m.builtin_sum = py::Ref::steal(PyObject_GetAttrString(builtins, "sum"));
    m.builtin_round = py::Ref::steal(PyObject_GetAttrString(builtins, "round"));
    m.empty_ids = py::Ref::steal(PyFrozenSet_New(nullptr));
    m.zero_float = py::new_float(0.0);
    m.empty_str = py::new_str("");
    m.label_cache = py::new_dict();
}

void run_body(PyObject* module, Module& state) {
    py::Name::intern_all();
    py::init_function_type();
    py::init_coroutine_type();
    fill_state(module, state);
    Body b(module, state);
    PyObject* str_t = reinterpret_cast<PyObject*>(&PyUnicode_Type);
    PyObject* int_t = reinterpret_cast<PyObject*>(&PyLong_Type);
    PyObject* float_t = reinterpret_cast<PyObject*>(&PyFloat_Type);

    // The builtins every module body sees (dataclass code is compiled here).
    if (!b.has("__builtins__")) b.set("__builtins__", py::Ref::steal(PyEval_GetFrameBuiltins()));

    // 1. docstring
    b.set("__doc__", py::new_str(kModuleDoc));

    // 2. imports
    b.import("asyncio");
    b.import("logging");
    b.import("os");
    b.import("time");
    b.import_from("collections", {"deque"});
    b.import_from("dataclasses", {"dataclass", "field"});
    b.import_from("typing",
                  {"Any", "Awaitable", "Callable", "Deque", "Dict", "FrozenSet", "List", "Optional", "Tuple"});

    // What the fast path compares against: the originals, as imported.
    state.time_module = b.get("time");
    state.time_monotonic = py::Ref::steal(PyObject_GetAttrString(state.time_module, "monotonic"));
    state.time_time = py::Ref::steal(PyObject_GetAttrString(state.time_module, "time"));
    state.asyncio_module = b.get("asyncio");
    state.deque_class = b.get("deque");
    state.deque_append = py::Ref::steal(PyObject_GetAttrString(state.deque_class, "append"));
    state.deque_popleft = py::Ref::steal(PyObject_GetAttrString(state.deque_class, "popleft"));
    for (auto [ref, name] : {std::pair{&state.get_running_loop, "get_running_loop"},
                             std::pair{&state.current_task, "current_task"}, std::pair{&state.wait_for, "wait_for"},
                             std::pair{&state.lock_type, "Lock"}})
        *ref = py::Ref::steal(PyObject_GetAttrString(state.asyncio_module, name));
    {
        auto* lock = reinterpret_cast<PyTypeObject*>(state.lock_type.get());
        for (auto [ref, name] : {std::pair{&state.lock_acquire, &names::acquire},
                                 std::pair{&state.lock_release, &names::release},
                                 std::pair{&state.lock_wake_up_first, &names::_wake_up_first},
                                 std::pair{&state.lock_aenter, &names::dunder_aenter},
                                 std::pair{&state.lock_aexit, &names::dunder_aexit}})
            *ref = py::Ref::borrow(_PyType_Lookup(lock, *name));
    }

    // 3. logger = logging.getLogger(__name__)
    b.set("logger", py::Ref::steal(PyObject_CallMethod(b.get("logging").get(), "getLogger", "O",
                                                         b.get("__name__").get())));

    // 4. PoolKey = Tuple[str, FrozenSet[int], str]
    py::Ref frozen_ints = subscript(b.get("FrozenSet"), {int_t});
    b.set("PoolKey", subscript(b.get("Tuple"), {str_t, frozen_ints.get(), str_t}));

    // 5. environment readers
    b.def(fns::_env_bool);
    b.def(fns::_env_int);
    b.def(fns::_env_float);

    // 6. queue knobs
    b.knob("QUEUE_ENABLED", "_env_bool", "VARNEL_LB_QUEUE_ENABLED", Py_False);
    b.knob("QUEUE_TTL_SEC", "_env_float", "VARNEL_LB_QUEUE_TTL_SEC", py::new_float(30.0));
    b.knob("QUEUE_MAX_DEPTH_MULTIPLIER", "_env_int", "VARNEL_LB_QUEUE_MAX_DEPTH_MULTIPLIER", py::new_int(4));
    b.knob("QUEUE_DEADLINE_BOOST_SEC", "_env_float", "VARNEL_LB_QUEUE_DEADLINE_BOOST_SEC", py::new_float(10.0));
    b.knob("POOL_LRU_TTL_SEC", "_env_float", "VARNEL_LB_POOL_LRU_TTL_SEC", py::new_float(300.0));

    // 7. image token cost
    b.set("_DEFAULT_IMAGE_TOKEN_COST", py::new_int(2048));
    b.knob("IMAGE_TOKEN_COST", "_env_int", "VARNEL_LB_IMAGE_TOKENS", b.get("_DEFAULT_IMAGE_TOKEN_COST"));

    // 8. routing modes
    b.set("ROUTING_MODE_SUPERFAST", py::new_str("superfast"));
    b.set("ROUTING_MODE_HYBRID", py::new_str("hybrid"));
    b.set("ROUTING_MODE_MAX_CONCURRENCY", py::new_str("max_concurrency"));
    b.set("ROUTING_MODE_QUEUE_ALL", py::new_str("queue_all"));
    b.set("DEFAULT_ROUTING_MODE", b.get("ROUTING_MODE_SUPERFAST"));
    b.set("VALID_ROUTING_MODES",
          frozenset_of({b.get("ROUTING_MODE_SUPERFAST").get(), b.get("ROUTING_MODE_HYBRID").get(),
                        b.get("ROUTING_MODE_MAX_CONCURRENCY").get(), b.get("ROUTING_MODE_QUEUE_ALL").get()}));

    // 9. capacity knobs
    b.knob("SUPERFAST_PER_SERVER_CAP", "_env_int", "VARNEL_LB_SUPERFAST_CAP", py::new_int(4));
    b.knob("HYBRID_INFLIGHT_THRESHOLD", "_env_int", "VARNEL_LB_HYBRID_INFLIGHT", py::new_int(10));
    b.knob("HYBRID_RATE_THRESHOLD", "_env_float", "VARNEL_LB_HYBRID_RATE", py::new_float(10.0));
    b.knob("HYBRID_RATE_WINDOW_SEC", "_env_float", "VARNEL_LB_HYBRID_WINDOW_SEC", py::new_float(5.0));
    b.knob("HYBRID_HOT_EXIT_RATIO", "_env_float", "VARNEL_LB_HYBRID_HOT_EXIT_RATIO", py::new_float(0.8));
    b.knob("QUEUE_ALL_DEPTH_MULTIPLIER", "_env_int", "VARNEL_LB_QUEUE_ALL_DEPTH_MULTIPLIER", py::new_int(1000));
    b.knob("QUEUE_ALL_TTL_SEC", "_env_float", "VARNEL_LB_QUEUE_ALL_TTL_SEC", py::new_float(600.0));

    // 10.
    b.def(fns::normalize_routing_mode);

    // 11. algorithms
    b.set("LB_ALGO_WRR", py::new_str("weighted_round_robin"));
    b.set("LB_ALGO_LEAST_CONN", py::new_str("least_connections"));
    b.set("LB_ALGO_STICKY", py::new_str("sticky_session"));
    b.set("DEFAULT_LB_ALGORITHM", b.get("LB_ALGO_WRR"));
    b.set("VALID_LB_ALGORITHMS", frozenset_of({b.get("LB_ALGO_WRR").get(), b.get("LB_ALGO_LEAST_CONN").get(),
                                               b.get("LB_ALGO_STICKY").get()}));

    // 12.
    b.def(fns::normalize_lb_algorithm);

    // 13. _Waiter, a dataclass
    {
        py::Ref ns = b.class_namespace("_Waiter", kWaiterDoc, kWaiterBody);
        py::Ref ann = py::new_dict();
        py::Ref records = subscript(b.get("List"), {subscript(b.get("Dict"), {str_t, b.get("Any").get()}).get()});
        py::Ref future = py::Ref::steal(PyObject_GetAttrString(b.get("asyncio").get(), "Future"));
        py::check_int(PyDict_SetItemString(ann.get(), "pool_key", b.get("PoolKey").get()));
        py::check_int(PyDict_SetItemString(ann.get(), "candidates", records.get()));
        py::check_int(PyDict_SetItemString(ann.get(), "estimated_tokens", int_t));
        py::check_int(PyDict_SetItemString(ann.get(), "future", future.get()));
        py::check_int(PyDict_SetItemString(ann.get(), "queued_at", float_t));
        py::check_int(PyDict_SetItemString(ann.get(), "boost_after_sec", float_t));
        py::check_int(PyDict_SetItemString(ns.get(), "__annotations__", ann.get()));
        py::Ref kw = py::new_dict();
        py::check_int(PyDict_SetItemString(kw.get(), "default", py::new_float(0.0).get()));
        py::Ref fld = py::Ref::steal(PyObject_VectorcallDict(b.get("field").get(), nullptr, 0, kw.get()));
        py::check_int(PyDict_SetItemString(ns.get(), "boost_after_sec", fld.get()));
        py::Ref cls = Body::make_class("_Waiter", ns.get());
        b.set("_Waiter", py::call(b.get("dataclass").get(), cls.get()));
        state.waiter_type = b.get("_Waiter");
        state.waiter_init = py::Ref::borrow(
            _PyType_Lookup(reinterpret_cast<PyTypeObject*>(state.waiter_type.get()), names::dunder_init));
    }

    // 14. RejectReason, LoadBalancer, InflightLease
    {
        py::Ref ns = b.class_namespace("RejectReason", nullptr);
        const char* const reasons[][2] = {{"NONE", "none"},         {"QUEUE_FULL", "queue_full"},
                                          {"QUEUE_TIMEOUT", "queue_timeout"}, {"NO_BACKENDS", "no_backends"},
                                          {"TOO_LARGE", "too_large"}, {"AT_CAPACITY", "at_capacity"}};
        for (auto& r : reasons) py::check_int(PyDict_SetItemString(ns.get(), r[0], py::new_str(r[1]).get()));
        b.set("RejectReason", Body::make_class("RejectReason", ns.get()));
    }
    b.set("LoadBalancer",
          Body::make_class("LoadBalancer", b.class_namespace("LoadBalancer", kLoadBalancerDoc, kLoadBalancerBody)));
    b.set("InflightLease", Body::make_class("InflightLease", b.class_namespace("InflightLease", nullptr, kLeaseBody)));
    state.lb_type = b.get("LoadBalancer");
    state.lease_type = b.get("InflightLease");
    InflightLease::install_constructor(state.lease_type);

    // 15. module-level functions of the request lifecycle
    b.def(fns::estimate_request_tokens);
    b.def(fns::inflight_reaper_loop);

    // 16. beyond the module's own body: a diagnostic of the native path
    b.def(native_decisions_def);
    py::check_all_built();
    fast::watch(state);
}

Module* state_of(PyObject* module) { return static_cast<Module*>(PyModule_GetState(module)); }

int exec_module(PyObject* module) {
    return py::guard(-1, [&] {
        Module* state = new (state_of(module)) Module();
        // The module keeps process-wide state (watchers, adopted dicts) tied
        // to the main interpreter: subinterpreters, legacy ones included,
        // get a clean ImportError rather than sharing it.
        if (PyInterpreterState_Get() != PyInterpreterState_Main())
            py::raise(PyExc_ImportError, "load_balancer does not support subinterpreters");
        run_body(module, *state);
        return 0;
    });
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    Module* m = state_of(module);
    return m ? m->traverse(visit, arg) : 0;
}

int clear_module(PyObject* module) {
    if (Module* m = state_of(module)) m->clear();
    return 0;
}

void free_module(void* module) {
    if (Module* m = state_of(static_cast<PyObject*>(module))) m->~Module();
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    // Cached objects belong to one interpreter: no sharing with others.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "load_balancer",  // m_name
    nullptr,          // m_doc: set by the module body
    sizeof(Module),   // m_size: the module's state
    nullptr,          // m_methods: none
    slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace

}  // namespace lb

PyMODINIT_FUNC PyInit_load_balancer(void) { return PyModuleDef_Init(&lb::module_def); }
