// Interned attribute and global names, created once on first use.
//
//     static py::Name n_inflight{"inflight"};
//     py::getattr(self, n_inflight);
//
// Interned strings are immortal, so the cached pointer stays valid for the
// life of the process.
#pragma once

#include "py/ref.h"

namespace py {

class Name {
public:
    constexpr explicit Name(const char* s) noexcept : s_(s) {}
    PyObject* get() {
        if (!obj_) obj_ = check(PyUnicode_InternFromString(s_));
        return obj_;
    }
    operator PyObject*() { return get(); }
    const char* c_str() const noexcept { return s_; }

private:
    const char* s_;
    PyObject* obj_ = nullptr;
};

}  // namespace py
