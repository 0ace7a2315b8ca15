// Differences between the CPython versions that kofa builds for, in one place.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#include <cstdint>

#if PY_VERSION_HEX < 0x03090000 || PY_VERSION_HEX >= 0x030D0000
// Exported by every CPython kofa builds for, but declared in the public
// headers only from 3.9 to 3.12.
extern "C" int _PyObject_GetMethod(PyObject* obj, PyObject* name, PyObject** method);
#endif

namespace kofa::compat {

// Vectorcall: provisional (underscored) on 3.8, public from 3.9.
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_Vectorcall(callable, args, nargsf, kwnames);
#else
    return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
#endif
}

// Calls args[0].name(*args[1:]). With PY_VECTORCALL_ARGUMENTS_OFFSET in
// nargsf the slot before args must exist: the callee may borrow it.
inline PyObject* vectorcall_method(PyObject* name, PyObject* const* args, size_t nargsf,
                                   PyObject* kwnames) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_VectorcallMethod(name, args, nargsf, kwnames);
#else
    // 3.8 has no method vectorcall: look the method up without binding it
    // where possible, as the interpreter's own LOAD_METHOD does.
    PyObject* method = nullptr;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (_PyObject_GetMethod(args[0], name, &method)) {
        PyObject* result = _PyObject_Vectorcall(method, args, static_cast<size_t>(nargs), kwnames);
        Py_DECREF(method);
        return result;
    }
    if (method == nullptr) return nullptr;
    PyObject* result = _PyObject_Vectorcall(method, args + 1,
                                            static_cast<size_t>(nargs - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                            kwnames);
    Py_DECREF(method);
    return result;
#endif
}

// Like vectorcall, but a callee with a vectorcall slot is called through it
// directly, without the interpreter's check of its result (which reports a
// null without an exception as a SystemError naming the callee), so that the
// caller's own check sees such a null. A result that comes with an exception
// pending is dropped, leaving the callee's exception as the failure. Other
// callees take the interpreter's tp_call path, check included.
inline PyObject* vectorcall_unchecked(PyObject* callable, PyObject* const* args, size_t nargsf,
                                      PyObject* kwnames) {
#if PY_VERSION_HEX >= 0x03090000
    vectorcallfunc function = PyVectorcall_Function(callable);
#else
    vectorcallfunc function = _PyVectorcall_Function(callable);
#endif
    if (function == nullptr) return vectorcall(callable, args, nargsf, kwnames);
    PyObject* result = function(callable, args, nargsf, kwnames);
    if (result != nullptr && PyErr_Occurred()) Py_CLEAR(result);
    return result;
}

// The interpreter's own lookup for a method call. Returns 1 with *method the
// function found on the type, to be called with obj as its first argument
// (no bound method is made); otherwise 0 with *method the attribute itself,
// or null with an exception set.
inline int get_method(PyObject* obj, PyObject* name, PyObject** method) {
    return _PyObject_GetMethod(obj, name, method);
}

inline int64_t current_interpreter_id() {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_GetID(PyInterpreterState_Get());
#else
    return PyInterpreterState_GetID(PyThreadState_Get()->interp);
#endif
}

// Only a finalizing interpreter ends threads that wait for the GIL; the
// check is one load, so the GIL check below runs only then.
inline bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

// Whether the calling thread holds the GIL. From 3.13 the current thread
// state is thread-local and unset while a thread waits for the GIL; before,
// it is the GIL holder's, so it is compared with this thread's own.
inline bool thread_holds_gil() {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#else
    PyThreadState* current = _PyThreadState_UncheckedGet();
    return current != nullptr && current == PyGILState_GetThisThreadState();
#endif
}

// Whether a weak reference to the object may exist. The list of an object's
// weak references is a plain slot of static types (NumPy's, say); for any
// other layout (managed weak references of heap types from 3.12, or none)
// the answer is "may": the caller cannot tell.
inline bool may_have_weak_references(PyObject* object) {
    const Py_ssize_t offset = Py_TYPE(object)->tp_weaklistoffset;
    if (offset <= 0) return true;
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(object) + offset) != nullptr;
}

