// The module definition and its loading: a create phase that refuses a second
// interpreter and reuses a loaded module, and an exec phase that builds the
// process-wide state, imports NumPy and publishes the three functions.
#include "kofa/fits/steps.hpp"
#include "kofa/function_type.hpp"
#include "kofa/functions.hpp"
#include "kofa/globals.hpp"
#include "kofa/in_place.hpp"
#include "kofa/introspection.hpp"
#include "kofa/module_doc.hpp"
#include "kofa/state.hpp"
#include "kofa/traceback.hpp"

#include <cstddef>
#include <cstdio>
#include <iterator>
#include <mutex>
#include <utility>

namespace kofa {

namespace {

const char* const kLoadDisplayName = "init kofa";

// Source lines reported when loading fails.
constexpr int kLineNumpyImport = 7;
constexpr int kLineOther = 1;  // every other step; a function's own step reports its def line

// ---- create phase -------------------------------------------------------------

// Copies spec.<attribute> to module.<target>; a spec without the attribute is passed over.
bool copy_spec_attribute(PyObject* spec, PyObject* module_dict, const char* attribute, const char* target,
                         bool skip_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, attribute));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (skip_none && value.get() == Py_None) return true;
    return PyDict_SetItemString(module_dict, target, value.get()) == 0;
}

// Guards the records of the loading: free-threaded, two create or exec
// phases (loads through the spec by hand, which importlib does not
// serialise) can read and write them at the same moment.
compat::Mutex load_mutex;

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    const int64_t interpreter = compat::current_interpreter_id();
    bool first;
    int64_t recorded;
    {
        std::lock_guard<compat::Mutex> guard(load_mutex);
        first = process.interpreter_id == -1;
        if (first) process.interpreter_id = interpreter;
        recorded = process.interpreter_id;
    }
    if (first) {
        if (interpreter == -1) return nullptr;
    } else if (interpreter != recorded) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    // Only a finished load is handed out: another thread's load may still
    // be filling its module (importing NumPy, say) and must not be seen.
    if (PyObject* loaded = compat::read_published(process.loaded_module)) {
        Py_INCREF(loaded);
        return loaded;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* module_dict = PyModule_GetDict(module.get());
    if (!copy_spec_attribute(spec, module_dict, "loader", "__loader__", false) ||
        !copy_spec_attribute(spec, module_dict, "origin", "__file__", false) ||
        !copy_spec_attribute(spec, module_dict, "parent", "__package__", false) ||
        !copy_spec_attribute(spec, module_dict, "submodule_search_locations", "__path__", true))
        return nullptr;
    return module.release();
}

// ---- exec phase -----------------------------------------------------------------

// Warns (RuntimeWarning) when the interpreter differs from the one built for.
int check_version() {
    char compiled[16];
#ifdef KOFA_TEST_BUILD_VERSION
    // A test build (CMake's KOFA_TEST_BUILD_VERSION) claims another version.
    std::snprintf(compiled, sizeof compiled, "%s", KOFA_TEST_BUILD_VERSION);
#else
    std::snprintf(compiled, sizeof compiled, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
#endif
    char running[4] = {0};
    std::snprintf(running, sizeof running, "%.3s", Py_GetVersion());
    if (compiled[0] == running[0] && compiled[2] == running[2]) return 0;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compiletime version %s of module '%.100s' does not match runtime version %s", compiled, "kofa",
                  running);
    return PyErr_WarnEx(nullptr, message, 1);
}

// Keeps a builtin fetched once at load in `slot`.
bool keep_builtin(PyObject*& slot, View name) {
    PyObject* value = lookup_builtin(name);
    if (value == nullptr) return false;
    Py_XSETREF(slot, value);
    return true;
}

