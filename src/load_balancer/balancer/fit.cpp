// Token-fit filter: keep the backends whose input-token limit a request
// fits, smallest fitting limit first, backends without a limit last.
#include <algorithm>
#include <vector>

#include "module.h"

namespace lb {
namespace {

// A record with its sort key (no limit ? 1 : 0, int(limit or 0), id).
struct FitEntry {
    py::Ref record;
    int unlimited = 0;
    py::Ref limit;  // an int
    py::Ref id;
};

// `a < b` for one key element with Python's tuple semantics: -1 when the
// elements are equal, else whether a < b.  Plain ints that fit a machine
// word are compared directly.
int element_less(PyObject* a, PyObject* b) {
    if (PyLong_CheckExact(a) && PyLong_CheckExact(b)) {
        int oa = 0, ob = 0;
        long long x = PyLong_AsLongLongAndOverflow(a, &oa);
        long long y = PyLong_AsLongLongAndOverflow(b, &ob);
        if (!oa && !ob) return x == y ? -1 : (x < y ? 1 : 0);
    }
    if (py::compare(a, b, Py_EQ)) return -1;
    return py::compare(a, b, Py_LT) ? 1 : 0;
}

bool entry_less(const FitEntry& a, const FitEntry& b) {
    if (a.unlimited != b.unlimited) return a.unlimited < b.unlimited;
    int r = element_less(a.limit.get(), b.limit.get());
    if (r >= 0) return r;
    r = element_less(a.id.get(), b.id.get());
    return r > 0;
}

}  // namespace

PY_FUNCTION(lb_filter_by_fit, "LoadBalancer.filter_by_fit", "self, candidates, estimated_tokens")
(const py::Call&, const py::Args& a) {
    PyObject *candidates = a[1], *estimated = a[2];
    py::Ref zero = py::new_int(0);
    const bool keep_all = py::compare(estimated, zero.get(), Py_LE);

    std::vector<FitEntry> entries;
    py::for_each(candidates, [&](PyObject* s) {
        if (!keep_all) {
            // Fits when there is no limit or the limit is at least the estimate.
            py::Ref limit = py::get(s, names::max_input_tokens);
            if (!py::truthy(limit.get())) limit = zero;
            if (!py::compare(limit.get(), zero.get(), Py_EQ) && !py::compare(limit.get(), estimated, Py_GE)) return;
        }
        entries.push_back(FitEntry{py::Ref::borrow(s), 0, nullptr, nullptr});
    });

    // Keys are computed for every kept record, in order, before sorting.
    for (FitEntry& e : entries) {
        py::Ref limit = py::get(e.record.get(), names::max_input_tokens);
        e.unlimited = py::truthy(limit.get()) ? 0 : 1;
        e.limit = e.unlimited ? zero : py::to_int(limit.get());
        e.id = py::getitem(e.record.get(), names::id);
    }

    // Stable merge sort of the entries' addresses.  Comparisons run Python
    // code, so the sort must stay in bounds whatever they answer; the first
    // one that raises ends the sort and its error is reported.
    const size_t n = entries.size();
    std::vector<const FitEntry*> order(n), buf(n);
    for (size_t i = 0; i < n; ++i) order[i] = &entries[i];
    for (size_t width = 1; width < n; width *= 2) {
        for (size_t lo = 0; lo < n; lo += 2 * width) {
            size_t mid = std::min(lo + width, n), hi = std::min(lo + 2 * width, n);
            size_t i = lo, j = mid, k = lo;
            while (i < mid && j < hi) buf[k++] = entry_less(*order[j], *order[i]) ? order[j++] : order[i++];
            while (i < mid) buf[k++] = order[i++];
            while (j < hi) buf[k++] = order[j++];
        }
        order.swap(buf);
    }

    py::Ref out = py::new_list(Py_ssize_t(n));
    for (size_t i = 0; i < n; ++i) PyList_SET_ITEM(out.get(), Py_ssize_t(i), Py_NewRef(order[i]->record.get()));
    return out;
}

}  // namespace lb
