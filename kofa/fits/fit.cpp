#include "kofa/fits/fit.hpp"

#include <new>
#include <stdexcept>

namespace kofa::fits {

void raise_from(const std::exception& error) {
    PyObject* type = PyExc_RuntimeError;
    if (dynamic_cast<const std::bad_alloc*>(&error) != nullptr) {
        PyErr_NoMemory();
        return;
    }
    if (dynamic_cast<const std::out_of_range*>(&error) != nullptr)
        type = PyExc_IndexError;
    else if (dynamic_cast<const std::overflow_error*>(&error) != nullptr)
        type = PyExc_OverflowError;
    else if (dynamic_cast<const std::invalid_argument*>(&error) != nullptr ||
             dynamic_cast<const std::domain_error*>(&error) != nullptr ||
             dynamic_cast<const std::length_error*>(&error) != nullptr ||
             dynamic_cast<const std::range_error*>(&error) != nullptr)
        type = PyExc_ValueError;
    PyErr_SetString(type, error.what());
}

}  // namespace kofa::fits
