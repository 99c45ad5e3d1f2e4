// Module definition and the import sequence.
//
// The module has no method table: its execution slot builds the namespace
// step by step, each step reading the names it needs from the namespace
// built so far, exactly as a module body would.
#include "module.h"

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

// Class bodies, in definition order.  A name is included once its subsystem
// provides it.
const char* const kWaiterMethods[] = {"_Waiter.is_boosted"};

const char* const kLoadBalancerMethods[] = {
    "LoadBalancer.__init__",
    "LoadBalancer.set_routing_mode",
    "LoadBalancer.get_routing_mode",
    "LoadBalancer.queue_enabled",
    "LoadBalancer.queue_ttl_sec",
    "LoadBalancer.queue_depth_multiplier",
    "LoadBalancer._superfast_cap",
    "LoadBalancer._hybrid_hot",
    "LoadBalancer._effective_cap_for",
    "LoadBalancer.effective_cap_for",
    "LoadBalancer._pool_inflight",
    "LoadBalancer._recent_dispatch_rate",
    "LoadBalancer.increment",
    "LoadBalancer.decrement",
    "LoadBalancer.get_inflight",
    "LoadBalancer.force_clear",
    "LoadBalancer._lock_for",
    "LoadBalancer._evict_stale_pools",
    "LoadBalancer._under_capacity",
    "LoadBalancer.select",
    "LoadBalancer._wrr_pick",
    "LoadBalancer._least_connections_pick",
    "LoadBalancer._sticky_lookup",
    "LoadBalancer._record_dispatch",
    "LoadBalancer.filter_by_fit",
    "LoadBalancer._queue_capacity_for_pool",
    "LoadBalancer.wait_for_slot",
    "LoadBalancer._try_admit",
    "LoadBalancer._wake_one",
    "LoadBalancer._fulfill",
    "LoadBalancer._remove_waiter",
    "LoadBalancer.note_reject",
    "LoadBalancer._bump_reject",
    "LoadBalancer.snapshot",
    "LoadBalancer.prometheus_text",
};

const char* const kLeaseMethods[] = {
    "InflightLease.__init__",  "InflightLease.__enter__",  "InflightLease.__exit__",
    "InflightLease.__aenter__", "InflightLease.__aexit__", "InflightLease.release",
};

class Body {
public:
    explicit Body(PyObject* module) : g_(PyModule_GetDict(module)) {}

    py::Ref get(const char* name) const {
        PyObject* v = nullptr;
        if (py::check_int(PyDict_GetItemStringRef(g_, name, &v)) == 0) {
            py::Ref n = py::Ref::steal(PyUnicode_FromString(name));
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

    // def name(...): a module-level function.
    void def(const char* name) { set(name, py::make_function(py::registered(name), g_)); }

    // NAME = reader(env_var, default)
    void knob(const char* name, const char* reader, const char* env_var, PyObject* dflt) {
        py::Ref fn = get(reader);
        py::Ref var = py::Ref::steal(PyUnicode_FromString(env_var));
        set(name, py::call(fn.get(), var.get(), dflt));
    }
    void knob(const char* name, const char* reader, const char* env_var, const py::Ref& dflt) {
        knob(name, reader, env_var, dflt.get());
    }

    // A class namespace with the functions of `methods` that are defined.
    template <size_t N>
    py::Ref class_namespace(const char* qualname, const char* doc, const char* const (&methods)[N]) {
        py::Ref ns = py::Ref::steal(PyDict_New());
        py::check_int(PyDict_SetItemString(ns.get(), "__module__", get("__name__").get()));
        py::Ref qn = py::Ref::steal(PyUnicode_FromString(qualname));
        py::check_int(PyDict_SetItemString(ns.get(), "__qualname__", qn.get()));
        if (doc) {
            py::Ref d = py::Ref::steal(PyUnicode_FromString(doc));
            py::check_int(PyDict_SetItemString(ns.get(), "__doc__", d.get()));
        }
        for (const char* m : methods) {
            py::FuncDef* def = py::find_registered(m);
            if (!def) continue;
            py::check_int(PyDict_SetItemString(ns.get(), def->name.c_str(), py::make_function(*def, g_).get()));
        }
        return ns;
    }

    // type(name, (object,), ns)
    static py::Ref make_class(const char* name, PyObject* ns) {
        return py::Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O", name,
                                                    reinterpret_cast<PyObject*>(&PyBaseObject_Type), ns));
    }

private:
    PyObject* g_;
};

