// Numbers as the telemetry renders them: the interpreter's round(x, 3) and
// format(x, ".4f"), and the order statistics of the wait samples.
#pragma once

#include <string>
#include <vector>

#include "module.h"

namespace lb::telemetry {

// round(x, 3) of a float, with the interpreter's own correctly rounded
// decimal conversion (the builtin rounds the same way).
py::Ref round3(double x);

// format(x, ".4f") of a float, appended as text.
void append_fixed4(std::string& out, double x);

// Where the wait-time percentiles are read in n > 0 sorted samples: the
// median at n // 2; the 95th percentile at int(0.95 * n) once there are 20
// samples (`has_p95`), else at the last one.
inline size_t p50_index(size_t n) { return n / 2; }
inline bool has_p95(size_t n) { return n >= 20; }
inline size_t p95_index(size_t n) { return has_p95(n) ? size_t(0.95 * double(n)) : n - 1; }

// The wait samples of an exact deque of plain numbers, for order
// statistics: the element at rank k is the one a stable ascending sort of
// them would put at index k.
class Samples {
public:
    // False when `samples` is not an exact deque of plain numbers (exact
    // floats, bools, exact ints up to 2**53 in size), or holds a NaN (whose
    // sort order the interpreter's sort decides).
    bool read(const Module& m, PyObject* samples);
    size_t size() const { return values_.size(); }
    // The elements at two ranks lo <= hi, borrowed from the deque (valid
    // while nothing changes it).
    void at(size_t lo, size_t hi, PyObject*& at_lo, PyObject*& at_hi);
    // The values at two ranks lo <= hi: equal values are then the same
    // number, unless a negative zero is among them (told apart by its sign),
    // so selecting on the values alone is enough.
    void values_at(size_t lo, size_t hi, double& at_lo, double& at_hi);

private:
    bool negative_zero_ = false;
    std::vector<double> values_;
    std::vector<PyObject*> objs_;  // borrowed, in deque order
};

}  // namespace lb::telemetry
