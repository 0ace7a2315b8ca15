#include "kofa/state.hpp"

namespace kofa {

Identifiers id;
Constants constant;
ProcessState process;

namespace {

bool intern(View& slot, const char* text) {
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

bool keep(View& slot, PyObject* object) {
    if (object == nullptr) return false;
    slot = View(object);
    return true;
}

}  // namespace

bool make_identifiers_and_constants() {
    static bool made = false;  // by an earlier load attempt that failed later on
    if (made) return true;
#define KOFA_INTERN_IDENTIFIER(name) \
    if (!intern(id.name, #name)) return false;
    KOFA_IDENTIFIERS(KOFA_INTERN_IDENTIFIER)
#undef KOFA_INTERN_IDENTIFIER
    if (!keep(id.axis_keyword, PyTuple_Pack(1, id.axis.get()))) return false;

    made = keep(constant.half, PyFloat_FromDouble(0.5)) &&
           keep(constant.one_float, PyFloat_FromDouble(1.0)) &&
           keep(constant.two_float, PyFloat_FromDouble(2.0)) &&
           keep(constant.three_quarters, PyFloat_FromDouble(0.75)) &&
           keep(constant.default_eps, PyFloat_FromDouble(1e-05)) &&
           keep(constant.zero, PyLong_FromLong(0)) &&
           keep(constant.one, PyLong_FromLong(1)) &&
           keep(constant.two, PyLong_FromLong(2)) &&
           keep(constant.hundred, PyLong_FromLong(100)) &&
           keep(constant.thousand, PyLong_FromLong(1000)) &&
           keep(constant.minus_one, PyLong_FromLong(-1)) &&
           keep(constant.minus_half, PyFloat_FromDouble(-0.5));
    return made;
}

}  // namespace kofa
