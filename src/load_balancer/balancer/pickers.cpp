// The synchronous pickers: weighted least-connections, and the sticky lookup
// by rendezvous hashing of (sticky key, server id).
#include <charconv>
#include <cstdint>
#include <string>

#include "balancer/blake2b.h"
#include "balancer/methods.h"
#include "balancer/record.h"

namespace lb::LoadBalancer {
namespace {

// ---- least connections ----------------------------------------------------

// A record's score (ratio, inflight, id), compared as a tuple.  The ratio is
// kept as a double when it is a float (the normal case) and as the object
// the division produced otherwise.
struct LeastConnScore {
    double ratio = 0.0;
    Ref ratio_obj;  // set only when the ratio is not a plain float
    Ref inflight;
    Ref id;
    Ref record;

    Ref ratio_ref() const { return ratio_obj ? ratio_obj : py::new_float(ratio); }
};

LeastConnScore least_conn_score(Handle inflight_map, Handle s) {
    LeastConnScore sc;
    sc.record = Ref::borrow(s);
    sc.id = record::id(s);
    sc.inflight = py::get(inflight_map, sc.id, py::new_int(0));
    Ref w = record::pick_weight(s);
    double wd = PyFloat_AS_DOUBLE(w.get());
    if (!(wd > 0.0)) {
        sc.ratio = Py_HUGE_VAL;  // negative, zero or NaN weight
        return sc;
    }
    Handle n = sc.inflight;
    if (PyLong_CheckExact(n.get()) || PyFloat_CheckExact(n.get())) {
        sc.ratio = py::as_double(n) / wd;  // int / float, as Python divides them
        return sc;
    }
    Ref q = Ref::steal(PyNumber_TrueDivide(n, w));
    if (PyFloat_CheckExact(q.get()))
        sc.ratio = PyFloat_AS_DOUBLE(q.get());
    else
        sc.ratio_obj = std::move(q);
    return sc;
}

// One element of a tuple comparison: whether `a < b` decides, and how.
// Returns -1 when the elements are equal (the next element decides).
int element_less(Handle a, Handle b) {
    if (py::compare(a, b, Py_EQ)) return -1;
    return py::compare(a, b, Py_LT) ? 1 : 0;
}

bool least_conn_less(const LeastConnScore& a, const LeastConnScore& b) {
    int r;
    if (!a.ratio_obj && !b.ratio_obj)
        r = a.ratio == b.ratio ? -1 : (a.ratio < b.ratio ? 1 : 0);
    else
        r = element_less(a.ratio_ref(), b.ratio_ref());
    if (r >= 0) return r;
    if ((r = element_less(a.inflight, b.inflight)) >= 0) return r;
    if ((r = element_less(a.id, b.id)) >= 0) return r;
    return false;
}

// ---- rendezvous hashing ---------------------------------------------------

// Append format(value, "") encoded as UTF-8.
void append_formatted(std::string& out, Handle value, Handle empty) {
    long long v;
    if (py::small_int(value, v)) {
        char buf[24];
        auto res = std::to_chars(buf, buf + sizeof buf, v);
        out.append(buf, res.ptr);
        return;
    }
    Ref text = Ref::steal(PyObject_Format(value, empty));
    Py_ssize_t n = 0;
    const char* utf8 = py::check(PyUnicode_AsUTF8AndSize(text, &n));
    out.append(utf8, size_t(n));
}

}  // namespace

Ref _least_connections_pick(const Call&, Handle self, Handle eligible) {
    Ref inflight = attr(self, names::inflight);
    LeastConnScore best;
    bool any = false;
    py::for_each(eligible, [&](Handle s) {
        LeastConnScore sc = least_conn_score(inflight, s);
        if (!any || least_conn_less(sc, best)) best = std::move(sc);
        any = true;
    });
    if (!any) py::raise(PyExc_ValueError, "min() iterable argument is empty");
    return std::move(best.record);
}

Ref _sticky_lookup(const Call& c, Handle, Handle eligible, Handle sticky_key) {
    if (!py::truthy(eligible)) return py::none();

    // The material is f"{sticky_key}|{id}" in UTF-8: the key part is
    // formatted once and each record's id appended to it.
    Handle empty = module_of(c).empty_str;
    Ref key_text = Ref::steal(PyObject_Format(sticky_key, empty));
    std::string material;
    size_t prefix = 0;
    bool have_prefix = false;

    Ref best;
    uint64_t best_score = 0;
    py::for_each(eligible, [&](Handle s) {
        Ref sid = record::id(s);
        if (have_prefix) {
            material.resize(prefix);
            append_formatted(material, sid, empty);
        } else {
            // First record: the text is complete before it is encoded.
            std::string id_text;
            append_formatted(id_text, sid, empty);
            Py_ssize_t n = 0;
            const char* utf8 = py::check(PyUnicode_AsUTF8AndSize(key_text, &n));
            material.reserve(size_t(n) + 24);
            material.assign(utf8, size_t(n));
            material.push_back('|');
            prefix = material.size();
            have_prefix = true;
            material += id_text;
        }
        uint64_t score = blake2b_8(material.data(), material.size());
        if (!best || score > best_score) {
            best = Ref::borrow(s);
            best_score = score;
        }
    });
    return best ? std::move(best) : py::none();
}

}  // namespace lb::LoadBalancer
