// Interned attribute, key and global names.
//
//     inline py::Name inflight{"inflight"};
//     py::getattr(self, names::inflight);
//
// Declaring a Name only records its text (no Python call happens during the
// library's static initialisation); `Name::intern_all` creates every string
// when the module executes, before any of them is used.  Interned strings are
// immortal, so the pointers stay valid for the life of the process.
#pragma once

#include "py/ref.h"

namespace py {

class Name {
public:
    explicit Name(const char* s) noexcept : s_(s), next_(head_) { head_ = this; }
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    PyObject* get() const noexcept {
        assert(obj_ && "name used before the module executed");
        return obj_;
    }
    operator PyObject*() const noexcept { return get(); }
    operator Handle() const noexcept { return Handle(get()); }
    const char* c_str() const noexcept { return s_; }

    // Intern every declared name (idempotent).
    static void intern_all() {
        for (Name* n = head_; n; n = n->next_) {
            if (n->obj_) continue;
            n->obj_ = check(PyUnicode_InternFromString(n->s_));
        }
    }

private:
    const char* s_;
    PyObject* obj_ = nullptr;
    Name* next_;
    static inline constinit Name* head_ = nullptr;
};

}  // namespace py
