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

// The wait samples of an exact deque of plain numbers, for order
// statistics: `at(k)` is the element a stable ascending sort of them would
// put at index k.
class Samples {
public:
    // False when `samples` is not an exact deque of exact floats and ints,
    // or holds a NaN (whose sort order the interpreter's sort decides).
    bool read(const Module& m, PyObject* samples);
    size_t size() const { return values_.size(); }
    // Borrowed from the deque (valid while nothing changes it).
    PyObject* at(size_t k);
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