// The exec steps after the module object is recorded; on failure *line is
// the source line that the traceback entry reports.
bool populate(PyObject* module, int* line) {
    *line = kLineOther;
    PyObject* builtins = PyImport_AddModule("builtins");
    if (builtins == nullptr) return false;
    Py_INCREF(builtins);
    Py_XSETREF(process.builtins, builtins);
    if (PyObject_SetAttrString(module, "__builtins__", builtins) < 0) return false;
    if (!make_identifiers_and_constants()) return false;

    if (!keep_builtin(process.range, id.range) || !keep_builtin(process.zip, id.zip)) return false;

    constexpr std::size_t count = std::size(public_functions);
    Ref codes[count];
    Ref defaults[count];
    for (std::size_t f = 0; f < count; ++f) {
        codes[f] = Ref::steal(introspection_code(*public_functions[f]));
        if (!codes[f]) return false;
        defaults[f] = Ref::steal(defaults_tuple(*public_functions[f]));
        if (!defaults[f]) return false;
    }

    *line = kLineNumpyImport;
    Ref locals = Ref::steal(PyDict_New());
    Ref fromlist = Ref::steal(PyList_New(0));
    if (!locals || !fromlist) return false;
    Ref numpy = Ref::steal(
        PyImport_ImportModuleLevelObject(id.numpy.get(), process.namespace_, locals.get(), fromlist.get(), 0));
    if (!numpy || PyDict_SetItem(process.namespace_, id.numpy.get(), numpy.get()) < 0) return false;
    // Read once, for both that depend on it.
    const NumpyRelease release = read_numpy_release(numpy.get());
    remember_numpy_types(numpy.get(), release);
    fits::remember_numpy_release(release);

    Ref module_name = Ref::steal(PyUnicode_FromString("kofa"));
    for (std::size_t f = 0; f < count; ++f) {
        const FunctionRecord& function = *public_functions[f];
        *line = function.def_line;
        if (!module_name) return false;
        Ref object = Ref::steal(
            new_function(function, module_name.get(), process.namespace_, codes[f].get(), defaults[f].get()));
        if (!object || PyDict_SetItem(process.namespace_, function.interned_name->get(), object.get()) < 0)
            return false;
    }

    *line = kLineOther;
    Ref test = Ref::steal(PyDict_New());
    if (!test || PyDict_SetItemString(process.namespace_, "__test__", test.get()) < 0) return false;

    // A module imported under another dotted name (vendor.kofa), or loaded
    // through its spec by hand, is reachable as "kofa" too, unless something
    // already is; but only now that it is complete. importlib takes no lock
    // of "kofa" for such a load, so a plain `import kofa` in another thread
    // would return an entry made earlier at once, without its functions, and
    // a load that failed would leave it there for every later import. Until
    // now such an importer finds no entry and makes its own load, which
    // check_load refuses with ImportError. A plain `import kofa` has its
    // module under "kofa" for the whole load already, by importlib, which
    // makes other importers wait and removes the entry if the load fails.
    return PyDict_SetDefault(PyImport_GetModuleDict(), id.kofa.get(), module) != nullptr;
}

enum class LoadClaim { claimed, same_module, refused };

// Whether `module` may be loaded now. Refused with RuntimeError when another
// module object is loaded already, with ImportError while another load is
// still running (its module is not complete, and waiting for it could wait
// on a thread that its own NumPy import is waiting for). Records `module`
// as the one being loaded when `claim` is set and nothing is.
LoadClaim check_load(PyObject* module, bool claim) {
    std::lock_guard<compat::Mutex> guard(load_mutex);
    if (process.module == nullptr) {
        if (claim) {
            Py_INCREF(module);
            process.module = module;
        }
        return LoadClaim::claimed;
    }
    if (process.module == module) return LoadClaim::same_module;
    if (compat::read_published(process.loaded_module) == nullptr)
        PyErr_SetString(PyExc_ImportError,
                        "Module 'kofa' is being loaded by another import that has not finished; "
                        "import it again once that load is complete.");
    else
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'kofa' has already been imported. Re-initialisation is not supported.");
    return LoadClaim::refused;
}

int exec_module(PyObject* module) {
    LoadClaim claim = check_load(module, false);
    if (claim != LoadClaim::claimed) return claim == LoadClaim::same_module ? 0 : -1;
    if (check_version() < 0 || ready_function_type() < 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, kLoadDisplayName);
        return -1;
    }
    // The version warning can run Python code, and with it another load:
    // the claim is made only now, in one step with its check.
    claim = check_load(module, true);
    if (claim != LoadClaim::claimed) return claim == LoadClaim::same_module ? 0 : -1;
    process.namespace_ = PyModule_GetDict(module);
    Py_XINCREF(process.namespace_);

    int line = kLineOther;
    if (process.namespace_ != nullptr && populate(module, &line)) {
        compat::publish(process.loaded_module, module);
        return 0;
    }

    // Leave the module unloaded so that a later import runs both phases again.
    add_traceback_entry(kLoadDisplayName, line);
    Ref failed_namespace, failed_module;
    {
        std::lock_guard<compat::Mutex> guard(load_mutex);
        failed_namespace = Ref::steal(std::exchange(process.namespace_, nullptr));
        failed_module = Ref::steal(std::exchange(process.module, nullptr));
    }
    return -1;  // both released here, outside the lock
}

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    KOFA_VERSION_MODULE_SLOTS
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "kofa",
    kModuleDoc,
    0,
    no_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace kofa

KOFA_MODULE_INIT PyInit_kofa(void) { return PyModuleDef_Init(&kofa::module_def); }
