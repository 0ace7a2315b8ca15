#include "kofa/traceback.hpp"

#include "kofa/errors.hpp"
#include "kofa/state.hpp"

#include <cstring>
#include <map>
#include <mutex>
#include <new>

namespace kofa {

namespace {

// One code object per (line, display name), so that repeated failures at one
// place make no new ones. Line 9 is both a loading line of "init kofa" and the
// def line of gaussian_mixture, hence the name in the key.
struct CodeKey {
    int line;
    const char* display_name;  // static storage duration, see traceback.hpp

    bool operator<(const CodeKey& other) const {
        if (line != other.line) return line < other.line;
        return std::strcmp(display_name, other.display_name) < 0;
    }
    bool operator==(const CodeKey& other) const {
        return line == other.line && std::strcmp(display_name, other.display_name) == 0;
    }
};

// Sorted by key; only grows. A node-based map rather than a vector: its
// nodes never move, so the module needs no newer C++ runtime than manylinux1
// offers. Never destroyed, since its references must not be released after
// the interpreter is gone.
using CodeCache = std::map<CodeKey, PyCodeObject*>;  // strong references

CodeCache& code_cache() {
    static auto* cache = new CodeCache();
    return *cache;
}

// Guards the cache where threads run without the GIL. It is never held
// while a code object is made or released, which may run other code.
compat::Mutex code_cache_mutex;

// A new reference to the cached code object for `key`, or null.
PyCodeObject* cached_code(const CodeKey& key) {
    std::lock_guard<compat::Mutex> guard(code_cache_mutex);
    auto found = code_cache().find(key);
    if (found == code_cache().end()) return nullptr;
    Py_INCREF(found->second);
    return found->second;
}

// Keeps a new reference to `code`; a cache that cannot grow keeps nothing.
void remember(const CodeKey& key, PyCodeObject* code) {
    PyCodeObject* replaced = nullptr;
    {
        std::lock_guard<compat::Mutex> guard(code_cache_mutex);
        // Making the code object may have let another thread insert the same key.
        auto place = code_cache().lower_bound(key);
        if (place != code_cache().end() && place->first == key) {
            replaced = place->second;
            Py_INCREF(code);
            place->second = code;
        } else {
            try {
                code_cache().emplace_hint(place, key, code);
                Py_INCREF(code);
            } catch (const std::bad_alloc&) {
            }
        }
    }
    Py_XDECREF(replaced);
}

// A new reference to the code object for `key`, or null with an exception set.
PyCodeObject* code_for(const CodeKey& key) {
    if (PyCodeObject* code = cached_code(key)) return code;
    PyCodeObject* code = PyCode_NewEmpty(kSourceFile, key.display_name, key.line);
    if (code != nullptr) remember(key, code);
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
    PyCodeObject* code = code_for(CodeKey{line, display_name});
    PyFrameObject* frame = code != nullptr ? compat::new_frame(code, process.namespace_, line) : nullptr;
    Py_XDECREF(code);
    if (frame == nullptr) {
        // No entry: the MemoryError of the failed allocation takes the place
        // of the pending exception.
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return;
    }
    PyErr_Restore(type, value, traceback);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

}  // namespace kofa
