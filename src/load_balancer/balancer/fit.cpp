// Token-fit filter: keep the backends whose input-token limit a request
// fits, smallest fitting limit first, backends without a limit last.
#include <algorithm>
#include <cmath>
#include <tuple>

#include "balancer/methods.h"
#include "balancer/record.h"
#include "balancer/native.h"

namespace lb::LoadBalancer {
namespace {

// The filter over plain records (exact dicts with an exact int id and a
// plain-number limit, or none) and a plain-number estimate, in one pass:
// the same keys, the same stable order.  NULL when something is not plain
// (nothing has run that the steps would not run again).
Ref filter_plain(Handle candidates, Handle estimated) {
    py::Num est;
    // A NaN estimate (which keeps the backends without a limit) is left to
    // the steps.
    if (!PyList_CheckExact(candidates.get()) || !py::num(estimated, est) || std::isnan(est.v)) return {};
    const bool keep_all = est.v <= 0;
    struct Key {
        int unlimited;
        long long limit, id;
        Py_ssize_t pos;
        PyObject* rec;  // held (see below)
        bool operator<(const Key& o) const {
            return std::tie(unlimited, limit, id, pos) < std::tie(o.unlimited, o.limit, o.id, o.pos);
        }
    };
    // The kept records are held: a signal handler run between two steps
    // may change the list.  What is not handed to the result is let go.
    struct Keys : fast::Small<Key, 64> {
        size_t given = 0;
        ~Keys() {
            for (size_t k = given; k < size(); ++k) Py_DECREF((*this)[k].rec);
        }
    } keys;
    fast::Fields<2> fields({&names::max_input_tokens, &names::id});
    std::array<PyObject*, 2> v;
    // The length is read at every step: a signal handler may change the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(candidates.get()); ++i) {
        py::poll_signals(i);
        PyObject* s = PyList_GET_ITEM(candidates.get(), i);
        if (!PyDict_CheckExact(s) || !fields.read(s, v)) return {};
        PyObject* raw = v[0];
        py::Num lim{0.0, true};
        if (raw && raw != Py_None && !py::num(raw, lim)) return {};
        const bool unlimited = lim.v == 0.0;  // a missing, None or zero limit (NaN is a limit)
        if (!keep_all && !unlimited && !(lim.v >= est.v)) continue;
        long long limit = 0, id;
        if (!unlimited) {
            if (!std::isfinite(lim.v) || std::fabs(lim.v) > 9e15) return {};  // int() raises, or is not exact
            limit = static_cast<long long>(lim.v);
        }
        if (!v[1] || !py::small_int(v[1], id)) return {};
        Key& k = keys.grow();
        k.unlimited = unlimited ? 1 : 0;
        k.limit = limit;
        k.id = id;
        k.pos = i;
        k.rec = Py_NewRef(s);
    }
    // A stable sort: the position breaks every tie.
    Key* first = &keys[0];
    std::sort(first, first + keys.size());
    Ref out = py::new_list(Py_ssize_t(keys.size()));
    for (; keys.given < keys.size(); ++keys.given)
        PyList_SET_ITEM(out.get(), Py_ssize_t(keys.given), keys[keys.given].rec);
    return out;
}

}  // namespace

Ref filter_by_fit(const Call&, Handle, Handle candidates, Handle estimated) {
    if (Ref out = filter_plain(candidates, estimated)) return out;
    Ref zero = py::new_int(0), one = py::new_int(1);
    const bool keep_all = py::compare(estimated, zero, Py_LE);

    Ref kept = py::new_list();
    py::for_each(candidates, [&](Handle s) {
        if (!keep_all) {
            // Fits when there is no limit or the limit is at least the estimate:
            // (limit or 0) == 0 or (limit or 0) >= estimated.
            Ref limit = record::input_limit(s);
            if (limit && !py::compare(limit, zero, Py_EQ) && !py::compare(limit, estimated, Py_GE)) return;
        }
        py::append(kept, s);
    });

    // Sort keys (no limit ? 1 : 0, int(limit or 0), id), computed for every
    // kept record in order.  The interpreter's own stable sort orders
    // (key..., position) tuples, which stays safe however the objects
    // compare: the position breaks ties, so equal keys keep their order and
    // records are never compared.  (Plain records took the filter above.)
    const Py_ssize_t n = PyList_GET_SIZE(kept.get());
    Ref keys = py::new_list(n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Handle s = PyList_GET_ITEM(kept.get(), i);
        Ref limit = record::input_limit(s);
        Handle flag = limit ? zero : one;
        Ref limit_int = limit ? py::to_int(limit) : zero;
        Ref id = record::id(s);
        Ref pos = py::new_int(i);
        PyList_SET_ITEM(keys.get(), i, py::check(PyTuple_Pack(4, flag.get(), limit_int.get(), id.get(), pos.get())));
    }
    py::check_int(PyList_Sort(keys.get()));

    Ref out = py::new_list(n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_ssize_t pos = PyLong_AsSsize_t(PyTuple_GET_ITEM(PyList_GET_ITEM(keys.get(), i), 3));
        PyList_SET_ITEM(out.get(), i, Py_NewRef(PyList_GET_ITEM(kept.get(), pos)));
    }
    return out;
}

}  // namespace lb::LoadBalancer
