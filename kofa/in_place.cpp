#include "kofa/in_place.hpp"

#include <cstdint>
#include <cstring>

namespace kofa {

namespace {

// NumPy's own types and its canonical float64 and float32 dtypes, compared by
// identity: kept from the load for the life of the process, like everything
// else the load makes.
PyTypeObject* numpy_array_type = nullptr;
PyTypeObject* numpy_float64_type = nullptr;
PyObject* float64_dtype = nullptr;
PyObject* float32_dtype = nullptr;

// Arrays are reused from the size at which NumPy elides the interpreter's
// temporaries (NPY_MIN_ELIDE_BYTES, 256 KiB on every release from 1.24 on),
// so that the fits make a new array where the rendering's NumPy makes one and
// the heap sees the rendering's sequence of blocks (docs/performance-records.md,
// "The rendering's lifetimes").
constexpr Py_ssize_t kSmallestReused = 256 * 1024;

// Whether NumPy's float64 scalar, as the left operand of a product with an
// array, leaves the product to the array's operator, whose elision then
// reuses the rendering's temporary: releases before 2.1. From 2.1 the
// scalar's own operator makes a new array, and so does the module. Set at
// load from the release read there; an unreadable release counts as a new one.
bool float64_scalar_defers = false;

bool is_numpy_array(PyObject* object) {
    return numpy_array_type != nullptr && Py_TYPE(object) == numpy_array_type;
}

// NumPy's float64 scalar type is a subclass of float, so its value is read
// as a float's; PyFloat_Check makes sure of that for any type a load took.
bool is_numpy_float64(PyObject* object) {
    return numpy_float64_type != nullptr && Py_TYPE(object) == numpy_float64_type && PyFloat_Check(object);
}

// A read-only buffer view of an exact NumPy array, released with the view.
// Read-only requests never make NumPy warn; `readonly` is then set for an
// array that is not writable and for one that NumPy would warn about when
// written (a numpy.broadcast_arrays result and its views), on every NumPy
// release from 1.24 on. A writable request would emit that warning.
class ArrayBuffer {
  public:
    explicit ArrayBuffer(PyObject* array) : ok_(PyObject_GetBuffer(array, &view_, PyBUF_RECORDS_RO) == 0) {
        // The caller made sure that no exception was pending, so an
        // exception here is the request's own: such an array is simply not
        // reused.
        if (!ok_) PyErr_Clear();
    }
    ~ArrayBuffer() {
        if (ok_) PyBuffer_Release(&view_);
    }
    ArrayBuffer(const ArrayBuffer&) = delete;
    ArrayBuffer& operator=(const ArrayBuffer&) = delete;
    explicit operator bool() const { return ok_; }
    const Py_buffer* operator->() const { return &view_; }
    // C- or Fortran-contiguous: no two elements share memory.
    bool contiguous() const { return PyBuffer_IsContiguous(&view_, 'A') != 0; }

