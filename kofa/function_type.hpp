// The type of kofa's three function objects: Python-function-like objects
// whose call enters a binder written in C++ and which carry a code object,
// defaults and the other attributes that introspection expects.
#pragma once

#include "kofa/function_record.hpp"

namespace kofa {

struct FunctionObject {
    PyObject_HEAD
    const FunctionRecord* record;
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
PyObject* new_function(const FunctionRecord& record, PyObject* module_name, PyObject* globals, PyObject* code,
                       PyObject* defaults);

}  // namespace kofa
