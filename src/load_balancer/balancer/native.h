// The decisions computed natively, for plain inputs while nothing they rely
// on is overridden (see fastpath.h): one pass that only reads and checks,
// then one that computes and writes.  Whenever the reading pass meets
// something that is not plain, the caller takes the step-by-step path from
// the start, before anything changed.
//
// What keeps the results identical to the step-by-step path:
//   - no Python code runs between the gate checks of one decision, so the
//     pool's in-flight total and its dispatch rate are computed once;
//   - one clock reading stands for the readings of every step of a
//     decision (readings taken in the same instant);
//   - hybrid hot/cold decisions are replayed in order, and the pool's state
//     is written once at the end, to its last value, if any step wrote it.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "balancer/methods.h"

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
    PyObject* obj;       // the record, borrowed from the caller's list
    PyObject* id;        // its id, borrowed from the record
    long long id_v;
    bool drained;        // not ((weight or 0.0) > 0.0)
    double weight;       // float(weight or 1.0)
    long long cap;       // int(max_concurrency or 0)
    long long inflight;  // inflight.get(id, 0), once read
    long long held;      // held_slots.get(id, 0), likewise
};

// The records of one decision.  Each record and its id are held while the
// decision runs: code that may run meanwhile (a finalizer, another thread
// when Python code runs) cannot free them under it.
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
};

class Inst;

// Read the records of an exact list; false when the list or a record is not
// plain.
bool read_records(PyObject* list, Recs& out);

// inflight.get(id, 0) and held_slots.get(id, 0) of every record, from the
// instance's exact dicts; false when a table is not an exact dict or a
// count is not a plain int.
bool read_counts(const Inst& inst, Recs& recs);

// A pool key whose hash and equality run no Python code: a tuple of strs,
// ints, floats, None and frozensets of those.
bool plain_key(Module& m, py::Handle key);

// A set of server ids that tests membership without Python code: None, or
// an exact set or frozenset (empty ones count as None).
bool plain_id_set(py::Handle ids, PyObject*& out);

// One LoadBalancer instance as the fast path reads it: attributes straight
// from its dict, which is exact while the class defines none of them.  An
// instance made by the module's own __init__ is read once per change of its
// dict (its View); any other is read at each call.
class Inst {
public:
    // False when `self` is not a plain instance of the module's class (its
    // dict must have exact str keys only: reading it runs no Python code),
    // or the facts are not valid.
    bool open(Module& m, const Facts& f, py::Handle self);
    // None of `methods` is overridden, on the class or on the instance.
    bool owns(std::initializer_list<const py::Method*> methods) const;
    // An attribute (NULL when absent), held for the life of the Inst.
    PyObject* get(Attr a) const;
    // An attribute that must be an exact dict (NULL otherwise).
    PyObject* dict(Attr a) const;
    // self.<a> as the steps would read it at this moment: the attribute as
    // read while nothing watched changed since (the instance had a View;
    // its dict, the classes and the module are as they were), else by name.
    Ref current(Attr a) const;

    Module* m = nullptr;
    const Facts* f = nullptr;
    PyObject* self = nullptr;

private:
    bool viewed_ = false;       // the instance had a View when opened
    uint64_t overridden_ = 0;   // from it
    uint64_t instance_epoch_ = 0, facts_epoch_ = 0;  // the epochs then
    Ref dict_;                  // the instance's dict
    mutable Ref attrs_[kAttrCount];
    mutable bool read_[kAttrCount] = {};
};

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

// The clock reading of one decision: the float object and its value.
struct Now {
    py::Ref obj;
    Num num;
    // Read the monotonic clock; false when it returned something that is not
    // a plain number.
    bool read(Module& m);
    // A clock that is not the interpreter's own runs Python code: a decision
    // reads it first, before it looks at anything.  False when that reading
    // is not a plain number or changed what the facts describe.
    bool read_if_replaced(Module& m, const Facts& f);
};

