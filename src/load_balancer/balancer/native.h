// The reading toolkit of the decisions computed natively, for plain inputs
// while nothing they rely on is overridden (see fastpath.h), and the native
// pieces that live with their rules.
//
// A native decision reads, then computes on C++ values, then writes.  What
// keeps its results identical to the step-by-step path:
//   - it reads only what cannot run code: exact dicts and lists of a View
//     whose tables hold plain keys, exact records, a plain pool key and a
//     plain sin-bin; whenever something is not plain, the caller takes the
//     step-by-step path from the start, before anything changed;
//   - with the interpreter's own clock, no code runs between the gate
//     checks of one decision, so the pool's in-flight total and its dispatch
//     rate are computed once, and one clock reading stands for the readings
//     of every step (readings taken in the same instant); hybrid hot/cold
//     decisions are replayed in order and the pool's state written once;
//   - with a replaced clock, the decision reads it where and as often as the
//     steps do, by running those steps (natively, through the call layer),
//     and reads again what they may have changed;
//   - everything it keeps is held (a strong reference), so that code that
//     does run meanwhile (a replaced clock, a finalizer) cannot free it.
// The rules themselves are computed by the same function templates the
// step methods use: capacity.cpp, dispatch.cpp, pickers.cpp, wrr.cpp,
// record.h, knobs.cpp.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "balancer/dispatch.h"
#include "balancer/methods.h"
#include "balancer/record.h"

namespace lb::fast {

// A small vector with inline storage for the usual pool sizes.
template <class T, size_t N = 32>
class Small {
public:
    Small() = default;
    Small(const Small&) = delete;
    Small& operator=(const Small&) = delete;
    void push_back(const T& v) { grow() = v; }
    // A new last element, to be filled in place.
    T& grow() {
        if (size_ < N) return inline_[size_++];
        if (heap_.empty()) heap_.assign(inline_.begin(), inline_.end());
        heap_.emplace_back();
        ++size_;
        return heap_.back();
    }
    // Forget the last element.
    void shrink() {
        if (size_ > N) heap_.pop_back();
        if (--size_ == N) {
            std::copy(heap_.begin(), heap_.end(), inline_.begin());
            heap_.clear();
        }
    }
    T& operator[](size_t i) { return size_ <= N ? inline_[i] : heap_[i]; }
    const T& operator[](size_t i) const { return size_ <= N ? inline_[i] : heap_[i]; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

private:
    std::array<T, N> inline_;  // left uninitialised: T is trivial
    std::vector<T> heap_;
    size_t size_ = 0;
};

// The values of some str keys of exact dicts, found by walking each dict
// once (a walk runs no Python code, and costs less than one lookup per key
// for the small dicts of server records).  The key objects found are
// remembered for the next dict of the same call: dicts built alike share
// them.  They are borrowed: the caller forgets them whenever Python code
// may have run (and freed them).
template <size_t N>
class Fields {
public:
    explicit Fields(std::array<const py::Name*, N> names) : names_(names) { forget(); }
    // Remember only the names themselves.
    void forget() {
        for (size_t i = 0; i < N; ++i) seen_[i] = names_[i]->get();
    }
    // The values in `d` (borrowed; NULL when absent), or false when some
    // key is not an exact str (the caller then looks them up).
    bool read(PyObject* d, std::array<PyObject*, N>& out) {
        out.fill(nullptr);
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        size_t found = 0;
        while (found < N && PyDict_Next(d, &pos, &key, &value)) {
            size_t i = match(key);
            if (i == N + 1) return false;
            if (i < N && !out[i]) {
                out[i] = value;
                ++found;
            }
        }
        return true;
    }

private:
    // The index of `key` among the names, N when none, N + 1 when `key` is
    // not an exact str.
    size_t match(PyObject* key) {
        for (size_t i = 0; i < N; ++i)
            if (key == seen_[i]) return i;
        if (!PyUnicode_CheckExact(key)) return N + 1;
        for (size_t i = 0; i < N; ++i) {
            PyObject* name = names_[i]->get();
            if (PyUnicode_GET_LENGTH(key) == PyUnicode_GET_LENGTH(name) && PyUnicode_Compare(key, name) == 0) {
                seen_[i] = key;
                return i;
            }
        }
        return N;
    }

