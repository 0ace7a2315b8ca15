#include "kofa/ops.hpp"

#include <cstring>

namespace kofa {

namespace {

// NumPy's array and float64 scalar types, recognised without calling into
// Python: the type names of static types carry their module.
bool is_exactly(PyObject* object, const char* type_name) {
    return std::strcmp(Py_TYPE(object)->tp_name, type_name) == 0;
}

// A buffer view of an array, released with the view.
class ArrayBuffer {
  public:
    ArrayBuffer(PyObject* array, int flags) : ok_(PyObject_GetBuffer(array, &view_, flags) == 0) {
        // An array that exports no such buffer is simply not multiplied in place.
        if (!ok_) PyErr_Clear();
    }
    ~ArrayBuffer() {
        if (ok_) PyBuffer_Release(&view_);
    }
    ArrayBuffer(const ArrayBuffer&) = delete;
    ArrayBuffer& operator=(const ArrayBuffer&) = delete;
    explicit operator bool() const { return ok_; }
    const Py_buffer* operator->() const { return &view_; }
    bool has_format(const char* format) const { return view_.format != nullptr && std::strcmp(view_.format, format) == 0; }

  private:
    Py_buffer view_;
    bool ok_;
};

// Small arrays are not reused: below this size a new array costs less time
// than the in-place loop's setup (bench/heap.py at n = 1e3), and there is no
// page to save. NumPy reuses the interpreter's temporaries from 256 KiB on;
// the fits' (n,) arrays at n = 1e4 (80 KiB) still fault less when reused.
constexpr Py_ssize_t kSmallestReused = 64 * 1024;

// An exact NumPy array's `base`, or null (and no exception) if it has none
// to give.
Ref base_of(PyObject* array) {
    Ref base = Ref::steal(PyObject_GetAttr(array, id.base.get()));
    if (!base) PyErr_Clear();
    return base;
}

// Whether the array's buffer belongs to it alone: it owns its data, or it
// is the only view of an array that does (the transpose of a fresh result).
// A view of anything else (the caller's samples, say) must not be written.
bool owns_its_buffer(PyObject* array) {
    Ref base = base_of(array);
    if (!base) return false;
    if (base.get() == Py_None) return true;
    // Two references to the base: the view's and this function's.
    if (Py_REFCNT(base.get()) != 2 || !is_exactly(base.get(), "numpy.ndarray")) return false;
    Ref base_of_base = base_of(base.get());
    return base_of_base && base_of_base.get() == Py_None;
}

// Whether `temporary *= factor` (or `/=`) gives what `temporary * factor`
// would: the temporary is a writable float64 or float32 NumPy array that
// nobody else holds or sees, and the factor keeps both its dtype and its
// shape. Only NumPy's own C getters and buffer exports are asked.
bool can_reuse(PyObject* temporary, PyObject* factor) {
    if (Py_REFCNT(temporary) != 1 || !is_exactly(temporary, "numpy.ndarray")) return false;
    if (PyErr_Occurred()) return false;  // the requests below may clear errors
    ArrayBuffer product(temporary, PyBUF_RECORDS);
    if (!product || product->len < kSmallestReused || !owns_its_buffer(temporary)) return false;
    const bool float64 = product.has_format("d");
    // A Python float or a float64 scalar leaves a float64 array float64
    // whatever the NumPy version's casting rules.
    if (PyFloat_CheckExact(factor) || is_exactly(factor, "numpy.float64")) return float64;
    if (!(float64 || product.has_format("f")) || !is_exactly(factor, "numpy.ndarray")) return false;
    ArrayBuffer other(factor, PyBUF_RECORDS_RO);
    if (!other || !other.has_format(product->format) || other->ndim > product->ndim) return false;
    // The factor must broadcast to the temporary's shape without enlarging it.
    for (int axis = 1; axis <= other->ndim; ++axis) {
        const Py_ssize_t size = other->shape[other->ndim - axis];
        if (size != 1 && size != product->shape[product->ndim - axis]) return false;
    }
    return true;
}

}  // namespace

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
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw PythonError{};
    }
}

}  // namespace kofa