// The capacity gate of one decision over one pool: `_under_capacity(rec,
// pool, pool_key=pool_key)` for any number of records of the pool.
class Gate {
public:
    // Reads what the decisions need; false when something is not plain.
    // `pool_inflight` is the pool's in-flight total.
    bool prepare(const Inst& inst, const Key& pool_key, long long pool_inflight, const Now& now);
    // Whether `rec` has a free slot, replaying the step-by-step decision.
    bool free(const Rec& rec);
    // Write what the decisions changed: the trimmed dispatch window and the
    // pool's hot state.
    void commit();

private:
    const Inst* inst_ = nullptr;
    const Key* pool_key_ = nullptr;
    Mode mode_ = Mode::Other;
    long long pool_inflight_ = 0;
    double rate_ = 0.0;
    PyObject* window_ = nullptr;  // the pool's dispatch window, when it has one
    Py_ssize_t trim_ = 0;         // timestamps to drop from its left
    bool rate_used_ = false;      // some decision read the rate (and trimmed)
    PyObject* hot_state_ = nullptr;
    bool hot_ = false, hot_written_ = false;
};

// deque.append(arg) (`arg` given) or deque.popleft(): through the type's own
// `method` when `dq` is an exact deque, else by `name`.
void deque_call(const Module& m, PyObject* dq, const py::Ref& method, const py::Name& name, PyObject* arg = nullptr);

// _Waiter(pool_key, candidates, estimated_tokens, future, queued_at,
// boost_after_sec) when _Waiter is the module's unchanged dataclass: its
// generated __init__ sets the six fields in order, and so does this.
Ref new_waiter(const Module& m, py::Handle pool_key, py::Handle candidates, py::Handle estimated_tokens,
               py::Handle future, py::Handle queued_at, py::Handle boost_after_sec);

// `_record_dispatch(pool_key, rec)`, with the decision's clock reading
// (dispatch.cpp).
void record_dispatch(const Inst& inst, const Key& pool_key, const Rec& rec, const Now& now);

// The pools' dispatch windows, as the dispatch record keeps them and the
// dispatch rate reads them.
// Longest a pool's window may grow; older timestamps fall off the left.
inline constexpr long kWindowMaxLen = 4096;
// How far back the rate looks: max(0.5, HYBRID_RATE_WINDOW_SEC) (0.5 for a
// NaN as well).
inline double rate_window(double configured) { return configured > 0.5 ? configured : 0.5; }
// Dispatches per second: `n` retained dispatches over the age of the oldest
// one, never less than a millisecond.
inline double dispatch_rate(Py_ssize_t n, double now, double oldest) {
    double span = now - oldest;
    if (!(span > 0.001)) span = 0.001;
    return double(n) / span;
}

// The algorithm `algorithm` selects (normalize_lb_algorithm), compared with
// the module's names: 0 round-robin, 1 least-connections, 2 sticky.  False
// when `algorithm` is not None or an exact str.
bool algorithm_of(const Facts& f, py::Handle algorithm, int& out);

// The pickers, over eligible plain records (all with in-flight counts).
size_t least_connections_pick(const Recs& recs, const Small<size_t>& eligible);
// The sticky key must be an exact str whose UTF-8 form the caller has
// already obtained (PyUnicode_AsUTF8 succeeded): it is then cached, and
// this cannot fail.
void sticky_pick(py::Handle key, const Recs& recs, const Small<size_t>& eligible, size_t& out);

// The round-robin pick when the pool's lock is free, exact and unmodified:
// taking and releasing it around a pick that runs no Python code leaves it
// as it was, so it is only read.  Returns false (nothing changed) when the
// lock or the pool's state is not plain: the caller then awaits the pick.
bool wrr_pick(const Inst& inst, const Key& pool_key, const Recs& recs, const Small<size_t>& eligible,
              const Now& now, size_t& out);

}  // namespace lb::fast
