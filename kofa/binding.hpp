// Binding of a call's positional tuple and keyword dict to a parameter list.
#pragma once

#include "kofa/ref.hpp"

namespace kofa {

struct Signature {
    const char* name;           // in binding messages
    const char* display_name;   // in traceback entries
    int def_line;
    Py_ssize_t count;           // number of parameters, at most kMaxParameters
    const View* const* parameters;  // interned names, made at load
    const View* const* omitted;     // value of an omitted parameter; null: None (X has none)
};

inline constexpr Py_ssize_t kMaxParameters = 8;

// Fills values[0 .. sig.count) with strong references to the bound values.
// Returns false with the binding error set and its traceback entry added.
bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, Ref* values);

}  // namespace kofa
