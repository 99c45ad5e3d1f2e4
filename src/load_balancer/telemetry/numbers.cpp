#include "telemetry/numbers.h"

#include <algorithm>
#include <cmath>

#include "py/ops.h"

namespace lb::telemetry {

namespace {

// round(x, 3) in exact integer arithmetic, for |x| < 2**53 / 1000: x is
// m * 2**e exactly, x * 1000 is rounded half to even to the integer k, and
// k / 1000 is the double nearest to the decimal k/1000 (the division is
// correctly rounded and k exact), which is what the builtin returns.
double round3_exact(double x) {
    int exp;
    double mant = std::frexp(std::fabs(x), &exp);  // |x| = mant * 2**exp, 0.5 <= mant < 1
    long long m = static_cast<long long>(std::ldexp(mant, 53));
    int e = exp - 53;  // |x| = m * 2**e
    __extension__ typedef unsigned __int128 u128;
    u128 p = u128(m) * 1000u;
    u128 k;
    if (e >= 0) {
        k = p << e;
    } else if (-e >= 120) {
        k = 0;  // far below half of 0.001
    } else {
        int sh = -e;
        k = p >> sh;
        u128 rem = p - (k << sh), half = u128(1) << (sh - 1);
        if (rem > half || (rem == half && (k & 1))) ++k;
    }
    double r = double(static_cast<long long>(k)) / 1000.0;
    return std::signbit(x) ? -r : r;
}

}  // namespace

py::Ref round3(double x) {
    // The builtin returns non-finite values unchanged; for the others it
    // takes the decimal digits of x correctly rounded to three places and
    // reads them back.  Formatting with 'f' and precision 3 rounds the same
    // way, so formatting and parsing the text gives the builtin's result.
    if (!std::isfinite(x)) return py::new_float(x);
    if (std::fabs(x) < 9e12) return py::new_float(round3_exact(x));
    char* text = PyOS_double_to_string(x, 'f', 3, 0, nullptr);
    if (!text) py::raise();
    double rounded = PyOS_string_to_double(text, nullptr, nullptr);
    PyMem_Free(text);
    if (rounded == -1.0 && PyErr_Occurred()) py::raise();
    return py::new_float(rounded);
}

void append_fixed4(std::string& out, double x) {
    char* text = PyOS_double_to_string(x, 'f', 4, 0, nullptr);
    if (!text) py::raise();
    out += text;
    PyMem_Free(text);
}

bool Samples::read(const Module& m, PyObject* samples) {
    values_.clear();
    objs_.clear();
    negative_zero_ = false;
    if (reinterpret_cast<PyObject*>(Py_TYPE(samples)) != m.deque_class.get()) return false;
    Py_ssize_t n = PySequence_Size(samples);
    if (n < 0) py::raise();
    values_.reserve(size_t(n));
    objs_.reserve(size_t(n));
    py::Ref it = py::Ref::steal(PyObject_GetIter(samples));
    iternextfunc next = Py_TYPE(it.get())->tp_iternext;
    // The deque keeps its items: each is borrowed once read.
    while (PyObject* item = next(it)) {
        Py_DECREF(item);
        py::Num v;
        if (!py::num(item, v) || std::isnan(v.v)) return false;
        negative_zero_ = negative_zero_ || (v.v == 0 && std::signbit(v.v));
        values_.push_back(v.v);
        objs_.push_back(item);
    }
    if (PyErr_Occurred()) py::raise();
    return true;
}

void Samples::at(size_t lo, size_t hi, PyObject*& at_lo, PyObject*& at_hi) {
    // The element at rank k of the stable sort: the k-th smallest (value,
    // position) pair.  The pairs are distinct, so once the one at hi is in
    // place, the one at lo is selected among those before it.
    std::vector<std::pair<double, size_t>> order(values_.size());
    for (size_t i = 0; i < values_.size(); ++i) order[i] = {values_[i], i};
    std::nth_element(order.begin(), order.begin() + std::ptrdiff_t(hi), order.end());
    std::nth_element(order.begin(), order.begin() + std::ptrdiff_t(lo), order.begin() + std::ptrdiff_t(hi));
    at_hi = objs_[order[hi].second];
    at_lo = objs_[order[lo].second];
}

void Samples::values_at(size_t lo, size_t hi, double& at_lo, double& at_hi) {
    if (negative_zero_) {
        PyObject *obj_lo, *obj_hi;
        at(lo, hi, obj_lo, obj_hi);
        at_lo = PyFloat_AsDouble(obj_lo);
        at_hi = PyFloat_AsDouble(obj_hi);
        return;
    }
    std::vector<double> v(values_);
    std::nth_element(v.begin(), v.begin() + std::ptrdiff_t(hi), v.end());
    at_hi = v[hi];
    std::nth_element(v.begin(), v.begin() + std::ptrdiff_t(lo), v.begin() + std::ptrdiff_t(hi));
    at_lo = lo < hi ? v[lo] : at_hi;
}

}  // namespace lb::telemetry
