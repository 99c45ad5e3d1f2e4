// Rejection counters and the diagnostic snapshot of the whole balancer.
#include <algorithm>
#include <charconv>
#include <string>
#include <climits>

#include "balancer/dispatch.h"
#include "balancer/methods.h"
#include "balancer/native.h"
#include "balancer/record.h"
#include "telemetry/numbers.h"

namespace lb::LoadBalancer {
namespace {

// The snapshot's keys, interned once.
py::Name s_routing_mode{"routing_mode"}, s_dispatch_rate{"dispatch_rate_per_sec"}, s_superfast_cap{"superfast_cap"},
    s_hybrid_inflight{"hybrid_inflight_threshold"}, s_hybrid_rate{"hybrid_rate_threshold"},
    s_hybrid_exit{"hybrid_hot_exit_ratio"}, s_queue_enabled{"queue_enabled"}, s_queue_ttl{"queue_ttl_sec"},
    s_queue_depth{"queue_depth_multiplier"}, s_queue_boost{"queue_deadline_boost_sec"},
    s_pool_ttl{"pool_lru_ttl_sec"}, s_inflight{"inflight"}, s_dispatch_counts{"dispatch_counts"},
    s_reject_counts{"reject_counts"}, s_total_waiters{"queue_total_waiters"}, s_p50{"queue_wait_p50_sec"},
    s_p95{"queue_wait_p95_sec"}, s_pools{"pools"}, s_wrr_current{"wrr_current"}, s_idle{"idle_seconds"},
    s_inflight_total{"inflight_total"}, s_hybrid_hot{"hybrid_hot"};

// round(x, 3) through the builtin itself: a rate from a replaced method may
// be any object.
Ref builtin_round3(const Call& c, Handle x) { return py::call(module_of(c).builtin_round, x, py::new_int(3)); }

// dict(o): a fresh copy of a mapping.
Ref dict_copy(Handle o) {
    if (PyDict_CheckExact(o.get())) return Ref::steal(PyDict_Copy(o));
    return py::call(reinterpret_cast<PyObject*>(&PyDict_Type), o);
}

// The pool key rendered as "model|c1,c2|tier", cluster ids sorted as values.
Ref pool_label(Handle pk) {
    Ref model = Ref::steal(PySequence_GetItem(pk, 0));
    Ref clusters = Ref::steal(PySequence_GetItem(pk, 1));
    Ref tier = Ref::steal(PySequence_GetItem(pk, 2));

    Ref ids = py::to_list(clusters);
    py::check_int(PyList_Sort(ids));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ids.get()); ++i) {
        PyObject* text = py::check(PyObject_Str(PyList_GET_ITEM(ids.get(), i)));
        PyList_SetItem(ids, i, text);  // steals `text`, drops the id
    }
    Ref middle = Ref::steal(PyUnicode_Join(py::new_str(","), ids));

    Ref parts = Ref::steal(PyList_New(3));
    PyList_SET_ITEM(parts.get(), 0, model.release());
    PyList_SET_ITEM(parts.get(), 1, middle.release());
    PyList_SET_ITEM(parts.get(), 2, tier.release());
    return Ref::steal(PyUnicode_Join(py::new_str("|"), parts));
}

// Sum of the in-flight counts of the servers that have WRR state in `pk`:
// a count is added when its id equals (==) one of the state's keys.
Ref pool_inflight_total(Handle self, Handle pk) {
    Ref members = py::to_list(py::get(attr(self, names::_wrr), pk, py::new_dict()));
    Ref total = py::new_int(0);
    for (auto& [sid, count] : py::items(attr(self, names::inflight))) {
        bool member = py::any_of(members, [&](Handle key) { return py::truthy(py::rich_compare(sid, key, Py_EQ)); });
        if (member) total = Ref::steal(PyNumber_Add(total, count));
    }
    return total;
}

