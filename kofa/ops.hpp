// The object-protocol operations that the fits are written in.
//
// Each operation returns an owned result or, when the interpreter or NumPy
// fails, throws PythonError with the Python exception left pending. The fit's
// boundary (fits/fit.hpp) catches it, adds the one traceback entry and returns
// null, so a fit reads as a plain sequence of steps.
//
// Every result passes one of the checks below, which turn a failure that set
// no exception into a SystemError (errors.hpp): checked_call for calls,
// checked and check_status for every other operation.
//
// House rule: C++ leaves the order of a call's arguments and of an operator's
// two operands unspecified (g++ and clang differ), while every NumPy and
// interpreter operation of a fit has its documented place. So an argument list
// or an operator's operands hold at most one expression that calls into
// Python; everything else is bound to a named local first, in the order in
// which the fit's plain-Python rendering (tests/reference.py) evaluates it.
// Where a value is evaluated once instead of twice, that one evaluation sits
// where the rendering's first one does.
#pragma once

#include "kofa/errors.hpp"
#include "kofa/globals.hpp"
#include "kofa/print.hpp"
#include "kofa/state.hpp"

#include <cstddef>
#include <utility>

namespace kofa {

// A Python exception is pending; thrown only between a fit's own frames.
struct PythonError {};

// Ends the step after a failure, with an exception pending: SystemError
// `silent_text` if the failed operation set none.
[[noreturn]] inline void throw_failure(const char* silent_text) {
    ensure_exception(silent_text);
    throw PythonError{};
}

// The result of an operation other than a call.
inline Ref checked(PyObject* result) {
    if (result == nullptr) throw_failure(kSilentOperation);
    return Ref::steal(result);
}

inline void check_status(int status) {
    if (status < 0) throw_failure(kSilentOperation);
}

// The result of a call.
inline Ref checked_call(PyObject* result) {
    if (result == nullptr) throw_failure(kSilentCall);
    return Ref::steal(result);
}

[[noreturn]] inline void raise_unbound_local(const char* name) {
    PyErr_Format(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment", name);
    throw PythonError{};
}

// ---- operands ---------------------------------------------------------------
//
// An operand is either a value somebody else keeps (a View, a named Ref) or
// a temporary handed over with its reference (an rvalue Ref). An operator
// releases the temporaries as soon as its result exists, in the order in
// which the interpreter's binary operators and comparisons release theirs
// (compat::kOperandsReleasedRightFirst), so that `a() / b()` frees its
// operands where the rendering's does, before the old value of the local it
// is assigned to.

class Operand {
  public:
    Operand(View value) : value_(value) {}
    Operand(const Ref& value) : value_(value) {}
    Operand(Ref&& temporary) : owned_(std::move(temporary)), value_(owned_) {}
    Operand(const Operand&) = delete;
    Operand& operator=(const Operand&) = delete;
    PyObject* get() const { return value_.get(); }
    operator View() const { return value_; }
    // Lets go of a temporary now; a borrowed value stays untouched.
    void release() { owned_.reset(); }

  private:
    Ref owned_;
    View value_;
};

// The result of `left op right` once both operands are released in the
// interpreter's order; checked after that, as the interpreter releases them
// before it looks at the result.
inline Ref released_then_checked(PyObject* result, Operand& left, Operand& right) {
    if (compat::kOperandsReleasedRightFirst) right.release();
    left.release();
    right.release();
    return checked(result);
}

// ---- attributes, items, truth -------------------------------------------

inline Ref attr(View object, View name) { return checked(PyObject_GetAttr(object.get(), name.get())); }
inline Ref item(View object, View key) { return checked(PyObject_GetItem(object.get(), key.get())); }
// object[key] = value; a key or value handed over as a temporary goes once
// the store is done, in the order in which the interpreter's item store
// releases them (compat::kItemStoreReleasesKeyFirst).
inline void set_item(View object, Operand key, Operand value) {
    const int status = PyObject_SetItem(object.get(), key.get(), value.get());
    if (compat::kItemStoreReleasesKeyFirst) key.release();
    value.release();
    key.release();
    check_status(status);
}
inline bool truth(View object) {
    const int result = PyObject_IsTrue(object.get());
    check_status(result);
    return result != 0;
}

// The module global `numpy`, read afresh at every use.
inline Ref numpy() { return checked(lookup_module_global(id.numpy)); }
inline Ref numpy_attr(View name) { return attr(numpy(), name); }

// ---- arithmetic and comparisons (element-wise for arrays) ----------------

inline Ref operator-(Operand a, Operand b) {
    return released_then_checked(PyNumber_Subtract(a.get(), b.get()), a, b);
}
inline Ref operator*(Operand a, Operand b) {
    return released_then_checked(PyNumber_Multiply(a.get(), b.get()), a, b);
}
inline Ref operator/(Operand a, Operand b) {
    return released_then_checked(PyNumber_TrueDivide(a.get(), b.get()), a, b);
}
inline Ref power(View base, View exponent) {
    return checked(PyNumber_Power(base.get(), exponent.get(), Py_None));
}

inline Ref absolute(View a) { return checked(PyNumber_Absolute(a.get())); }
inline Ref greater(Operand a, Operand b) {
    return released_then_checked(PyObject_RichCompare(a.get(), b.get(), Py_GT), a, b);
}
inline Ref less(Operand a, Operand b) {
    return released_then_checked(PyObject_RichCompare(a.get(), b.get(), Py_LT), a, b);
}
inline Ref equal(Operand a, Operand b) {
    return released_then_checked(PyObject_RichCompare(a.get(), b.get(), Py_EQ), a, b);
}

// ---- calls ----------------------------------------------------------------
//
// Calls go through the callee's vectorcall slot where it has one, so that a
// null without an exception reaches checked_call (compat.hpp).
//
// An argument handed over as a temporary (an rvalue Ref) is released once
// the call returns, in the order in which the interpreter releases a call's
// arguments (compat::kCallArgumentsReleasedFirstToLast); any other argument
// is only looked at.

namespace detail {
inline Ref* temporary_or_null(Ref&& temporary) { return &temporary; }
template <class Value>
Ref* temporary_or_null(Value&&) {
    return nullptr;
}
}  // namespace detail

template <class... Args>
Ref call(View callable, Args&&... args) {
    // Slot 0 is scratch space the callee may use to prepend `self`.
    PyObject* stack[] = {nullptr, View(args).get()...};
    PyObject* result = compat::vectorcall_unchecked(callable.get(), stack + 1,
                                                    sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    Ref* temporaries[] = {nullptr, detail::temporary_or_null(std::forward<Args>(args))...};
    constexpr std::size_t count = sizeof...(Args);
    for (std::size_t n = 0; n < count; ++n) {
        Ref* temporary = temporaries[compat::kCallArgumentsReleasedFirstToLast ? n + 1 : count - n];
        if (temporary != nullptr) temporary->reset();
    }
    return checked_call(result);
}

// callable(*args, axis=axis)
template <class... Args>
Ref call_with_axis(View callable, View axis, const Args&... args) {
    PyObject* stack[] = {nullptr, View(args).get()..., axis.get()};
    return checked_call(compat::vectorcall_unchecked(callable.get(), stack + 1,
                                                     sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                     id.axis_keyword.get()));
}

// object.name(*args) and object.name(axis=axis), looked up as the
// interpreter looks up a method to call: a function found on the type is
// called with the object in front, without making a bound method.
template <class... Args>
Ref call_method(View object, View name, const Args&... args) {
    PyObject* found = nullptr;
    const int unbound = compat::get_method(object.get(), name.get(), &found);
    Ref method = checked(found);
    if (!unbound) return call(method, args...);
    PyObject* stack[] = {nullptr, object.get(), View(args).get()...};
    return checked_call(compat::vectorcall_unchecked(
        method.get(), stack + 1, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

inline Ref call_method_with_axis(View object, View name, View axis) {
    PyObject* found = nullptr;
    const int unbound = compat::get_method(object.get(), name.get(), &found);
    Ref method = checked(found);
    if (!unbound) return call_with_axis(method, axis);
    PyObject* stack[] = {nullptr, object.get(), axis.get()};
    return checked_call(compat::vectorcall_unchecked(method.get(), stack + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                     id.axis_keyword.get()));
}

// ---- containers -------------------------------------------------------------

template <class... Items>
Ref tuple_of(const Items&... items) {
    return checked(PyTuple_Pack(sizeof...(Items), View(items).get()...));
}

inline Ref new_list() { return checked(PyList_New(0)); }
inline void append(View list, View value) { check_status(PyList_Append(list.get(), value.get())); }

// Walks an iterable; next() gives an empty Ref at the end.
class Iterator {
  public:
    explicit Iterator(View iterable) : iterator_(checked(PyObject_GetIter(iterable.get()))) {}
    Ref next() {
        PyObject* value = PyIter_Next(iterator_.get());
        if (value == nullptr && PyErr_Occurred()) throw PythonError{};
        return Ref::steal(value);
    }

  private:
    Ref iterator_;
};

// Unpacks a two-item iterable (a pair from zip) into first and second.
void unpack_pair(View pair, Ref& first, Ref& second);

}  // namespace kofa
