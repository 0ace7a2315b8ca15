#include "kofa/print.hpp"

#include "kofa/errors.hpp"
#include "kofa/state.hpp"

#include <atomic>

namespace kofa {

namespace {

// A replacement of builtins.print counts only when made before the first
// print. Threads that print first at the same time may each read `print`;
// the first to store it wins, and the others use what it stored. The
// reference is kept for the life of the process.
std::atomic<PyObject*> cached_print{nullptr};

// The cached print, read on first use; null with an exception set if the
// read fails, leaving the cache empty.
PyObject* builtin_print() {
    PyObject* print = cached_print.load(std::memory_order_acquire);
    if (print != nullptr) return print;
    PyObject* found = PyObject_GetAttr(process.builtins, id.print.get());
    if (found == nullptr) {
        ensure_exception(kSilentOperation);
        return nullptr;
    }
    if (cached_print.compare_exchange_strong(print, found, std::memory_order_acq_rel)) return found;
    Py_DECREF(found);  // another thread stored its own first: `print` now holds that
    return print;
}

}  // namespace

int print_one(PyObject* value) {
    PyObject* print = builtin_print();
    if (print == nullptr) return -1;
    PyObject* result = compat::vectorcall_unchecked(print, &value, 1, nullptr);
    if (result == nullptr) {
        ensure_exception(kSilentCall);
        return -1;
    }
    Py_DECREF(result);
    return 0;
}

}  // namespace kofa
