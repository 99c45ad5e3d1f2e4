// The dispatch window of a pool: the timestamps of its recent dispatches,
// and the rate they give.  The rules, and the window as the native
// decisions read it (dispatch.cpp).
#pragma once

#include "module.h"

namespace lb::dispatch {

// Longest a pool's window may grow; older timestamps fall off the left.
inline constexpr long kWindowMaxLen = 4096;

// How far back the rate looks: max(0.5, HYBRID_RATE_WINDOW_SEC) (0.5 for a
// NaN as well).
double window_length(double configured);
// Whether a timestamp has left the window that ends at `cutoff`.
bool stale(double ts, double cutoff);
// Dispatches per second: `n` retained dispatches over the age of the oldest
// one, never less than a millisecond.
double rate(Py_ssize_t n, double now, double oldest);

// A pool's window read natively: an exact deque of plain timestamps, how
// many of its oldest have left the window, and the rate of the rest.
class Window {
public:
    // Read `deque` (None: an empty window) for `cutoff`; false when it is not
    // an exact deque of plain numbers.
    bool read(const Module& m, PyObject* deque, double cutoff);
    // Dispatches per second at `now` over what the cutoff leaves (0.0 for an
    // empty window).
    double rate_at(double now) const;
    // Drop what the cutoff trims, as the step trims it.
    void commit(const Module& m) const;
    PyObject* deque() const { return deque_.get(); }
    Py_ssize_t left() const { return size_ - trim_; }
    double oldest() const { return oldest_; }

private:
    py::Ref deque_;
    Py_ssize_t size_ = 0, trim_ = 0;
    double oldest_ = 0.0;  // the oldest timestamp the cutoff leaves
};

}  // namespace lb::dispatch