Ref pool_entry(const Call& c, Handle self, Handle pk, Handle state) {
    Ref entry = py::new_dict();
    auto put = [&](const py::Name& key, const Ref& v) { py::check_int(PyDict_SetItem(entry, key, v)); };

    put(s_wrr_current, dict_copy(state));

    Ref now = monotonic(c);
    Ref last = py::get(attr(self, names::_pool_last_access), pk, py::new_int(0));
    put(s_idle, Ref::steal(PyNumber_Subtract(now, last)));

    put(s_inflight_total, pool_inflight_total(self, pk));
    put(s_dispatch_rate, builtin_round3(c, call::recent_dispatch_rate(c, self, pk)));

    Ref mode = attr(self, names::_routing_mode);
    if (is_mode(c, mode, names::ROUTING_MODE_HYBRID))
        put(s_hybrid_hot, py::get(attr(self, names::_pool_hot_state), pk, Py_False));
    else
        put(s_hybrid_hot, py::none());
    return entry;
}

}  // namespace

Ref note_reject(const Call& c, Handle self, Handle reason) {
    call::bump_reject(c, self, reason);
    return py::none();
}

Ref _bump_reject(const Call&, Handle self, Handle reason) {
    py::bump_at([&] { return attr(self, names::reject_counts); }, reason);
    return py::none();
}

