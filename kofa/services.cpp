#include "kofa/services.hpp"

#include "kofa/errors.hpp"
#include "kofa/state.hpp"

#include <cstring>

namespace kofa {

namespace {

// Code objects for traceback entries, one per (line, display name), kept
// sorted so that repeated failures at one place reuse the same object.
struct CodeCacheEntry {
    int line;
    const char* display_name;
    PyCodeObject* code;
};

struct CodeCache {
    CodeCacheEntry* entries = nullptr;
    Py_ssize_t count = 0;
    Py_ssize_t capacity = 0;
};

CodeCache code_cache;
PyObject* cached_print = nullptr;

#if KOFA_HAVE_DICT_VERSION
PyObject* cached_numpy = nullptr;
uint64_t cached_numpy_version = 0;
#endif

int compare_key(const CodeCacheEntry& entry, int line, const char* display_name) {
    if (entry.line != line) return entry.line < line ? -1 : 1;
    return std::strcmp(entry.display_name, display_name);
}

// Index of the entry with this key, or of the place where it belongs.
Py_ssize_t find_slot(int line, const char* display_name, bool* found) {
    Py_ssize_t low = 0;
    Py_ssize_t high = code_cache.count;
    while (low < high) {
        const Py_ssize_t middle = low + (high - low) / 2;
        const int order = compare_key(code_cache.entries[middle], line, display_name);
        if (order == 0) {
            *found = true;
            return middle;
        }
        if (order < 0)
            low = middle + 1;
        else
            high = middle;
    }
    *found = false;
    return low;
}

// Stores a new reference to `code`; a full cache that cannot grow keeps nothing.
void cache_code(int line, const char* display_name, PyCodeObject* code) {
    // Making the code object may have let another thread insert the same key.
    bool found = false;
    const Py_ssize_t slot = find_slot(line, display_name, &found);
    if (found) {
        PyCodeObject* old = code_cache.entries[slot].code;
        Py_INCREF(code);
        code_cache.entries[slot].code = code;
        Py_DECREF(old);
        return;
    }
    if (code_cache.count == code_cache.capacity) {
        const Py_ssize_t capacity = code_cache.capacity + 64;
        auto* grown = static_cast<CodeCacheEntry*>(
            PyMem_RawRealloc(code_cache.entries, sizeof(CodeCacheEntry) * static_cast<size_t>(capacity)));
        if (grown == nullptr) return;
        code_cache.entries = grown;
        code_cache.capacity = capacity;
    }
    std::memmove(&code_cache.entries[slot + 1], &code_cache.entries[slot],
                 sizeof(CodeCacheEntry) * static_cast<size_t>(code_cache.count - slot));
    Py_INCREF(code);
    code_cache.entries[slot] = CodeCacheEntry{line, display_name, code};
    ++code_cache.count;
}

PyCodeObject* traceback_code(int line, const char* display_name) {
    bool found = false;
    const Py_ssize_t slot = find_slot(line, display_name, &found);
    if (found) {
        PyCodeObject* code = code_cache.entries[slot].code;
        Py_INCREF(code);
        return code;
    }
    PyCodeObject* code = PyCode_NewEmpty(kSourceFile, display_name, line);
    if (code != nullptr) cache_code(line, display_name, code);
    return code;
}

}  // namespace

void add_traceback_entry(const char* display_name, int line) {
    // A caller that failed without setting an exception gets the SystemError
    // here rather than later from the interpreter: that way the failure still
    // leaves with its one entry, and PyTraceBack_Here has an exception to
    // extend (3.12+ crash without one).
    ensure_exception(kSilentOperation);
    // The pending exception is set aside while the entry is made, so that the
    // allocations below run with a clean error indicator.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyCodeObject* code = traceback_code(line, display_name);
    if (code == nullptr) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return;
    }
    PyFrameObject* frame = compat::new_frame(code, process.namespace_, line);
    Py_DECREF(code);
    if (frame == nullptr) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return;
    }
    PyErr_Restore(type, value, traceback);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

int print_one(PyObject* value) {
    if (cached_print == nullptr) {
        cached_print = PyObject_GetAttr(process.builtins, id.print.get());
        if (cached_print == nullptr) {
            ensure_exception(kSilentOperation);
            return -1;
        }
    }
    PyObject* result = compat::vectorcall_unchecked(cached_print, &value, 1, nullptr);
    if (result == nullptr) {
        ensure_exception(kSilentCall);
        return -1;
    }
    Py_DECREF(result);
    return 0;
}

PyObject* lookup_module_global(View name) {
#if KOFA_HAVE_DICT_VERSION
    const bool is_numpy = name.get() == id.numpy.get();
    const uint64_t version = compat::dict_version(process.namespace_);
    if (is_numpy && cached_numpy != nullptr && cached_numpy_version == version) {
        Py_INCREF(cached_numpy);
        return cached_numpy;
    }
#endif
    PyObject* value = PyDict_GetItemWithError(process.namespace_, name.get());
    if (value != nullptr) {
        Py_INCREF(value);
#if KOFA_HAVE_DICT_VERSION
        if (is_numpy) {
            Py_INCREF(value);
            Py_XSETREF(cached_numpy, value);
            cached_numpy_version = version;
        }
#endif
        return value;
    }
    if (PyErr_Occurred()) return nullptr;
    value = PyObject_GetAttr(process.builtins, name.get());
    if (value == nullptr) {
        ensure_exception(kSilentOperation);
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
        }
    }
    return value;
}

}  // namespace kofa
