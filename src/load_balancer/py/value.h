// Python objects as the values of a rule written once for two paths.
//
// A routing rule is a function template over its value type.  The native
// path instantiates it with plain C++ values (double, bool), which compute
// without running any code; the step-by-step path instantiates it with
// `py::Value`, whose operators are the interpreter's own (they may run code
// and raise), so that whatever objects a caller or an override hands over
// are treated as Python code would treat them.  A comparison of Values
// yields the comparison's own result object, and `truth` is the truth test
// both kinds of result share.
#pragma once

#include "py/ops.h"

namespace py {

class Value {
public:
    Value() = default;
    Value(Ref r) noexcept : ref_(std::move(r)) {}  // NOLINT: results of the C API convert implicitly
    static Value of(Handle h) { return Value(Ref::borrow(h)); }
    static Value of(bool b) { return Value(bool_(b)); }
    Handle handle() const noexcept { return ref_; }
    const Ref& ref() const noexcept { return ref_; }

private:
    Ref ref_;
};

inline Value operator+(const Value& a, const Value& b) { return Ref::steal(PyNumber_Add(a.handle(), b.handle())); }
inline Value operator-(const Value& a, const Value& b) { return Ref::steal(PyNumber_Subtract(a.handle(), b.handle())); }
inline Value operator*(const Value& a, const Value& b) { return Ref::steal(PyNumber_Multiply(a.handle(), b.handle())); }
inline Value operator/(const Value& a, const Value& b) {
    return Ref::steal(PyNumber_TrueDivide(a.handle(), b.handle()));
}
inline Value operator<(const Value& a, const Value& b) { return rich_compare(a.handle(), b.handle(), Py_LT); }
inline Value operator<=(const Value& a, const Value& b) { return rich_compare(a.handle(), b.handle(), Py_LE); }
inline Value operator>(const Value& a, const Value& b) { return rich_compare(a.handle(), b.handle(), Py_GT); }
inline Value operator>=(const Value& a, const Value& b) { return rich_compare(a.handle(), b.handle(), Py_GE); }
inline Value operator==(const Value& a, const Value& b) { return rich_compare(a.handle(), b.handle(), Py_EQ); }
inline Value operator!=(const Value& a, const Value& b) { return rich_compare(a.handle(), b.handle(), Py_NE); }

// The truth of a result: bool(x) for a Value, the value itself for a bool.
inline bool truth(const Value& v) { return truthy(v.handle()); }
inline bool truth(bool b) noexcept { return b; }

// Whether two elements are equal as a tuple comparison finds them (the
// first element that differs decides): identical objects are equal, others
// compare with ==; plain values compare as they are.
inline bool same(const Value& a, const Value& b) { return compare(a.handle(), b.handle(), Py_EQ); }
template <class T>
bool same(const T& a, const T& b) {
    return a == b;
}

// What a comparison of the value type `T` yields for "true": True, or true.
template <class T>
T yes();
template <>
inline bool yes<bool>() {
    return true;
}
template <>
inline Value yes<Value>() {
    return Value::of(true);
}
// ... and for "false".
template <class T>
T no();
template <>
inline bool no<bool>() {
    return false;
}
template <>
inline Value no<Value>() {
    return Value::of(false);
}

}  // namespace py