namespace {

// The label of a pool key (str, frozenset of ints, str), or NULL when the
// key has another shape (its label is then built step by step).  The cache
// holds (key, label) by key: the very key it was built for answers at once;
// an equal key answers only once its ids are known to be plain ints (1.0 and
// True equal 1 and still render differently).
Ref plain_label(Module& m, PyObject* pk) {
    if (!PyTuple_CheckExact(pk) || PyTuple_GET_SIZE(pk) != 3) return {};
    PyObject *model = PyTuple_GET_ITEM(pk, 0), *clusters = PyTuple_GET_ITEM(pk, 1), *tier = PyTuple_GET_ITEM(pk, 2);
    if (!PyUnicode_CheckExact(model) || !PyUnicode_CheckExact(tier) || !PyFrozenSet_CheckExact(clusters)) return {};
    bool failed = false;
    Ref cached = Ref::borrow(fast::lookup(m.label_cache, pk, failed));
    if (cached && PyTuple_GET_ITEM(cached.get(), 0) == pk) return Ref::borrow(PyTuple_GET_ITEM(cached.get(), 1));
    std::vector<long long> ids;
    Ref it = Ref::steal(PyObject_GetIter(clusters));
    while (Ref id = Ref::steal_or_null(PyIter_Next(it))) {
        long long v;
        if (!py::small_int(id, v)) return {};
        ids.push_back(v);
    }
    if (PyErr_Occurred()) py::raise();
    if (cached) return Ref::borrow(PyTuple_GET_ITEM(cached.get(), 1));
    std::sort(ids.begin(), ids.end());
    std::string middle;
    for (size_t i = 0; i < ids.size(); ++i) {
        char buf[24];
        auto res = std::to_chars(buf, buf + sizeof buf, ids[i]);
        if (i) middle.push_back(',');
        middle.append(buf, res.ptr);
    }
    Ref parts = py::new_list(3);
    PyList_SET_ITEM(parts.get(), 0, Py_NewRef(model));
    PyList_SET_ITEM(parts.get(), 1, py::new_str(middle).release());
    PyList_SET_ITEM(parts.get(), 2, Py_NewRef(tier));
    Ref label = Ref::steal(PyUnicode_Join(py::new_str("|"), parts));
    // Labels depend on the (immutable) key alone; the cache is bounded.
    if (PyDict_GET_SIZE(m.label_cache.get()) >= 4096) PyDict_Clear(m.label_cache);
    py::check_int(PyDict_SetItem(m.label_cache, pk, Ref::steal(PyTuple_Pack(2, pk, label.get()))));
    return label;
}

// The snapshot computed natively (see native.h) when the instance and
// everything it holds are plain: one clock reading, the rates of every
// window read once and trimmed once.  NULL, with nothing changed, when not;
// `replaced` tells that the only reason was a replaced clock (whose
// readings the steps take where they do).
Ref snapshot_natively(const Call& c, Handle self, bool& replaced) {
    namespace d = LoadBalancer::def;
    Module& m = module_of(c);
    const fast::Facts& f = fast::facts(m.fast);
    fast::Inst inst;
    if (!inst.open(m, f, self) ||
        !inst.owns({&d::_recent_dispatch_rate, &d::queue_enabled, &d::queue_ttl_sec, &d::queue_depth_multiplier}))
        return {};
    Mode mode;
    PyObject* mode_obj = inst.get(fast::kRoutingMode);
    PyObject *windows = inst.dict(fast::kPoolDispatchWindows), *wrr = inst.dict(fast::kWrr),
             *last_access = inst.dict(fast::kPoolLastAccess), *inflight = inst.dict(fast::kInflight),
             *dispatch = inst.dict(fast::kDispatchCounts), *rejects = inst.dict(fast::kRejectCounts),
             *hot_state = inst.dict(fast::kPoolHotState), *all = inst.get(fast::kAllWaiters),
             *samples = inst.get(fast::kQueueWaitSamples);
    if (!mode_obj || !plain_mode(f, mode_obj, mode) || !windows || !wrr || !last_access || !inflight || !dispatch ||
        !rejects || !hot_state || !all || !PyList_CheckExact(all) || !samples || !f.mode_queue_all ||
        (!f.mode_hybrid && PyDict_GET_SIZE(wrr)))
        return {};
    // The mode as the snapshot compares it: with each name directly.
    auto is = [&](const py::Ref& name) { return mode_obj == name.get() || PyUnicode_Compare(mode_obj, name) == 0; };
    const bool queue_all = is(f.mode_queue_all);
    const bool hybrid = f.mode_hybrid && is(f.mode_hybrid);
    fast::Now now;
    if (!now.read(m, f)) {
        replaced = now.replaced;
        return {};
    }
    telemetry::Samples waits;
    if (!waits.read(m, samples)) return {};
    // The percentiles, held: the samples may be a dispatch window too, whose
    // trims below would drop them, and comparing pool keys below may run
    // code that changes them.
    Ref p50 = py::new_float(0.0), p95 = py::new_float(0.0);
    if (size_t n = waits.size()) {
        PyObject *at_50, *at_95;
        waits.at(telemetry::p50_index(n), telemetry::p95_index(n), at_50, at_95);
        p50 = Ref::borrow(at_50);
        if (telemetry::has_p95(n)) p95 = Ref::borrow(at_95);
    }

    // Every window, trimmed as the balancer-wide rate trims them (in the
    // map's order), and what each pool's rate then reads.
    const double cutoff = now.num.v - dispatch::window_length(f.hybrid_window.v);
    std::vector<dispatch::Window> all_windows;
    all_windows.reserve(size_t(PyDict_GET_SIZE(windows)));
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(windows, &pos, &key, &value)) {
        all_windows.emplace_back();
        if (!all_windows.back().read(m, value, cutoff)) return {};
    }
    // The windows by deque, for the pools' rates.
    std::vector<const dispatch::Window*> by_deque;
    by_deque.reserve(all_windows.size());
    for (const dispatch::Window& w : all_windows) by_deque.push_back(&w);
    auto deque_less = [](const dispatch::Window* a, const dispatch::Window* b) { return a->deque() < b->deque(); };
    std::sort(by_deque.begin(), by_deque.end(), deque_less);
    // A deque shared by several pools is trimmed once, by the first of them:
    // left to the step-by-step path.
    for (size_t i = 1; i < by_deque.size(); ++i)
        if (by_deque[i]->deque() != Py_None && by_deque[i]->deque() == by_deque[i - 1]->deque()) return {};
    Py_ssize_t total = 0;
    double first_ts = Py_HUGE_VAL;
    for (const dispatch::Window& w : all_windows) {
        if (w.left() == 0) continue;
        total += w.left();
        if (w.oldest() < first_ts) first_ts = w.oldest();
    }
    double global_rate = total ? dispatch::rate(total, now.num.v, first_ts) : 0.0;

    // In-flight counts by id, for the pools' totals (plain ints only).
    std::vector<std::pair<long long, long long>> counts;
    counts.reserve(size_t(PyDict_GET_SIZE(inflight)));
    pos = 0;
    while (PyDict_Next(inflight, &pos, &key, &value)) {
        long long id, n;
        if (!py::small_int(key, id) || !py::small_int(value, n)) return {};
        counts.emplace_back(id, n);
    }
    std::sort(counts.begin(), counts.end());