// The dict version tag lets a cached global be reused while the namespace is
// unchanged. It is deprecated from 3.12, where every read is a fresh lookup:
// there the function says so by returning false.
inline bool dict_version(PyObject* dict, uint64_t* version) {
#if PY_VERSION_HEX < 0x030C0000
    *version = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
    return true;
#else
    (void)dict;
    *version = 0;
    return false;
#endif
}

// Sets the interpreter's error for an unpacking into `expected` targets that
// found more values in `object`. From 3.14 the text also gives the count of
// an exact list, tuple or dict; other iterables keep the short form.
inline void set_too_many_values_to_unpack(PyObject* object, int expected) {
#if PY_VERSION_HEX >= 0x030E0000
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object) || PyDict_CheckExact(object)) {
        const Py_ssize_t size = PyDict_CheckExact(object) ? PyDict_Size(object) : Py_SIZE(object);
        if (size > expected) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %d, got %zd)", expected, size);
            return;
        }
    }
#else
    (void)object;
#endif
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %d)", expected);
}

// The order in which the interpreter releases a frame's locals when the
// frame ends: up to 3.13 first bound first (it walks the locals upwards);
// from 3.14 last bound first (it pops the frame's stack and locals from the
// top down).
inline constexpr bool kFrameLocalsReleasedLastFirst = PY_VERSION_HEX >= 0x030E0000;

// The order in which the interpreter releases a call's arguments once the
// callee returns: before 3.11 last first (it pops them off its stack); from
// 3.11 to 3.13 first to last; from 3.14 last first again (it closes its
// stack from the top down).
inline constexpr bool kCallArgumentsReleasedFirstToLast =
    PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000;

// The order in which the interpreter releases a binary operator's or a
// comparison's operands once the result exists: up to 3.14 left first;
// from 3.15 right first (the operator leaves both on its stack, which is
// then popped from the top down).
inline constexpr bool kOperandsReleasedRightFirst = PY_VERSION_HEX >= 0x030F0000;

// The order in which the interpreter's item store `container[key] = value`
// releases its operands once the store is done: up to 3.13 the value first,
// then the container and the key; from 3.14 the key first, then the
// container and the value (it pops them from the top of the stack down).
inline constexpr bool kItemStoreReleasesKeyFirst = PY_VERSION_HEX >= 0x030E0000;

// PyCode_NewEmpty leaves a few instructions, an exception table and a line
// table from 3.11 on; before, its bytecode is empty.
inline constexpr bool kEmptyCodeHasBytecode = PY_VERSION_HEX >= 0x030B0000;

// A frame for a traceback entry. Before 3.11 the frame's line is a field;
// from 3.11 it comes from the code object's line table, which maps the
// not-yet-started frame to the code object's first line.
inline PyFrameObject* new_frame(PyCodeObject* code, PyObject* globals, int line) {
    PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
#if PY_VERSION_HEX < 0x030B0000
    if (frame != nullptr) frame->f_lineno = line;
#else
    (void)line;
#endif
    return frame;
}

// ---- free-threaded builds (3.13t) ------------------------------------------------
//
// Without the GIL, threads run in the module at once. The process-wide state
// made at load is never changed afterwards; what does change is guarded by
// the interpreter's own primitives below, which compile to nothing on the
// default builds, where the GIL already serialises every call.

// Holds the object's own lock, as the interpreter's built-in types do in
// their accessors. A critical section is suspended while its thread blocks
// (on another lock, or in a call that detaches), so it never deadlocks, and
// it guards only the code between two such points.
class CriticalSection {
  public:
    explicit CriticalSection(PyObject* object) {
#ifdef Py_GIL_DISABLED
        PyCriticalSection_Begin(&section_, object);
#else
        (void)object;
#endif
    }
    ~CriticalSection() {
#ifdef Py_GIL_DISABLED
        PyCriticalSection_End(&section_);
#endif
    }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

  private:
#ifdef Py_GIL_DISABLED
    PyCriticalSection section_;
#endif
};