    std::array<const py::Name*, N> names_;
    std::array<PyObject*, N> seen_;  // borrowed: the names, or keys of dicts the caller holds
};

// A server record read once: an exact dict whose id is an exact int and
// whose weight and configured cap are plain numbers.  (Trivial, so that the
// vectors holding records cost nothing to create.)
struct Rec {
    PyObject* obj;       // the record (held by Recs)
    PyObject* id;        // its id (held by Recs)
    long long id_v;
    bool drained;        // not ((weight or 0.0) > 0.0)
    double weight;       // float(weight or 1.0)
    long long cap;       // int(max_concurrency or 0)
    long long inflight;  // inflight.get(id, 0), once read
    long long held;      // held_slots.get(id, 0), likewise
    // limits.get(id): a limit (set_limit) of `limit` slots, valid until
    // `until` when `timed`.
    bool limited, timed;
    long long limit;
    double until;
};

// The records of one decision.  Each record and its id are held while the
// decision runs: code that may run meanwhile (a finalizer, a replaced clock)
// cannot free them under it.
class Recs : public Small<Rec> {
public:
    Recs() = default;
    ~Recs() {
        for (size_t i = 0; i < size(); ++i) {
            Py_DECREF((*this)[i].obj);
            Py_DECREF((*this)[i].id);
        }
    }
    void hold(const Rec& r) {
        Py_INCREF(r.obj);
        Py_INCREF(r.id);
        push_back(r);
    }
    // A new last record, to be read in place and then held (`keep`) or
    // given up (`drop`).
    Rec& next() { return grow(); }
    void keep() {
        Rec& r = (*this)[size() - 1];
        Py_INCREF(r.obj);
        Py_INCREF(r.id);
    }
    void drop() { shrink(); }
};

// Read the records of an exact list; false when the list or a record is not
// plain.
bool read_records(PyObject* list, Recs& out);

class Inst;

// inflight.get(id, 0), held_slots.get(id, 0) and limits.get(id) of every
// record, from the instance's tables; false when a table is not an exact
// dict, a count is not a plain int or a limit not a plain pair.
bool read_counts(const Inst& inst, Recs& recs);

// A pool key whose hash and equality run no code (fastpath.h: plain_key),
// remembered by identity for the next call.
bool plain_pool_key(Module& m, py::Handle key);

// A set of server ids that tests membership without running code: None, or
// an exact set or frozenset of plain keys (an empty one counts as None).
// The set is held in `out` (NULL for none).
bool plain_id_set(py::Handle ids, py::Ref& out);

// One LoadBalancer instance as the fast path reads it: a plain instance made
// by the module, whose View has plain tables.  What it reads of the View is
// copied and held at `open`, so that nothing that runs later (and may read
// another instance into the module's one View) changes it.
class Inst {
public:
    // False when `self` has no such View, or the facts are not valid.
    bool open(Module& m, const Facts& f, py::Handle self);
    // None of `methods` is overridden, on the class or on the instance.
    bool owns(std::initializer_list<const py::Method*> methods) const;
    // An attribute as read at `open` (NULL when absent), held.
    PyObject* get(Attr a) const { return attrs_[a].get(); }
    // An attribute that must be an exact dict (NULL otherwise).
    PyObject* dict(Attr a) const;
    // self.<a> as the steps would read it at this moment: the attribute as
    // read while nothing watched changed since, else by name.
    Ref current(Attr a) const;
    // Nothing watched changed since `open`: what was read still holds.
    bool unchanged() const { return instance_epoch == instance_epoch_ && epoch == facts_epoch_; }

    Module* m = nullptr;
    const Facts* f = nullptr;
    PyObject* self = nullptr;

private:
    uint64_t overridden_ = 0;
    uint64_t instance_epoch_ = 0, facts_epoch_ = 0;  // the epochs then
    Ref attrs_[kAttrCount];
};

// The methods whose work the native capacity gate does: it stands for
// `_under_capacity` and everything that calls by name.
inline const std::initializer_list<const py::Method*> kGateMethods = {
    &LoadBalancer::def::_under_capacity, &LoadBalancer::def::_pool_inflight,
    &LoadBalancer::def::_recent_dispatch_rate, &LoadBalancer::def::_effective_cap_for,
    &LoadBalancer::def::_superfast_cap, &LoadBalancer::def::_hybrid_hot};

// A pool key with its hash, computed once per decision (-1: not known, then
// every use hashes it, as the steps do).
struct Key {
    PyObject* obj = nullptr;
    Py_hash_t hash = -1;
    // d[key] (borrowed) of an exact dict, NULL when absent; `failed` on an
    // error.  The hash must be known.
    PyObject* in(PyObject* d, bool& failed) const;
    // d.get(key) (None when absent) / d[key] = v, of any mapping.
    Ref get(py::Handle d) const;
    void set(py::Handle d, py::Handle v) const;
};

// The clock reading of one decision: the float object and its value.  With
// the interpreter's own clock, one reading stands for every step's; with a
// replaced one, `replaced` is set and the decision reads it where the steps
// do.
struct Now {
    py::Ref obj;
    py::Num num;
    bool replaced = false;
    // Read the interpreter's clock; false when the clock is replaced (then
    // nothing was read).
    bool read(Module& m, const Facts& f);
};

// The capacity gate of one decision over one pool: `_under_capacity(rec,
// pool, pool_key=pool_key)` for any number of records of the pool
// (capacity.cpp).
//
// With the interpreter's own clock, one reading and one read of the pool's
// state serve every check, and the changes are written at the end.  With a
// replaced clock each check is the step's own sequence, computed natively:
// the records and counts read again, the rate from the step (which reads the
// clock), the hybrid state read and written at once.  Code may run at each
// reading: when something read is not plain or not as it was any more, the
// check says so and the steps take over (see Check).
class Gate {
public:
    enum class Check : unsigned char {
        Free,
        Busy,
        StepsFromHere,   // run this check and the rest as the steps do
        StepsAfterRate,  // the steps finish this check from its pool total and rate
    };

