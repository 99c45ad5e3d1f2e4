// Where the call layer sends a call: natively or by attribute name.
#include "balancer/methods.h"

namespace lb {

const Module* resolve(const py::Call&, py::Handle, const py::Method&) { return nullptr; }

}  // namespace lb
