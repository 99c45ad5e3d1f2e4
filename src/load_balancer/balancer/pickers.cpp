// The synchronous pickers: weighted least-connections, and the sticky lookup
// by rendezvous hashing of (sticky key, server id).  Each order is one
// function template (or class), used by the step methods on the objects
// they are given and by the native decisions on plain records.
#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

#include "balancer/blake2b.h"
#include "balancer/methods.h"
#include "balancer/native.h"
#include "balancer/record.h"
#include "py/value.h"

namespace lb {

namespace pick {
namespace {

using py::same;
using py::truth;


// ---- least connections ----------------------------------------------------

// The load of a backend relative to its weight: in-flight / weight, or
// infinity for a weight of 0 or less (or NaN).
template <class N>
N conn_ratio(const N& inflight, const N& weight, const N& zero, const N& infinity) {
    return truth(weight > zero) ? inflight / weight : infinity;
}

// Whether the score (ratio, in-flight, id) of one backend is below another's,
// compared as tuples: the first element that differs decides.  `min` keeps
// the first of equal scores.
template <class R, class I, class D>
bool fewer_connections(const R& ratio_a, const I& inflight_a, const D& id_a, const R& ratio_b, const I& inflight_b,
                       const D& id_b) {
    if (!same(ratio_a, ratio_b)) return truth(ratio_a < ratio_b);
    if (!same(inflight_a, inflight_b)) return truth(inflight_a < inflight_b);
    if (!same(id_a, id_b)) return truth(id_a < id_b);
    return false;
}

// ---- rendezvous hashing ---------------------------------------------------

// The score of (key, id) is the first 8 bytes of BLAKE2b over
// f"{key}|{id}" in UTF-8, read big-endian; the highest score wins, the
// first listed on ties.
class Rendezvous {
public:
    void key(std::string_view utf8) {
        material_.assign(utf8);
        material_.push_back('|');
        prefix_ = material_.size();
    }
    // Whether the backend whose id reads `id_text` takes the lead.
    bool leads(std::string_view id_text) {
        material_.resize(prefix_);
        material_.append(id_text);
        uint64_t score = blake2b_8(material_.data(), material_.size());
        const bool lead = !any_ || score > best_;
        if (lead) best_ = score;
        any_ = true;
        return lead;
    }

private:
    std::string material_;
    size_t prefix_ = 0;
    uint64_t best_ = 0;
    bool any_ = false;
};

// The decimal text of a plain id.
std::string_view id_text(long long id, char (&buf)[24]) {
    auto res = std::to_chars(buf, buf + sizeof buf, id);
    return {buf, size_t(res.ptr - buf)};
}

// format(value, "") encoded as UTF-8.
std::string formatted(Handle value, Handle empty) {
    long long v;
    char buf[24];
    if (py::small_int(value, v)) return std::string(id_text(v, buf));
    Ref text = Ref::steal(PyObject_Format(value, empty));
    Py_ssize_t n = 0;
    const char* utf8 = py::check(PyUnicode_AsUTF8AndSize(text, &n));
    return std::string(utf8, size_t(n));
}

}  // namespace
}  // namespace pick

// ---- the step methods -------------------------------------------------------

namespace LoadBalancer {

Ref _least_connections_pick(const Call&, Handle self, Handle eligible) {
    Ref inflight = attr(self, names::inflight);
    const py::Value zero(py::new_float(0.0)), infinity(py::new_float(Py_HUGE_VAL));
    py::Value best_ratio, best_inflight, best_id;
    Ref best;
    py::for_each(eligible, [&](Handle s) {
        py::Value id = record::id(s);
        py::Value n = py::get(inflight, id.handle(), py::new_int(0));
        py::Value w = record::pick_weight(s);
        py::Value ratio = pick::conn_ratio(n, w, zero, infinity);
        if (best && !pick::fewer_connections(ratio, n, id, best_ratio, best_inflight, best_id)) return;
        best = Ref::borrow(s);
        best_ratio = std::move(ratio);
        best_inflight = std::move(n);
        best_id = std::move(id);
    });
    if (!best) py::raise(PyExc_ValueError, "min() iterable argument is empty");
    return best;
}

Ref _sticky_lookup(const Call& c, Handle, Handle eligible, Handle sticky_key) {
    if (!py::truthy(eligible)) return py::none();
    // The key part is formatted once and encoded once the first id is known.
    Handle empty = module_of(c).empty_str;
    Ref key_text = Ref::steal(PyObject_Format(sticky_key, empty));
    pick::Rendezvous hash;
    bool keyed = false;
    Ref best;
    py::for_each(eligible, [&](Handle s) {
        std::string id = pick::formatted(record::id(s), empty);
        if (!keyed) {
            Py_ssize_t n = 0;
            const char* utf8 = py::check(PyUnicode_AsUTF8AndSize(key_text, &n));
            hash.key({utf8, size_t(n)});
            keyed = true;
        }
        if (hash.leads(id)) best = Ref::borrow(s);
    });
    return best ? std::move(best) : py::none();
}

}  // namespace LoadBalancer

// ---- the native picks -------------------------------------------------------------

namespace fast {

size_t least_connections_pick(const Recs& recs, const Small<size_t>& eligible) {
    auto ratio = [&](const Rec& r) { return pick::conn_ratio(double(r.inflight), r.weight, 0.0, Py_HUGE_VAL); };
    size_t best = eligible[0];
    double best_ratio = ratio(recs[best]);
    for (size_t k = 1; k < eligible.size(); ++k) {
        const Rec& r = recs[eligible[k]];
        const Rec& b = recs[best];
        const double rr = ratio(r);
        if (pick::fewer_connections(rr, r.inflight, r.id_v, best_ratio, b.inflight, b.id_v)) {
            best = eligible[k];
            best_ratio = rr;
        }
    }
    return best;
}

size_t sticky_pick(py::Handle key, const Recs& recs, const Small<size_t>& eligible) {
    Py_ssize_t n = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &n);  // cached: see the header
    pick::Rendezvous hash;
    hash.key({utf8, size_t(n)});
    size_t out = eligible[0];
    for (size_t k = 0; k < eligible.size(); ++k) {
        char buf[24];
        if (hash.leads(pick::id_text(recs[eligible[k]].id_v, buf))) out = eligible[k];
    }
    return out;
}

}  // namespace fast

}  // namespace lb
