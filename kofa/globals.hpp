// Names that the module reads from its own namespace and from the builtins.
#pragma once

#include "kofa/ref.hpp"

namespace kofa {

// A builtin as a new reference, or null with NameError "name '%U' is not
// defined" (or the lookup's own error) set.
PyObject* lookup_builtin(View name);

// A module global as a new reference, falling back to the builtins like a
// Python function's global read, or null with an exception set. Every read
// sees the namespace as it is now.
PyObject* lookup_module_global(View name);

}  // namespace kofa
