// Per-call services shared by the binders and the fits.
#pragma once

#include "kofa/ref.hpp"

namespace kofa {

// Adds one entry "display_name" at `line` of the module's source file to the
// traceback of the pending exception, which stays pending. With none pending
// (a failure that set none), raises SystemError "error return without
// exception set" first and adds the entry to that.
void add_traceback_entry(const char* display_name, int line);

// Prints one value with the builtins' print, fetched at the first use in the
// process. Returns 0, or -1 with an exception set.
int print_one(PyObject* value);

// Reads a module global (falling back to the builtins) as a new reference,
// or returns null with NameError or the lookup's own error set.
PyObject* lookup_module_global(View name);

}  // namespace kofa