  private:
    Py_buffer view_;
    bool ok_;
};

// An exact NumPy array's attribute read through NumPy's C getter (`base`,
// `dtype`), or null and no exception.
Ref getter(PyObject* array, View name) {
    Ref value = Ref::steal(PyObject_GetAttr(array, name.get()));
    if (!value) PyErr_Clear();
    return value;
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
    Ref base = getter(array, id.base);
    if (!base) return false;
    if (base.get() == Py_None) return true;
    // Two references to the base: the view's and the getter's.
    if (!is_numpy_array(base.get()) || !unseen(base.get(), 2)) return false;
    Ref base_of_base = getter(base.get(), id.base);
    return base_of_base && base_of_base.get() == Py_None;
}

// The array's dtype is `canonical` itself (not an equal dtype with metadata).
bool has_dtype(PyObject* array, PyObject* canonical) {
    if (canonical == nullptr) return false;
    Ref dtype = getter(array, id.dtype);
    return dtype && dtype.get() == canonical;
}

// Whether a contiguous buffer of T holds a NaN. The comparisons are quiet
// (no floating-point flag is raised for a quiet NaN), and blocks of a fixed
// length let the compiler use vector instructions at -O2.
template <class T>
bool holds_nan(const Py_buffer* view) {
    const T* values = static_cast<const T*>(view->buf);
    const Py_ssize_t count = view->len / static_cast<Py_ssize_t>(sizeof(T));
    constexpr Py_ssize_t kBlock = 64;
    Py_ssize_t i = 0;
    for (; i + kBlock <= count; i += kBlock) {
        const T* block = values + i;
        T found = 0;
        for (Py_ssize_t j = 0; j < kBlock; ++j) found += block[j] != block[j] ? T(1) : T(0);
        if (found != 0) return true;
    }
    for (; i < count; ++i)
        if (values[i] != values[i]) return true;
    return false;
}

// Unsigned integers as wide as float and double, to compare NaNs bit by bit.
template <class T>
struct BitsOf;
template <>
struct BitsOf<double> {
    using type = std::uint64_t;
};
template <>
struct BitsOf<float> {
    using type = std::uint32_t;
};

// Whether `flag(i)` is zero for every index below `count`. Blocks of a
// fixed length are OR-ed without a branch inside, so that the compiler can
// use vector instructions at -O2; `flag` must be branch-free too.
template <class Bits, class Flag>
bool none_flagged(Py_ssize_t count, Flag flag) {
    constexpr Py_ssize_t kBlock = 64;
    Py_ssize_t i = 0;
    for (; i + kBlock <= count; i += kBlock) {
        Bits found = 0;
        for (Py_ssize_t j = 0; j < kBlock; ++j) found |= flag(i + j);
        if (found != 0) return false;
    }
    for (; i < count; ++i)
        if (flag(i) != 0) return false;
    return true;
}

// Every NaN in a contiguous buffer of T has the bits `pattern`.
template <class T>
bool nans_alike(const Py_buffer* view, typename BitsOf<T>::type pattern) {
    using Bits = typename BitsOf<T>::type;
    const T* values = static_cast<const T*>(view->buf);
    const Py_ssize_t count = view->len / static_cast<Py_ssize_t>(sizeof(T));
    // Nonzero where a NaN's bits differ from the pattern.
    return none_flagged<Bits>(count, [values, pattern](Py_ssize_t i) -> Bits {
        Bits bits;
        std::memcpy(&bits, values + i, sizeof bits);
        const Bits nan = Bits(0) - static_cast<Bits>(values[i] != values[i]);
        return (bits ^ pattern) & nan;
    });
}

// No element of two contiguous buffers of T of one length pairs two NaNs of
// different bits.
template <class T>
bool no_pair_of_unlike_nans(const Py_buffer* first, const Py_buffer* second) {
    using Bits = typename BitsOf<T>::type;
    const T* a = static_cast<const T*>(first->buf);
    const T* b = static_cast<const T*>(second->buf);
    const Py_ssize_t count = first->len / static_cast<Py_ssize_t>(sizeof(T));
    // Nonzero where both are NaN and their bits differ.
    return none_flagged<Bits>(count, [a, b](Py_ssize_t i) -> Bits {
        Bits a_bits, b_bits;
        std::memcpy(&a_bits, a + i, sizeof a_bits);
        std::memcpy(&b_bits, b + i, sizeof b_bits);
        const Bits both = Bits(0) - static_cast<Bits>((a[i] != a[i]) & (b[i] != b[i]));
        return (a_bits ^ b_bits) & both;
    });
}

// Whether `product *= factor` keeps the bits of `product * factor` whichever
// loop NumPy runs and in which operand order. IEEE arithmetic gives one
// result for an element with at most one NaN operand, and an element whose
// operands are both NaN keeps one of the two, the same only where their bits
// are: only such elements can tell the loops apart, one by one. NaNs of
// different bits in different elements cannot (the LAPACK of some platforms
// gives an inverse NaNs of both signs, which its products spread). A factor
// without NaN needs only the first, vectorised scan.
template <class T>
bool product_keeps_bits(const Py_buffer* product, T factor) {
    if (factor == factor) return true;
    typename BitsOf<T>::type pattern;
    std::memcpy(&pattern, &factor, sizeof pattern);
    return nans_alike<T>(product, pattern);
}

// The same for an array factor of the product's dtype, with the product's
// shape or no axes (one value beside every element). `aligned`: the two
// buffers hold the elements in one order (equal strides), so that the scan
// meets each pair; otherwise every NaN of both must have one pattern.
template <class T>
bool product_keeps_bits(const Py_buffer* product, const Py_buffer* factor, bool aligned) {
    if (!holds_nan<T>(factor)) return true;
    const T* values = static_cast<const T*>(factor->buf);
    if (factor->len != product->len) return product_keeps_bits<T>(product, values[0]);
    if (aligned) return no_pair_of_unlike_nans<T>(product, factor);
    while (values[0] == values[0]) ++values;  // holds_nan found one
    typename BitsOf<T>::type pattern;
    std::memcpy(&pattern, values, sizeof pattern);
    return nans_alike<T>(factor, pattern) && nans_alike<T>(product, pattern);
}

// Whether `temporary *= factor` can stand in for the plain product (in either
// operand order) without anybody being able to tell. Every condition is
// needed:
//  1. temporary is exactly NumPy's array type, and factor exactly a Python
//     float, NumPy's float64 scalar or NumPy's array type, by identity: a
//     subclass may hook its operators (an in-place one would be called
//     instead of the plain one), and a type that merely takes NumPy's name
//     is no NumPy type at all;
//  2. the caller's reference to temporary is the only one, and no weak
//     reference to it exists: a weak reference (a memo, say) could hand the
//     array out again after the fit changed it;
//  3. its dtype is NumPy's canonical float64 (or float32) dtype object, and
//     an array factor's is the same object: the result then has the dtype
//     that the plain operator gives, metadata and all; a mix of dtypes
//     would round where the plain operator does not;
//  4. its read-only buffer says it is writable (NumPy says not for an array
//     that it would warn about when written), it is contiguous (a buffer
//     whose elements overlap would be written several times over), and it
//     belongs to it (owns_its_buffer: a view of an array that somebody
//     keeps would change that array);
//  5. an array factor is contiguous and has no axes or exactly temporary's
//     shape: NumPy's elision reuses the rendering's temporaries only then,
//     and the fits reuse where the rendering's NumPy does (with a broadcast
//     factor the rendering makes a new array);
//  6. no element pairs two NaNs of different bits: there, which one the
//     result keeps depends on the operand order and on the loop NumPy
//     picks (NumPy 1.24 picks other loops in place), whereas with at most
//     one NaN operand, or two alike, IEEE arithmetic gives the same bits
//     either way (product_keeps_bits);
//  7. it is at least kSmallestReused bytes, where NumPy's elision starts;
//  8. a float64 scalar in front (factor * temporary) only where that
//     scalar leaves the product to the array (float64_scalar_defers).
// Only the reference counts, weak-reference lists, `base` and `dtype`
// getters, read-only buffer exports and data of NumPy's own types are
// consulted: no Python code runs, no warning is emitted, and an exception
// pending before the check is left alone.
bool can_reuse(PyObject* temporary, PyObject* factor, bool factor_first = false) {
    if (!is_numpy_array(temporary) || !unseen(temporary, 1)) return false;
    if (factor_first && is_numpy_float64(factor) && !float64_scalar_defers) return false;
    const bool scalar_factor = PyFloat_CheckExact(factor) || is_numpy_float64(factor);
    if (!scalar_factor && !is_numpy_array(factor)) return false;
    // The getters and requests below may fail and clear their own errors;
    // they are not made while another exception is pending.
    if (PyErr_Occurred()) return false;
    // A float or a float64 scalar leaves a float64 array float64 under every
    // NumPy release's casting rules.
    const bool float64 = has_dtype(temporary, float64_dtype);
    if (!float64 && (scalar_factor || !has_dtype(temporary, float32_dtype))) return false;
    ArrayBuffer product(temporary);
    if (!product || product->readonly || product->len < kSmallestReused || !product.contiguous() ||
        !owns_its_buffer(temporary))
        return false;
    if (scalar_factor) return product_keeps_bits<double>(product.operator->(), PyFloat_AS_DOUBLE(factor));
    if (!has_dtype(factor, float64 ? float64_dtype : float32_dtype)) return false;
    ArrayBuffer other(factor);
    // Like NumPy's elision, no broadcasting: an array factor has no axes or
    // exactly the temporary's shape.
    if (!other || !other.contiguous()) return false;
    bool aligned = true;
    if (other->ndim != 0) {
        if (other->ndim != product->ndim) return false;
        for (int axis = 0; axis < other->ndim; ++axis) {
            if (other->shape[axis] != product->shape[axis]) return false;
            aligned = aligned && other->strides[axis] == product->strides[axis];
        }
    }
    return float64 ? product_keeps_bits<double>(product.operator->(), other.operator->(), aligned)
                   : product_keeps_bits<float>(product.operator->(), other.operator->(), aligned);
}

}  // namespace

void remember_numpy_types(PyObject* numpy_module, const NumpyRelease& release) {
    float64_scalar_defers = release.known && release.before(2, 1);
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
    // numpy.dtype(scalar type): NumPy's own dtype object for that type, the
    // one every array of that type made by NumPy's operators carries.
    auto canonical_dtype = [](PyTypeObject* dtype_type, PyTypeObject* scalar_type) -> PyObject* {
        if (dtype_type == nullptr || scalar_type == nullptr) return nullptr;
        PyObject* dtype = PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(dtype_type),
                                                       reinterpret_cast<PyObject*>(scalar_type), nullptr);
        if (dtype == nullptr) PyErr_Clear();
        if (dtype != nullptr && !PyObject_TypeCheck(dtype, dtype_type)) Py_CLEAR(dtype);
        return dtype;
    };
    if (numpy_array_type == nullptr) numpy_array_type = static_type(id.ndarray);
    if (numpy_float64_type == nullptr) numpy_float64_type = static_type(id.float64);
    if (float64_dtype == nullptr || float32_dtype == nullptr) {
        PyTypeObject* dtype_type = static_type(id.dtype);
        PyTypeObject* float32_type = static_type(id.float32);
        if (float64_dtype == nullptr) float64_dtype = canonical_dtype(dtype_type, numpy_float64_type);
        if (float32_dtype == nullptr) float32_dtype = canonical_dtype(dtype_type, float32_type);
        Py_XDECREF(float32_type);
        Py_XDECREF(dtype_type);
    }
}

Ref times_temporary(Operand factor, Ref temporary) {
    PyObject* product = can_reuse(temporary.get(), factor.get(), /*factor_first=*/true)
                            ? PyNumber_InPlaceMultiply(temporary.get(), factor.get())
                            : PyNumber_Multiply(factor.get(), temporary.get());
    Operand right(std::move(temporary));
    return released_then_checked(product, factor, right);
}

Ref temporary_times(Ref temporary, View factor) {
    if (can_reuse(temporary.get(), factor.get()))
        return checked(PyNumber_InPlaceMultiply(temporary.get(), factor.get()));
    return temporary * factor;
}

}  // namespace kofa
