#include "kofa/ops.hpp"

namespace kofa {

void unpack_pair(View pair, Ref& first, Ref& second) {
    PyObject* object = pair.get();
    if (PyTuple_CheckExact(object) && PyTuple_GET_SIZE(object) == 2) {
        first = Ref::borrow(PyTuple_GET_ITEM(object, 0));
        second = Ref::borrow(PyTuple_GET_ITEM(object, 1));
        return;
    }
    Iterator items(pair);
    first = items.next();
    if (first) second = items.next();
    if (!second) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", first ? 1 : 0);
        throw PythonError{};
    }
    if (items.next()) {
        compat::set_too_many_values_to_unpack(object, 2);
        throw PythonError{};
    }
}

}  // namespace kofa