    // The pools: labels, states and the numbers each entry shows.  Looking a
    // pool key up compares it with the keys of equal hash, whose code may
    // change any table: what is kept of them is held.
    struct Pool {
        Ref key, state, label;
        Ref hot;  // the pool's hybrid state, in hybrid mode
        double idle, rate;
        bool idle_int;  // the difference of two ints is an int
        long long inflight_total;
    };
    std::vector<Pool> pools;
    pools.reserve(size_t(PyDict_GET_SIZE(wrr)));
    pos = 0;
    bool failed = false;
    while (PyDict_Next(wrr, &pos, &key, &value)) {
        Pool p{Ref::borrow(key), Ref::borrow(value), plain_label(m, key), {}, 0.0, 0.0, false, 0};
        if (!p.label || !PyDict_CheckExact(value)) return {};
        py::Num last{0.0, true};
        PyObject* seen = fast::lookup(last_access, key, failed);
        if (failed || (seen && !py::num(seen, last))) return {};
        p.idle = now.num.v - last.v;
        p.idle_int = now.num.is_int && last.is_int;
        Py_ssize_t spos = 0;
        PyObject *sid, *cw;
        while (PyDict_Next(value, &spos, &sid, &cw)) {
            long long id;
            if (!py::small_int(sid, id)) return {};
            auto found = std::lower_bound(counts.begin(), counts.end(), std::pair{id, LLONG_MIN});
            if (found != counts.end() && found->first == id) p.inflight_total += found->second;
        }
        PyObject* window = fast::lookup(windows, key, failed);
        if (failed) return {};
        auto found = std::lower_bound(by_deque.begin(), by_deque.end(), window,
                                      [](const dispatch::Window* w, PyObject* d) { return w->deque() < d; });
        if (window && found != by_deque.end() && (*found)->deque() == window)
            p.rate = (*found)->rate_at(now.num.v);
        if (hybrid) {
            PyObject* hot = fast::lookup(hot_state, key, failed);
            if (failed) return {};
            p.hot = Ref::borrow(hot ? hot : Py_False);
        }
        pools.push_back(std::move(p));
    }

    // Nothing below can fail on the data: write the trims, build the result.
    for (const dispatch::Window& w : all_windows) w.commit(m);

    Ref out = py::new_dict();
    auto put = [](Handle d, const py::Name& k, Handle v) { py::check_int(PyDict_SetItem(d, k, v)); };
    auto global = [&](const py::Name& name) { return c.g.get(name); };
    put(out, s_routing_mode, mode_obj);
    put(out, s_dispatch_rate, telemetry::round3(global_rate));
    put(out, s_superfast_cap, global(names::SUPERFAST_PER_SERVER_CAP));
    put(out, s_hybrid_inflight, global(names::HYBRID_INFLIGHT_THRESHOLD));
    put(out, s_hybrid_rate, global(names::HYBRID_RATE_THRESHOLD));
    put(out, s_hybrid_exit, global(names::HYBRID_HOT_EXIT_RATIO));
    put(out, s_queue_enabled, queue_all ? py::bool_(true) : global(names::QUEUE_ENABLED));
    put(out, s_queue_ttl, global(queue_all ? names::QUEUE_ALL_TTL_SEC : names::QUEUE_TTL_SEC));
    put(out, s_queue_depth, global(queue_all ? names::QUEUE_ALL_DEPTH_MULTIPLIER : names::QUEUE_MAX_DEPTH_MULTIPLIER));
    put(out, s_queue_boost, global(names::QUEUE_DEADLINE_BOOST_SEC));
    put(out, s_pool_ttl, global(names::POOL_LRU_TTL_SEC));
    put(out, s_inflight, Ref::steal(PyDict_Copy(inflight)));
    put(out, s_dispatch_counts, Ref::steal(PyDict_Copy(dispatch)));
    put(out, s_reject_counts, Ref::steal(PyDict_Copy(rejects)));
    put(out, s_total_waiters, py::new_int(PyList_GET_SIZE(all)));
    put(out, s_p50, p50);
    put(out, s_p95, p95);

