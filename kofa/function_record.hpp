// Everything kofa knows about one public function, written once: loading
// publishes the function from it, its binder binds calls with it, and its
// function object answers introspection from it.
#pragma once

#include "kofa/ref.hpp"

namespace kofa {

// Receives the positional tuple and the keyword dict (null without keywords).
using Binder = PyObject* (*)(PyObject* self, PyObject* args, PyObject* kwargs);

struct Parameter {
    const View* name;     // interned at load
    const View* omitted;  // value when omitted; null: None (and X, which is required)
};

struct FunctionRecord {
    const char* name;                 // __name__ and the binding messages
    const View* interned_name;        // namespace key and __qualname__
    const char* display_name;         // traceback entries
    int def_line;                     // traceback entries of binding and loading; __code__
    const Parameter* parameters;      // in order; the first is X
    Py_ssize_t parameter_count;
    const View* const* locals;        // variable names after the parameters in __code__
    Py_ssize_t local_count;
    const char* doc;                  // null: no docstring
    Binder binder;
};

}  // namespace kofa