// A lock for process-wide state that is not a Python object. Waiting for it
// detaches the thread, so a thread that holds it may be stopped by the
// collector without deadlock.
class Mutex {
  public:
    void lock() {
#ifdef Py_GIL_DISABLED
        PyMutex_Lock(&mutex_);
#endif
    }
    void unlock() {
#ifdef Py_GIL_DISABLED
        PyMutex_Unlock(&mutex_);
#endif
    }

  private:
#ifdef Py_GIL_DISABLED
    PyMutex mutex_ = {0};
#endif
};

// Stores a pointer that other threads read without a lock (the interpreter
// reads an instance's dict pointer so), after the object it points to is
// complete.
inline void publish(PyObject*& slot, PyObject* value) {
#ifdef Py_GIL_DISABLED
    __atomic_store_n(&slot, value, __ATOMIC_RELEASE);
#else
    slot = value;
#endif
}

// Reads a pointer stored by publish() without a lock: what it points to is
// seen complete.
inline PyObject* read_published(PyObject* const& slot) {
#ifdef Py_GIL_DISABLED
    return __atomic_load_n(&slot, __ATOMIC_ACQUIRE);
#else
    return slot;
#endif
}

// A new reference to dict[key] in *value (null when absent): 1 found, 0
// absent, -1 with an exception set. Free-threaded, a borrowed value could be
// released by another thread's assignment before the caller takes its own
// reference; PyDict_GetItemRef takes it under the dict's lock.
inline int dict_get_ref(PyObject* dict, PyObject* key, PyObject** value) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_GetItemRef(dict, key, value);
#else
    *value = PyDict_GetItemWithError(dict, key);
    if (*value == nullptr) return PyErr_Occurred() ? -1 : 0;
    Py_INCREF(*value);
    return 1;
#endif
}

// Whether the object has exactly `count` references, all of them held by
// the calling thread's frames. With the GIL that is its reference count.
// Free-threaded, the count is split into the owning thread's part and a
// shared part that any thread may change at any time: the object must
// belong to this thread, with `count` local references and a shared part of
// exactly 0, its flags included, so that no other thread is in the middle of
// taking a reference. For a count of 1 this is the interpreter's own test
// for a uniquely referenced object, which it answers itself from 3.14.
inline bool only_local_references(PyObject* object, Py_ssize_t count) {
#if PY_VERSION_HEX >= 0x030E0000
    if (count == 1) return PyUnstable_Object_IsUniquelyReferenced(object) != 0;
#endif
#ifdef Py_GIL_DISABLED
    return _Py_IsOwnedByCurrentThread(object) &&
           _Py_atomic_load_uint32_relaxed(&object->ob_ref_local) == static_cast<uint32_t>(count) &&
           _Py_atomic_load_ssize_relaxed(&object->ob_ref_shared) == 0;
#else
    return Py_REFCNT(object) == count;
#endif
}

}  // namespace kofa::compat

// Module slots that only newer interpreters know: kofa keeps process-wide
// state, so it supports one interpreter; it guards that state itself (see
// the free-threaded section above), so it runs without the GIL where the
// build has none.
#if PY_VERSION_HEX >= 0x030D0000
#define KOFA_VERSION_MODULE_SLOTS                                                    \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},      \
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#elif PY_VERSION_HEX >= 0x030C0000
#define KOFA_VERSION_MODULE_SLOTS \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define KOFA_VERSION_MODULE_SLOTS
#endif

// The entry point must stay visible when everything else is hidden. From 3.9
// PyMODINIT_FUNC says so on every compiler (a visibility attribute, or
// dllexport on Windows); 3.8's says so on Windows only, so GCC and clang
// building an ELF or Mach-O module are told here.
#if PY_VERSION_HEX < 0x03090000 && (defined(__GNUC__) || defined(__clang__)) && !defined(_WIN32) && \
    !defined(__CYGWIN__)
#define KOFA_MODULE_INIT extern "C" __attribute__((visibility("default"))) PyObject*
#else
#define KOFA_MODULE_INIT PyMODINIT_FUNC
#endif
