// The type of kofa's three function objects: Python-function-like objects
// whose call enters a binder written in C++ and which carry a code object,
// defaults and the other attributes that introspection expects.
#pragma once

#include "kofa/ref.hpp"

namespace kofa {

// Receives the positional tuple and the keyword dict (null without keywords).
using Binder = PyObject* (*)(PyObject* self, PyObject* args, PyObject* kwargs);

struct FunctionDef {
    const char* name;
    Binder binder;
    const char* doc;  // null: the function has no docstring
};

struct FunctionObject {
    PyObject_HEAD
    const FunctionDef* def;
    PyObject* module;       // __module__
    PyObject* dict;         // __dict__, made on first need
    PyObject* name;         // __name__, made on first read
    PyObject* qualname;
    PyObject* doc;          // __doc__, made on first read
    PyObject* globals;
    PyObject* code;
    PyObject* defaults;     // shown by introspection only; binding never reads it
    PyObject* kwdefaults;
    PyObject* annotations;  // made on first read
    PyObject* weakrefs;
};

// Readies the type; 0 on success, -1 with an exception set.
int ready_function_type();

// A new function object, or null with an exception set.
PyObject* new_function(const FunctionDef* def, PyObject* qualname, PyObject* module_name,
                       PyObject* globals, PyObject* code, PyObject* defaults);

}  // namespace kofa