py::Ref str(const char* s) { return py::Ref::steal(PyUnicode_FromString(s)); }
py::Ref integer(long v) { return py::Ref::steal(PyLong_FromLong(v)); }
py::Ref real(double v) { return py::Ref::steal(PyFloat_FromDouble(v)); }

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

void run_body(PyObject* module) {
    py::init_function_type();
    py::init_coroutine_type();
    Body b(module);
    PyObject* str_t = reinterpret_cast<PyObject*>(&PyUnicode_Type);
    PyObject* int_t = reinterpret_cast<PyObject*>(&PyLong_Type);
    PyObject* float_t = reinterpret_cast<PyObject*>(&PyFloat_Type);

    // The builtins every module body sees (dataclass code is compiled here).
    if (!b.has("__builtins__")) b.set("__builtins__", py::Ref::steal(PyEval_GetFrameBuiltins()));

    // 1. docstring
    b.set("__doc__", str(kModuleDoc));

    // 2. imports
    b.import("asyncio");
    b.import("logging");
    b.import("os");
    b.import("time");
    b.import_from("collections", {"deque"});
    b.import_from("dataclasses", {"dataclass", "field"});
    b.import_from("typing",
                  {"Any", "Awaitable", "Callable", "Deque", "Dict", "FrozenSet", "List", "Optional", "Tuple"});

    // 3. logger = logging.getLogger(__name__)
    b.set("logger", py::Ref::steal(PyObject_CallMethod(b.get("logging").get(), "getLogger", "O",
                                                         b.get("__name__").get())));

    // 4. PoolKey = Tuple[str, FrozenSet[int], str]
    py::Ref frozen_ints = subscript(b.get("FrozenSet"), {int_t});
    b.set("PoolKey", subscript(b.get("Tuple"), {str_t, frozen_ints.get(), str_t}));

    // 5. environment readers
    b.def("_env_bool");
    b.def("_env_int");
    b.def("_env_float");

    // 6. queue knobs
    b.knob("QUEUE_ENABLED", "_env_bool", "VARNEL_LB_QUEUE_ENABLED", Py_False);
    b.knob("QUEUE_TTL_SEC", "_env_float", "VARNEL_LB_QUEUE_TTL_SEC", real(30.0));
    b.knob("QUEUE_MAX_DEPTH_MULTIPLIER", "_env_int", "VARNEL_LB_QUEUE_MAX_DEPTH_MULTIPLIER", integer(4));
    b.knob("QUEUE_DEADLINE_BOOST_SEC", "_env_float", "VARNEL_LB_QUEUE_DEADLINE_BOOST_SEC", real(10.0));
    b.knob("POOL_LRU_TTL_SEC", "_env_float", "VARNEL_LB_POOL_LRU_TTL_SEC", real(300.0));

    // 7. image token cost
    b.set("_DEFAULT_IMAGE_TOKEN_COST", integer(2048));
    b.knob("IMAGE_TOKEN_COST", "_env_int", "VARNEL_LB_IMAGE_TOKENS", b.get("_DEFAULT_IMAGE_TOKEN_COST"));

    // 8. routing modes
    b.set("ROUTING_MODE_SUPERFAST", str("superfast"));
    b.set("ROUTING_MODE_HYBRID", str("hybrid"));
    b.set("ROUTING_MODE_MAX_CONCURRENCY", str("max_concurrency"));
    b.set("ROUTING_MODE_QUEUE_ALL", str("queue_all"));
    b.set("DEFAULT_ROUTING_MODE", b.get("ROUTING_MODE_SUPERFAST"));
    b.set("VALID_ROUTING_MODES",
          frozenset_of({b.get("ROUTING_MODE_SUPERFAST").get(), b.get("ROUTING_MODE_HYBRID").get(),
                        b.get("ROUTING_MODE_MAX_CONCURRENCY").get(), b.get("ROUTING_MODE_QUEUE_ALL").get()}));

    // 9. capacity knobs
    b.knob("SUPERFAST_PER_SERVER_CAP", "_env_int", "VARNEL_LB_SUPERFAST_CAP", integer(4));
    b.knob("HYBRID_INFLIGHT_THRESHOLD", "_env_int", "VARNEL_LB_HYBRID_INFLIGHT", integer(10));
    b.knob("HYBRID_RATE_THRESHOLD", "_env_float", "VARNEL_LB_HYBRID_RATE", real(10.0));
    b.knob("HYBRID_RATE_WINDOW_SEC", "_env_float", "VARNEL_LB_HYBRID_WINDOW_SEC", real(5.0));
    b.knob("HYBRID_HOT_EXIT_RATIO", "_env_float", "VARNEL_LB_HYBRID_HOT_EXIT_RATIO", real(0.8));
    b.knob("QUEUE_ALL_DEPTH_MULTIPLIER", "_env_int", "VARNEL_LB_QUEUE_ALL_DEPTH_MULTIPLIER", integer(1000));
    b.knob("QUEUE_ALL_TTL_SEC", "_env_float", "VARNEL_LB_QUEUE_ALL_TTL_SEC", real(600.0));

    // 10.
    b.def("normalize_routing_mode");

    // 11. algorithms
    b.set("LB_ALGO_WRR", str("weighted_round_robin"));
    b.set("LB_ALGO_LEAST_CONN", str("least_connections"));
    b.set("LB_ALGO_STICKY", str("sticky_session"));
    b.set("DEFAULT_LB_ALGORITHM", b.get("LB_ALGO_WRR"));
    b.set("VALID_LB_ALGORITHMS", frozenset_of({b.get("LB_ALGO_WRR").get(), b.get("LB_ALGO_LEAST_CONN").get(),
                                               b.get("LB_ALGO_STICKY").get()}));

    // 12.
    b.def("normalize_lb_algorithm");

    // 13. _Waiter, a dataclass
    {
        py::Ref ns = b.class_namespace("_Waiter", kWaiterDoc, kWaiterMethods);
        py::Ref ann = py::Ref::steal(PyDict_New());
        py::Ref records = subscript(b.get("List"), {subscript(b.get("Dict"), {str_t, b.get("Any").get()}).get()});
        py::Ref future = py::Ref::steal(PyObject_GetAttrString(b.get("asyncio").get(), "Future"));
        py::check_int(PyDict_SetItemString(ann.get(), "pool_key", b.get("PoolKey").get()));
        py::check_int(PyDict_SetItemString(ann.get(), "candidates", records.get()));
        py::check_int(PyDict_SetItemString(ann.get(), "estimated_tokens", int_t));
        py::check_int(PyDict_SetItemString(ann.get(), "future", future.get()));
        py::check_int(PyDict_SetItemString(ann.get(), "queued_at", float_t));
        py::check_int(PyDict_SetItemString(ann.get(), "boost_after_sec", float_t));
        py::check_int(PyDict_SetItemString(ns.get(), "__annotations__", ann.get()));
        py::Ref kw = py::Ref::steal(PyDict_New());
        py::check_int(PyDict_SetItemString(kw.get(), "default", real(0.0).get()));
        py::Ref fld = py::Ref::steal(PyObject_VectorcallDict(b.get("field").get(), nullptr, 0, kw.get()));
        py::check_int(PyDict_SetItemString(ns.get(), "boost_after_sec", fld.get()));
        py::Ref cls = Body::make_class("_Waiter", ns.get());
        b.set("_Waiter", py::call(b.get("dataclass").get(), cls.get()));
    }

    // 14. RejectReason, LoadBalancer, InflightLease
    {
        py::Ref ns = py::Ref::steal(PyDict_New());
        py::check_int(PyDict_SetItemString(ns.get(), "__module__", b.get("__name__").get()));
        py::check_int(PyDict_SetItemString(ns.get(), "__qualname__", str("RejectReason").get()));
        const char* const reasons[][2] = {{"NONE", "none"},         {"QUEUE_FULL", "queue_full"},
                                          {"QUEUE_TIMEOUT", "queue_timeout"}, {"NO_BACKENDS", "no_backends"},
                                          {"TOO_LARGE", "too_large"}, {"AT_CAPACITY", "at_capacity"}};
        for (auto& r : reasons) py::check_int(PyDict_SetItemString(ns.get(), r[0], str(r[1]).get()));
        b.set("RejectReason", Body::make_class("RejectReason", ns.get()));
    }
    b.set("LoadBalancer", Body::make_class("LoadBalancer", b.class_namespace("LoadBalancer", kLoadBalancerDoc,
                                                                              kLoadBalancerMethods).get()));
    b.set("InflightLease",
          Body::make_class("InflightLease", b.class_namespace("InflightLease", nullptr, kLeaseMethods).get()));

    // 15. module-level functions of the request lifecycle
    for (const char* name : {"estimate_request_tokens", "inflight_reaper_loop"})
        if (py::find_registered(name)) b.def(name);
}

int exec_module(PyObject* module) {
    return py::guard(-1, [&] {
        run_body(module);
        return 0;
    });
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "load_balancer",  // m_name
    nullptr,          // m_doc: set by the module body
    0,                // m_size: no per-module state
    nullptr,          // m_methods: none
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace lb

PyMODINIT_FUNC PyInit_load_balancer(void) { return PyModuleDef_Init(&lb::module_def); }
