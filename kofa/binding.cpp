#include "kofa/binding.hpp"

#include "kofa/services.hpp"

namespace kofa {

namespace {

void raise_count_error(const Signature& sig, Py_ssize_t given) {
    const bool too_few = given < 1;
    const Py_ssize_t expected = too_few ? 1 : sig.count;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.name, too_few ? "at least" : "at most", expected, expected == 1 ? "" : "s", given);
}

bool same_text(PyObject* key, PyObject* name) {
    return PyUnicode_GET_LENGTH(key) == PyUnicode_GET_LENGTH(name) && PyUnicode_Compare(key, name) == 0;
}

// The keywords that the lookups by name did not take: either they name a
// parameter after all (a str equal to its name), or the call is wrong.
bool bind_remaining_keywords(const Signature& sig, Py_ssize_t positional, PyObject* kwargs, Ref* values) {
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
        Py_ssize_t slot = positional;
        while (slot < sig.count && key != sig.parameters[slot]->get()) ++slot;
        if (slot == sig.count) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
                return false;
            }
            slot = positional;
            while (slot < sig.count && !same_text(key, sig.parameters[slot]->get())) ++slot;
        }
        if (slot < sig.count) {
            values[slot] = Ref::borrow(value);
            continue;
        }
        for (Py_ssize_t earlier = 0; earlier < positional; ++earlier) {
            if (same_text(key, sig.parameters[earlier]->get())) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             sig.name, key);
                return false;
            }
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
        return false;
    }
    return true;
}

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, Ref* values) {
    const Py_ssize_t positional = PyTuple_GET_SIZE(args);
    if (positional > sig.count) {
        raise_count_error(sig, positional);
        return false;
    }
    // Every value is held strongly for the whole call: the caller's dict may
    // be emptied by code that the fit runs (a start value's __bool__, say).
    for (Py_ssize_t slot = 0; slot < positional; ++slot) values[slot] = Ref::borrow(PyTuple_GET_ITEM(args, slot));
    for (Py_ssize_t slot = positional; slot < sig.count; ++slot) {
        const View* omitted = sig.omitted[slot];
        values[slot] = Ref::borrow(omitted != nullptr ? omitted->get() : Py_None);
    }
    if (kwargs == nullptr) {
        if (positional == 0) {
            raise_count_error(sig, positional);
            return false;
        }
        return true;
    }
    Py_ssize_t remaining = PyDict_GET_SIZE(kwargs);
    for (Py_ssize_t slot = positional; slot < sig.count; ++slot) {
        if (slot > 0 && remaining <= 0) break;
        PyObject* value = PyDict_GetItemWithError(kwargs, sig.parameters[slot]->get());
        if (value == nullptr) {
            if (PyErr_Occurred()) return false;
            if (slot == 0) {
                raise_count_error(sig, positional);
                return false;
            }
            continue;
        }
        values[slot] = Ref::borrow(value);
        --remaining;
    }
    return remaining <= 0 || bind_remaining_keywords(sig, positional, kwargs, values);
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, Ref* values) {
    if (bind(sig, args, kwargs, values)) return true;
    add_traceback_entry(sig.display_name, sig.def_line);
    return false;
}

}  // namespace kofa