    // Reads what the decisions need; false when something is not plain.
    // `pool_inflight` is the pool's in-flight total (with the interpreter's
    // clock).
    bool prepare(const Inst& inst, const Key& pool_key, long long pool_inflight, const Now& now);
    // Whether `rec` has a free slot, replaying the step-by-step decision
    // (with the interpreter's clock).
    bool free(const Rec& rec);
    // The same with a replaced clock: `recs`/`pool` are the pool's records
    // (read again here), `rec` the one checked.
    Check check(Recs& recs, const Small<size_t>& pool, size_t rec);
    // What a StepsAfterRate check had computed: the pool's in-flight total
    // and its rate.
    Ref pool_inflight() const { return py::new_int(live_inflight_); }
    const Ref& rate() const { return live_rate_; }
    // Write what the decisions changed: the trimmed dispatch window and the
    // pool's hot state.
    void commit();

private:
    const Inst* inst_ = nullptr;
    const Key* pool_key_ = nullptr;
    Mode mode_ = Mode::Other;
    double pool_inflight_ = 0.0;
    double now_ = 0.0;  // the decision's clock reading (the interpreter's clock)
    double rate_ = 0.0;
    dispatch::Window window_;
    bool rate_used_ = false;  // some decision read the rate (and trimmed)
    Ref hot_state_;           // the pool hot-state table, in hybrid mode
    bool hot_ = false, hot_written_ = false;
    long long live_inflight_ = 0;
    Ref live_rate_;
};

// Read a record of `recs` again, with its counts, as the steps would read it
// now; false when it is not plain any more.
bool reread(const Inst& inst, Rec& rec);

// deque.append(arg) (`arg` given) or deque.popleft(): through the type's own
// `method` when `dq` is an exact deque, else by `name`.
void deque_call(const Module& m, PyObject* dq, const py::Ref& method, const py::Name& name, PyObject* arg = nullptr);

// _Waiter(pool_key, candidates, estimated_tokens, future, queued_at,
// boost_after_sec) when _Waiter is the module's unchanged dataclass: its
// generated __init__ sets the six fields in order, and so does this.
Ref new_waiter(const Module& m, py::Handle pool_key, py::Handle candidates, py::Handle estimated_tokens,
               py::Handle future, py::Handle queued_at, py::Handle boost_after_sec);

// `_record_dispatch(pool_key, rec)` with the decision's reading of the
// interpreter's clock (dispatch.cpp); with a replaced clock the decision
// calls the step.
void record_dispatch(const Inst& inst, const Key& pool_key, const Rec& rec, const Now& now);

// The pickers over eligible plain records (all with in-flight counts):
// least connections and the sticky lookup (pickers.cpp).
size_t least_connections_pick(const Recs& recs, const Small<size_t>& eligible);
// The sticky key must be an exact str whose UTF-8 form the caller has
// already obtained (PyUnicode_AsUTF8 succeeded): it is then cached, and
// this cannot fail.
size_t sticky_pick(py::Handle key, const Recs& recs, const Small<size_t>& eligible);

// The round-robin pick when the pool's lock is free, exact and unmodified:
// taking and releasing it around a pick that runs no Python code leaves it
// as it was, so it is only read (wrr.cpp).  Returns false (nothing changed)
// when the lock or the pool's state is not plain: the caller then awaits
// the pick.
bool wrr_pick(const Inst& inst, const Key& pool_key, const Recs& recs, const Small<size_t>& eligible,
              const Now& now, size_t& out);

}  // namespace lb::fast