    Ref entries = py::new_dict();
    for (const Pool& p : pools) {
        Ref entry = py::new_dict();
        put(entry, s_wrr_current, Ref::steal(PyDict_Copy(p.state)));
        put(entry, s_idle, p.idle_int ? py::new_int((long long)p.idle) : py::new_float(p.idle));
        put(entry, s_inflight_total, py::new_int(p.inflight_total));
        put(entry, s_dispatch_rate, telemetry::round3(p.rate));
        put(entry, s_hybrid_hot, hybrid ? p.hot.get() : Py_None);
        py::check_int(PyDict_SetItem(entries, p.label, entry));
    }
    put(out, s_pools, entries);
    return out;
}

// The snapshot as the steps take it.  `plain` (a balancer the native path
// reads, with a replaced clock) computes natively what reads no clock: the
// percentiles and the pool labels.
Ref snapshot_by_steps(const Call& c, Handle self, bool plain) {
    Module& m = module_of(c);
    // Wait-time percentiles: the elements of a stable sort of the samples.
    Ref p50 = py::new_float(0.0), p95 = py::new_float(0.0);
    telemetry::Samples waits;
    Ref samples = attr(self, names::queue_wait_samples);
    if (plain && waits.read(m, samples)) {
        if (size_t n = waits.size()) {
            PyObject *at_50, *at_95;
            waits.at(telemetry::p50_index(n), telemetry::p95_index(n), at_50, at_95);
            p50 = Ref::borrow(at_50);
            if (telemetry::has_p95(n)) p95 = Ref::borrow(at_95);
        }
    } else {
        Ref sorted = py::to_list(samples);
        py::check_int(PyList_Sort(sorted));
        auto sample = [&](size_t k) { return Ref::borrow(PyList_GET_ITEM(sorted.get(), Py_ssize_t(k))); };
        if (size_t n = size_t(PyList_GET_SIZE(sorted.get()))) {
            p50 = sample(telemetry::p50_index(n));
            if (telemetry::has_p95(n)) p95 = sample(telemetry::p95_index(n));
        }
    }

    Ref out = py::new_dict();
    auto put = [&](const py::Name& key, const Ref& v) { py::check_int(PyDict_SetItem(out, key, v)); };

    put(s_routing_mode, attr(self, names::_routing_mode));
    put(s_dispatch_rate, builtin_round3(c, call::recent_dispatch_rate(c, self, {})));
    put(s_superfast_cap, c.g.get(names::SUPERFAST_PER_SERVER_CAP));
    put(s_hybrid_inflight, c.g.get(names::HYBRID_INFLIGHT_THRESHOLD));
    put(s_hybrid_rate, c.g.get(names::HYBRID_RATE_THRESHOLD));
    put(s_hybrid_exit, c.g.get(names::HYBRID_HOT_EXIT_RATIO));
    put(s_queue_enabled, call::queue_enabled(c, self));
    put(s_queue_ttl, call::queue_ttl_sec(c, self));
    put(s_queue_depth, call::queue_depth_multiplier(c, self));
    put(s_queue_boost, c.g.get(names::QUEUE_DEADLINE_BOOST_SEC));
    put(s_pool_ttl, c.g.get(names::POOL_LRU_TTL_SEC));
    put(s_inflight, dict_copy(attr(self, names::inflight)));
    put(s_dispatch_counts, dict_copy(attr(self, names::dispatch_counts)));
    put(s_reject_counts, dict_copy(attr(self, names::reject_counts)));
    put(s_total_waiters, py::new_int(py::length(attr(self, names::_all_waiters))));
    put(s_p50, p50);
    put(s_p95, p95);

    Ref pools = py::new_dict();
    for (auto& [pk, state] : py::items(attr(self, names::_wrr))) {
        Ref label = plain ? plain_label(m, pk) : Ref();
        if (!label) label = pool_label(pk);
        Ref entry = pool_entry(c, self, pk, state);
        py::check_int(PyDict_SetItem(pools, label, entry));
    }
    put(s_pools, pools);
    return out;
}

}  // namespace

Ref snapshot(const Call& c, Handle self) {
    call::evict_stale_pools(c, self);
    bool replaced = false;
    Ref out = snapshot_natively(c, self, replaced);
    if (out || replaced) ++module_of(c).native_counts.snapshot;
    return out ? std::move(out) : snapshot_by_steps(c, self, replaced);
}

}  // namespace lb::LoadBalancer
