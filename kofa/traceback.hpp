// Traceback entries that say where in kofa a call or the load failed.
#pragma once

#include "kofa/ref.hpp"

namespace kofa {

// Adds one entry "display_name" at `line` of the module's source file to the
// traceback of the pending exception, which stays pending. With none pending
// (a failure that set none), raises SystemError "error return without
// exception set" first and adds the entry to that. `display_name`
// must have static storage duration: the code-object cache keeps it as part
// of its key for the life of the process.
void add_traceback_entry(const char* display_name, int line);

}  // namespace kofa
