// The progress line: one value printed with the builtins' print.
#pragma once

#include "kofa/ref.hpp"

namespace kofa {

// print(value), with the builtins' print fetched at the first use in the
// process and kept. Returns 0, or -1 with an exception set.
int print_one(PyObject* value);

}  // namespace kofa
