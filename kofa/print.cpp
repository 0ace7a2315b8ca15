#include "kofa/print.hpp"

#include "kofa/errors.hpp"
#include "kofa/state.hpp"

namespace kofa {

namespace {

// A replacement of builtins.print counts only when made before the first print.
PyObject* cached_print = nullptr;

}  // namespace

int print_one(PyObject* value) {
    if (cached_print == nullptr) {
        cached_print = PyObject_GetAttr(process.builtins, id.print.get());
        if (cached_print == nullptr) {
            ensure_exception(kSilentOperation);
            return -1;
        }
    }
    PyObject* result = compat::vectorcall_unchecked(cached_print, &value, 1, nullptr);
    if (result == nullptr) {
        ensure_exception(kSilentCall);
        return -1;
    }
    Py_DECREF(result);
    return 0;
}

}  // namespace kofa
