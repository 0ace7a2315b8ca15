#include "kofa/in_place.hpp"

#include <cstring>

namespace kofa {

namespace {

// NumPy's own types, compared by identity: kept from the load for the life of
// the process, like everything else the load makes.
PyTypeObject* numpy_array_type = nullptr;
PyTypeObject* numpy_float64_type = nullptr;

// Small arrays are not reused: below this size a new array costs less time
// than the in-place loop's setup (bench/heap.py at n = 1e3), and there is no
// page to save. NumPy reuses the interpreter's temporaries from 256 KiB on;
// the fits' (n,) arrays at n = 1e4 (80 KiB) still fault less when reused.
constexpr Py_ssize_t kSmallestReused = 64 * 1024;

bool is_numpy_array(PyObject* object) {
    return numpy_array_type != nullptr && Py_TYPE(object) == numpy_array_type;
}

bool is_numpy_float64(PyObject* object) {
    return numpy_float64_type != nullptr && Py_TYPE(object) == numpy_float64_type;
}

// A buffer view of an array, released with the view.
class ArrayBuffer {
  public:
    ArrayBuffer(PyObject* array, int flags) : ok_(PyObject_GetBuffer(array, &view_, flags) == 0) {
        // An array that exports no such buffer (a read-only one, say) is
        // simply not reused.
        if (!ok_) PyErr_Clear();
    }
    ~ArrayBuffer() {
        if (ok_) PyBuffer_Release(&view_);
    }
    ArrayBuffer(const ArrayBuffer&) = delete;
    ArrayBuffer& operator=(const ArrayBuffer&) = delete;
    explicit operator bool() const { return ok_; }
    const Py_buffer* operator->() const { return &view_; }
    bool has_format(const char* format) const {
        return view_.format != nullptr && std::strcmp(view_.format, format) == 0;
    }

  private:
    Py_buffer view_;
    bool ok_;
};

// An exact NumPy array's `base` (NumPy's C getter), or null and no exception.
Ref base_of(PyObject* array) {
    Ref base = Ref::steal(PyObject_GetAttr(array, id.base.get()));
    if (!base) PyErr_Clear();
    return base;
}

// Nobody but the holders counted in `references` can reach the exact array:
// no other strong reference and no weak reference at all.
bool unseen(PyObject* array, Py_ssize_t references) {
    return compat::only_local_references(array, references) && !compat::may_have_weak_references(array);
}

// The array's buffer belongs to it alone: it owns its data, or it is the
// only view of an exact array that owns its data and that nobody else holds
// or sees (the transpose of a fresh result).
bool owns_its_buffer(PyObject* array) {
    Ref base = base_of(array);
    if (!base) return false;
    if (base.get() == Py_None) return true;
    // Two references to the base: the view's and base_of's.
    if (!is_numpy_array(base.get()) || !unseen(base.get(), 2)) return false;
    Ref base_of_base = base_of(base.get());
    return base_of_base && base_of_base.get() == Py_None;
}

// Whether `temporary op= factor` can stand in for `temporary op factor`
// (op a product or a true division) without anybody being able to tell.
// Every condition is needed:
//  1. temporary is exactly NumPy's array type, and factor exactly a Python
//     float, NumPy's float64 scalar or NumPy's array type, by identity: a
//     subclass may hook its operators (an in-place one would be called
//     instead of the plain one), and a type that merely takes NumPy's name
//     is no NumPy type at all;
//  2. the caller's reference to temporary is the only one, and no weak
//     reference to it exists: a weak reference (a memo, say) could hand the
//     array out again after the fit changed it;
//  3. its buffer belongs to it (owns_its_buffer): a view of an array that
//     somebody keeps would change that array;
//  4. it is writable, and the result keeps its dtype and shape: a float64
//     array times a float or float64 scalar, or a float64 or float32 array
//     and an array of the same format that broadcasts to its shape without
//     enlarging it. A mix of formats would round where the plain operator
//     does not;
//  5. it is at least kSmallestReused bytes: below that reuse saves nothing.
// Only the reference counts, weak-reference lists, `base` getters and buffer
// exports of NumPy's own types are consulted: no Python code runs.
bool can_reuse(PyObject* temporary, PyObject* factor) {
    if (!is_numpy_array(temporary) || !unseen(temporary, 1)) return false;
    const bool scalar_factor = PyFloat_CheckExact(factor) || is_numpy_float64(factor);
    if (!scalar_factor && !is_numpy_array(factor)) return false;
    if (PyErr_Occurred()) return false;  // the requests below may clear errors
    ArrayBuffer product(temporary, PyBUF_RECORDS);
    if (!product || product->len < kSmallestReused || !owns_its_buffer(temporary)) return false;
    const bool float64 = product.has_format("d");
    // A float or a float64 scalar leaves a float64 array float64 under every
    // NumPy release's casting rules.
    if (scalar_factor) return float64;
    if (!float64 && !product.has_format("f")) return false;
    ArrayBuffer other(factor, PyBUF_RECORDS_RO);
    if (!other || !other.has_format(product->format) || other->ndim > product->ndim) return false;
    for (int axis = 1; axis <= other->ndim; ++axis) {
        const Py_ssize_t size = other->shape[other->ndim - axis];
        if (size != 1 && size != product->shape[product->ndim - axis]) return false;
    }
    return true;
}

}  // namespace

void remember_numpy_types(PyObject* numpy_module) {
    if (!PyModule_Check(numpy_module)) return;
    PyObject* names = PyModule_GetDict(numpy_module);
    // Read from the module's dict with interned names: no Python code runs
    // and nothing is allocated. Only static types qualify: a Python class
    // never does, whatever its name.
    auto static_type = [names](View name) -> PyTypeObject* {
        PyObject* found = PyDict_GetItemWithError(names, name.get());
        if (found == nullptr) PyErr_Clear();  // a load that goes on leaves nothing pending
        if (found == nullptr || !PyType_Check(found)) return nullptr;
        PyTypeObject* type = reinterpret_cast<PyTypeObject*>(found);
        if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) return nullptr;
        Py_INCREF(type);
        return type;
    };
    if (numpy_array_type == nullptr) numpy_array_type = static_type(id.ndarray);
    if (numpy_float64_type == nullptr) numpy_float64_type = static_type(id.float64);
}

Ref times_temporary(View factor, Ref temporary) {
    if (can_reuse(temporary.get(), factor.get()))
        return checked(PyNumber_InPlaceMultiply(temporary.get(), factor.get()));
    return factor * temporary;
}

Ref temporary_times(Ref temporary, View factor) {
    if (can_reuse(temporary.get(), factor.get()))
        return checked(PyNumber_InPlaceMultiply(temporary.get(), factor.get()));
    return temporary * factor;
}

Ref temporary_over(Ref temporary, View divisor) {
    if (can_reuse(temporary.get(), divisor.get()))
        return checked(PyNumber_InPlaceTrueDivide(temporary.get(), divisor.get()));
    return temporary / divisor;
}

}  // namespace kofa
