// Binding of a call's positional tuple and keyword dict to a parameter list.
#pragma once

#include "kofa/function_record.hpp"

namespace kofa {

// Fills values[0 .. function.parameter_count) with strong references to the
// bound values. Returns false with the binding error set and its traceback
// entry added.
bool bind_arguments(const FunctionRecord& function, PyObject* args, PyObject* kwargs, Ref* values);

}  // namespace kofa
