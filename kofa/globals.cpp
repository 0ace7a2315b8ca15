#include "kofa/globals.hpp"

#include "kofa/errors.hpp"
#include "kofa/state.hpp"

namespace kofa {

namespace {

// The last `numpy` found, valid while the namespace keeps the same version
// tag (where the interpreter has one). Borrowed: while the tag is unchanged
// the namespace itself still holds that very value, and once the caller
// replaces it the cache must not keep it alive.
PyObject* cached_numpy = nullptr;
uint64_t cached_numpy_version = 0;

}  // namespace

PyObject* lookup_builtin(View name) {
    PyObject* value = PyObject_GetAttr(process.builtins, name.get());
    if (value == nullptr) {
        ensure_exception(kSilentOperation);
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
        }
    }
    return value;
}

PyObject* lookup_module_global(View name) {
    const bool is_numpy = name.get() == id.numpy.get();
    uint64_t version = 0;
    const bool versioned = compat::dict_version(process.namespace_, &version);
    if (is_numpy && versioned && cached_numpy != nullptr && cached_numpy_version == version) {
        Py_INCREF(cached_numpy);
        return cached_numpy;
    }
    PyObject* value = nullptr;
    const int found = compat::dict_get_ref(process.namespace_, name.get(), &value);
    if (found <= 0) return found < 0 ? nullptr : lookup_builtin(name);
    if (is_numpy && versioned) {
        cached_numpy = value;
        cached_numpy_version = version;
    }
    return value;
}

}  // namespace kofa
