#include "kofa/binding.hpp"

#include "kofa/traceback.hpp"

namespace kofa {

namespace {

void raise_count_error(const FunctionRecord& function, Py_ssize_t given) {
    const bool too_few = given < 1;
    const Py_ssize_t expected = too_few ? 1 : function.parameter_count;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 function.name, too_few ? "at least" : "at most", expected, expected == 1 ? "" : "s", given);
}

bool same_text(PyObject* key, PyObject* name) {
    return PyUnicode_GET_LENGTH(key) == PyUnicode_GET_LENGTH(name) && PyUnicode_Compare(key, name) == 0;
}

// The keywords that the lookups by name did not take: either they name a
// parameter after all (a str equal to its name), or the call is wrong.
bool bind_remaining_keywords(const FunctionRecord& function, Py_ssize_t positional, PyObject* kwargs, Ref* values) {
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
        Py_ssize_t slot = positional;
        while (slot < function.parameter_count && key != function.parameters[slot].name->get()) ++slot;
        if (slot == function.parameter_count) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function.name);
                return false;
            }
            slot = positional;
            while (slot < function.parameter_count && !same_text(key, function.parameters[slot].name->get())) ++slot;
        }
        if (slot < function.parameter_count) {
            values[slot] = Ref::borrow(value);
            continue;
        }
        for (Py_ssize_t earlier = 0; earlier < positional; ++earlier) {
            if (same_text(key, function.parameters[earlier].name->get())) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             function.name, key);
                return false;
            }
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function.name, key);
        return false;
    }
    return true;
}

bool bind(const FunctionRecord& function, PyObject* args, PyObject* kwargs, Ref* values) {
    const Py_ssize_t positional = PyTuple_GET_SIZE(args);
    if (positional > function.parameter_count) {
        raise_count_error(function, positional);
        return false;
    }
    // Every value is held strongly for the whole call: the caller's dict may
    // be emptied by code that the fit runs (a start value's __bool__, say).
    for (Py_ssize_t slot = 0; slot < positional; ++slot) values[slot] = Ref::borrow(PyTuple_GET_ITEM(args, slot));
    for (Py_ssize_t slot = positional; slot < function.parameter_count; ++slot) {
        const View* omitted = function.parameters[slot].omitted;
        values[slot] = Ref::borrow(omitted != nullptr ? omitted->get() : Py_None);
    }
    if (kwargs == nullptr) {
        if (positional == 0) {
            raise_count_error(function, positional);
            return false;
        }
        return true;
    }
    Py_ssize_t remaining = PyDict_GET_SIZE(kwargs);
    for (Py_ssize_t slot = positional; slot < function.parameter_count; ++slot) {
        if (slot > 0 && remaining <= 0) break;
        PyObject* value = PyDict_GetItemWithError(kwargs, function.parameters[slot].name->get());
        if (value == nullptr) {
            if (PyErr_Occurred()) return false;
            if (slot == 0) {
                raise_count_error(function, positional);
                return false;
            }
            continue;
        }
        values[slot] = Ref::borrow(value);
        --remaining;
    }
    return remaining <= 0 || bind_remaining_keywords(function, positional, kwargs, values);
}

}  // namespace

bool bind_arguments(const FunctionRecord& function, PyObject* args, PyObject* kwargs, Ref* values) {
    if (bind(function, args, kwargs, values)) return true;
    add_traceback_entry(function.display_name, function.def_line);
    return false;
}

}  // namespace kofa
