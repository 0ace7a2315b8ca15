#include "kofa/state.hpp"

namespace kofa {

Identifiers id;
Constants constant;
ProcessState process;

namespace {

// Each maker fills an empty slot only, so that a load retried after a failure
// (a MemoryError, say) keeps what the failed attempt made instead of making
// it again and leaking the first copy.

bool intern(View& slot, const char* text) {
    if (slot) return true;
    PyObject* name = PyUnicode_InternFromString(text);
    if (name == nullptr) return false;
    // The hash is computed now so that keyword lookups never compute it.
    if (PyObject_Hash(name) == -1) {
        Py_DECREF(name);
        return false;
    }
    slot = View(name);
    return true;
}

template <class Make>
bool keep(View& slot, Make make) {
    if (slot) return true;
    PyObject* object = make();
    if (object == nullptr) return false;
    slot = View(object);
    return true;
}

bool keep_float(View& slot, double value) {
    return keep(slot, [value] { return PyFloat_FromDouble(value); });
}

bool keep_int(View& slot, long value) {
    return keep(slot, [value] { return PyLong_FromLong(value); });
}

}  // namespace

bool make_identifiers_and_constants() {
#define KOFA_INTERN_IDENTIFIER(name) \
    if (!intern(id.name, #name)) return false;
    KOFA_IDENTIFIERS(KOFA_INTERN_IDENTIFIER)
#undef KOFA_INTERN_IDENTIFIER
    if (!keep(id.axis_keyword, [] { return PyTuple_Pack(1, id.axis.get()); })) return false;

    return keep_float(constant.half, 0.5) && keep_float(constant.one_float, 1.0) &&
           keep_float(constant.two_float, 2.0) && keep_float(constant.three_quarters, 0.75) &&
           keep_float(constant.default_eps, 1e-05) && keep_int(constant.zero, 0) && keep_int(constant.one, 1) &&
           keep_int(constant.two, 2) && keep_int(constant.hundred, 100) && keep_int(constant.thousand, 1000) &&
           keep_int(constant.minus_one, -1) && keep_float(constant.minus_half, -0.5);
}

NumpyRelease read_numpy_release(PyObject* numpy_module) {
    NumpyRelease release;
    Ref version = Ref::steal(PyObject_GetAttr(numpy_module, id.__version__.get()));
    // The text lives as long as `version`.
    const char* text = version && PyUnicode_Check(version.get()) ? PyUnicode_AsUTF8(version.get()) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return release;
    }
    // "MAJOR.MINOR[...]", read by hand: the C library's scanf family would tie
    // the module to a newer glibc than the wheels' manylinux tag allows.
    auto number = [&text](int* value) {
        if (*text < '0' || *text > '9') return false;
        for (*value = 0; *text >= '0' && *text <= '9' && *value < 100000; ++text)
            *value = *value * 10 + (*text - '0');
        return true;
    };
    release.known = number(&release.major) && *text++ == '.' && number(&release.minor);
    return release;
}

}  // namespace kofa
