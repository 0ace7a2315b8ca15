// Products that reuse the buffer of an array only the fit holds.
//
// The interpreter hands NumPy its own temporaries (`a * b * c`) so that NumPy
// can multiply them in place; NumPy cannot recognise the temporaries of a C
// extension. These two operations do the same for the fits' temporaries,
// and only where nobody could tell the difference (see in_place.cpp): the
// values, dtype and shape are those of the plain operator, no other object
// sees its array change, and no Python code runs to decide. Everywhere else
// they are the plain operator of ops.hpp.
#pragma once

#include "kofa/ops.hpp"

namespace kofa {

// factor * temporary; a factor handed over as a temporary goes first, then
// the temporary, as the interpreter releases a product's operands.
Ref times_temporary(Operand factor, Ref temporary);
// temporary * factor
Ref temporary_times(Ref temporary, View factor);

// NumPy's array and float64 scalar types, taken from the NumPy module that
// the module imports at load, and its release (read_numpy_release); until
// then, or if that module has no such static types, nothing is reused.
void remember_numpy_types(PyObject* numpy_module, const NumpyRelease& release);

}  // namespace kofa
