// Token-fit filter: keep the backends whose input-token limit a request
// fits, smallest fitting limit first, backends without a limit last.
#include <algorithm>
#include <tuple>
#include <vector>

#include "module.h"

namespace lb {
namespace {

// An exact int that fits a machine word, or false.
bool small_int(PyObject* o, long long* out) {
    if (!PyLong_CheckExact(o)) return false;
    int overflow = 0;
    *out = PyLong_AsLongLongAndOverflow(o, &overflow);
    return !overflow;
}

}  // namespace

PY_FUNCTION(lb_filter_by_fit, "LoadBalancer.filter_by_fit", "self, candidates, estimated_tokens")
(const py::Call&, const py::Args& a) {
    PyObject *candidates = a[1], *estimated = a[2];
    py::Ref zero = py::new_int(0), one = py::new_int(1);
    const bool keep_all = py::compare(estimated, zero.get(), Py_LE);

    py::Ref kept = py::new_list();
    py::for_each(candidates, [&](PyObject* s) {
        if (!keep_all) {
            // Fits when there is no limit or the limit is at least the estimate.
            py::Ref limit = py::get(s, names::max_input_tokens);
            if (!py::truthy(limit.get())) limit = zero;
            if (!py::compare(limit.get(), zero.get(), Py_EQ) && !py::compare(limit.get(), estimated, Py_GE)) return;
        }
        py::append(kept.get(), s);
    });

    // Sort keys (no limit ? 1 : 0, int(limit or 0), id), computed for every
    // kept record in order.  When every limit and id is a machine-word int
    // the keys are sorted as integers; otherwise the interpreter's own
    // stable sort orders (key..., position) tuples, which stays safe however
    // the objects compare.  Either way the position breaks ties, so equal
    // keys keep their order and records are never compared.
    const Py_ssize_t n = PyList_GET_SIZE(kept.get());
    struct Key {
        bool unlimited;
        py::Ref limit, id;  // int(limit or 0), the record's id
    };
    std::vector<Key> key_objs;
    std::vector<std::tuple<int, long long, long long, Py_ssize_t>> ints;
    bool all_ints = true;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* s = PyList_GET_ITEM(kept.get(), i);
        py::Ref limit = py::get(s, names::max_input_tokens);
        bool unlimited = !py::truthy(limit.get());
        py::Ref limit_int = unlimited ? zero : py::to_int(limit.get());
        py::Ref id = py::getitem(s, names::id);
        long long l = 0, sid = 0;
        all_ints = all_ints && small_int(limit_int.get(), &l) && small_int(id.get(), &sid);
        if (all_ints) ints.emplace_back(unlimited ? 1 : 0, l, sid, i);
        key_objs.push_back(Key{unlimited, std::move(limit_int), std::move(id)});
    }

    std::vector<Py_ssize_t> order;
    order.reserve(size_t(n));
    if (all_ints) {
        std::sort(ints.begin(), ints.end());
        for (auto& k : ints) order.push_back(std::get<3>(k));
    } else {
        py::Ref keys = py::new_list(n);
        for (Py_ssize_t i = 0; i < n; ++i) {
            const Key& k = key_objs[size_t(i)];
            py::Ref pos = py::new_int(i);
            PyObject* flag = k.unlimited ? one.get() : zero.get();
            PyList_SET_ITEM(keys.get(), i, py::check(PyTuple_Pack(4, flag, k.limit.get(), k.id.get(), pos.get())));
        }
        py::check_int(PyList_Sort(keys.get()));
        for (Py_ssize_t i = 0; i < n; ++i)
            order.push_back(PyLong_AsSsize_t(PyTuple_GET_ITEM(PyList_GET_ITEM(keys.get(), i), 3)));
    }

    py::Ref out = py::new_list(n);
    for (Py_ssize_t i = 0; i < n; ++i)
        PyList_SET_ITEM(out.get(), i, Py_NewRef(PyList_GET_ITEM(kept.get(), order[size_t(i)])));
    return out;
}

}  // namespace lb
