// A failure always leaves an exception pending.
//
// A C function may return its error value without setting an exception
// (NumPy does so under memory exhaustion). Whatever sees such a result first
// sets the SystemError that the interpreter itself would set, before anything
// else looks at the pending exception (a traceback entry needs one).
#pragma once

#include "kofa/compat.hpp"

namespace kofa {

// The interpreter's text for an operation (a subscript, an operator, an
// attribute read) that failed silently.
inline constexpr const char* kSilentOperation = "error return without exception set";
// The text for a callee that returned null without an exception.
inline constexpr const char* kSilentCall = "NULL result without error in PyObject_Call";

// After a failure: sets SystemError `text` unless an exception is pending.
inline void ensure_exception(const char* text) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, text);
}

}  // namespace kofa
