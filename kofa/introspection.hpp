// What introspection (inspect.signature, help) reads from a function object:
// a code object without bytecode and the defaults tuple.
#pragma once

#include "kofa/function_record.hpp"

namespace kofa {

// A code object with the function's parameter and local names, argument
// count and def line, and no bytecode. New reference, or null with an
// exception set.
PyObject* introspection_code(const FunctionRecord& function);

// The values of the omitted parameters after X, as __defaults__ shows them.
// New reference, or null with an exception set.
PyObject* defaults_tuple(const FunctionRecord& function);

}  // namespace kofa
