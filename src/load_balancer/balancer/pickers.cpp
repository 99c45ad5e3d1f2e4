// The synchronous pickers: weighted least-connections, and the sticky lookup
// by rendezvous hashing of (sticky key, server id).
#include <charconv>
#include <cstdint>
#include <string>

#include "module.h"

namespace lb {
namespace {

py::Name n_digest{"digest"}, n_digest_size{"digest_size"}, n_blake2b{"blake2b"}, n_copy{"copy"}, n_update{"update"};

// ---- weights --------------------------------------------------------------

// float(s.get("weight") or 1.0), as a float object.
py::Ref pick_weight(PyObject* s) {
    py::Ref raw = py::get(s, names::weight);
    if (!py::truthy(raw.get())) return py::new_float(1.0);
    return py::to_float(raw.get());
}

// ---- least connections ----------------------------------------------------

// A record's score (ratio, inflight, id), compared as a tuple.  The ratio is
// kept as a double when it is a float (the normal case) and as the object
// the division produced otherwise.
struct LeastConnScore {
    double ratio = 0.0;
    py::Ref ratio_obj;  // set only when the ratio is not a plain float
    py::Ref inflight;
    py::Ref id;
    py::Ref record;

    py::Ref ratio_ref() const { return ratio_obj ? ratio_obj : py::new_float(ratio); }
};

LeastConnScore least_conn_score(PyObject* inflight_map, PyObject* s) {
    LeastConnScore sc;
    sc.record = py::Ref::borrow(s);
    sc.id = py::getitem(s, names::id);
    py::Ref zero = py::new_int(0);
    sc.inflight = py::get(inflight_map, sc.id.get(), zero.get());
    py::Ref w = pick_weight(s);
    double wd = py::as_double(w.get());
    if (!(wd > 0.0)) {
        sc.ratio = Py_HUGE_VAL;  // negative, zero or NaN weight
        return sc;
    }
    PyObject* n = sc.inflight.get();
    if (PyLong_CheckExact(n) || PyFloat_CheckExact(n)) {
        sc.ratio = py::as_double(n) / wd;  // int / float, as Python divides them
        return sc;
    }
    py::Ref q = py::Ref::steal(PyNumber_TrueDivide(n, w.get()));
    if (PyFloat_CheckExact(q.get()))
        sc.ratio = PyFloat_AS_DOUBLE(q.get());
    else
        sc.ratio_obj = std::move(q);
    return sc;
}

// One element of a tuple comparison: whether `a < b` decides, and how.
// Returns -1 when the elements are equal (the next element decides).
int element_less(PyObject* a, PyObject* b) {
    if (py::compare(a, b, Py_EQ)) return -1;
    return py::compare(a, b, Py_LT) ? 1 : 0;
}

bool least_conn_less(const LeastConnScore& a, const LeastConnScore& b) {
    int r;
    if (!a.ratio_obj && !b.ratio_obj) {
        r = a.ratio == b.ratio ? -1 : (a.ratio < b.ratio ? 1 : 0);
    } else {
        r = element_less(a.ratio_ref().get(), b.ratio_ref().get());
    }
    if (r >= 0) return r;
    if ((r = element_less(a.inflight.get(), b.inflight.get())) >= 0) return r;
    if ((r = element_less(a.id.get(), b.id.get())) >= 0) return r;
    return false;
}

// ---- rendezvous hashing ---------------------------------------------------

// BLAKE2b with an 8-byte digest length, taken from the interpreter's hashlib:
// an empty hasher made once with that digest length is copied for each
// score (the digest length is fixed when the hasher is created).
PyObject* blake2b_template() {
    static PyObject* tmpl = [] {
        py::Ref hashlib = py::Ref::steal(PyImport_ImportModule("hashlib"));
        py::Ref ctor = py::getattr(hashlib.get(), n_blake2b);
        static PyObject* kw = py::kwnames({&n_digest_size});
        py::Ref size = py::new_int(8);
        return py::call_kw(ctor.get(), {size.get()}, kw).release();
    }();
    return tmpl;
}

// The digest of `material` read as an unsigned big-endian integer.
uint64_t rendezvous_score(const std::string& material) {
    py::Ref data = py::Ref::steal(PyBytes_FromStringAndSize(material.data(), Py_ssize_t(material.size())));
    py::Ref h = py::call_method(blake2b_template(), n_copy);
    py::call_method(h.get(), n_update, data.get());
    py::Ref digest = py::call_method(h.get(), n_digest);
    if (!PyBytes_Check(digest.get()) || PyBytes_GET_SIZE(digest.get()) != 8)
        py::raise(PyExc_SystemError, "unexpected BLAKE2b digest");
    auto* p = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(digest.get()));
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
    return v;
}

// Append format(value, "") encoded as UTF-8.
void append_formatted(std::string& out, PyObject* value) {
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (!overflow) {
            if (v == -1 && PyErr_Occurred()) py::raise();
            char buf[24];
            auto res = std::to_chars(buf, buf + sizeof buf, v);
            out.append(buf, res.ptr);
            return;
        }
    }
    py::Ref empty = py::Ref::steal(PyUnicode_FromStringAndSize("", 0));
    py::Ref text = py::Ref::steal(PyObject_Format(value, empty.get()));
    Py_ssize_t n = 0;
    const char* utf8 = py::check(PyUnicode_AsUTF8AndSize(text.get(), &n));
    out.append(utf8, size_t(n));
}

}  // namespace

PY_FUNCTION(lb_least_connections_pick, "LoadBalancer._least_connections_pick", "self, eligible")
(const py::Call&, const py::Args& a) {
    py::Ref inflight = attr(a[0], names::inflight);
    LeastConnScore best;
    bool any = false;
    py::for_each(a[1], [&](PyObject* s) {
        LeastConnScore sc = least_conn_score(inflight.get(), s);
        if (!any || least_conn_less(sc, best)) best = std::move(sc);
        any = true;
    });
    if (!any) py::raise(PyExc_ValueError, "min() iterable argument is empty");
    return std::move(best.record);
}

PY_FUNCTION(lb_sticky_lookup, "LoadBalancer._sticky_lookup", "self, eligible, sticky_key")
(const py::Call&, const py::Args& a) {
    PyObject *eligible = a[1], *sticky_key = a[2];
    if (!py::truthy(eligible)) return py::none();

    // The material is f"{sticky_key}|{id}" in UTF-8: the key part is
    // formatted once and each record's id appended to it.
    py::Ref empty = py::Ref::steal(PyUnicode_FromStringAndSize("", 0));
    py::Ref key_text = py::Ref::steal(PyObject_Format(sticky_key, empty.get()));
    std::string material;
    size_t prefix = 0;
    bool have_prefix = false;

    py::Ref best;
    uint64_t best_score = 0;
    py::for_each(eligible, [&](PyObject* s) {
        py::Ref sid = py::getitem(s, names::id);
        if (have_prefix) {
            material.resize(prefix);
            append_formatted(material, sid.get());
        } else {
            // First record: the text is complete before it is encoded.
            std::string id_text;
            append_formatted(id_text, sid.get());
            Py_ssize_t n = 0;
            const char* utf8 = py::check(PyUnicode_AsUTF8AndSize(key_text.get(), &n));
            material.reserve(size_t(n) + 24);
            material.assign(utf8, size_t(n));
            material.push_back('|');
            prefix = material.size();
            have_prefix = true;
            material += id_text;
        }
        uint64_t score = rendezvous_score(material);
        if (!best || score > best_score) {
            best = py::Ref::borrow(s);
            best_score = score;
        }
    });
    return best ? std::move(best) : py::none();
}

}  // namespace lb
