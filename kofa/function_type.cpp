#include "kofa/function_type.hpp"

#include <cstddef>

namespace kofa {

namespace {

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

PyObject* new_reference(PyObject* object) {
    Py_INCREF(object);
    return object;
}

PyObject* or_none(PyObject* object) { return new_reference(object != nullptr ? object : Py_None); }

// Stores a new reference to `value` (or null) in `slot`, releasing the old one.
void store(PyObject*& slot, PyObject* value) {
    Py_XINCREF(value);
    Py_XSETREF(slot, value);
}

// ---- attribute accessors ------------------------------------------------------

PyObject* get_doc(PyObject* self, void*) {
    FunctionObject* function = as_function(self);
    if (function->doc == nullptr) {
        if (function->record->doc == nullptr) Py_RETURN_NONE;
        function->doc = PyUnicode_FromString(function->record->doc);
        if (function->doc == nullptr) return nullptr;
    }
    return new_reference(function->doc);
}

int set_doc(PyObject* self, PyObject* value, void*) {
    store(as_function(self)->doc, value != nullptr ? value : Py_None);
    return 0;
}

PyObject* get_name(PyObject* self, void*) {
    FunctionObject* function = as_function(self);
    if (function->name == nullptr) {
        function->name = PyUnicode_InternFromString(function->record->name);
        if (function->name == nullptr) return nullptr;
    }
    return new_reference(function->name);
}

int set_name(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    store(as_function(self)->name, value);
    return 0;
}

PyObject* get_qualname(PyObject* self, void*) { return new_reference(as_function(self)->qualname); }

int set_qualname(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    store(as_function(self)->qualname, value);
    return 0;
}

PyObject* get_self(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_dict(PyObject* self, void*) {
    FunctionObject* function = as_function(self);
    if (function->dict == nullptr) {
        function->dict = PyDict_New();
        if (function->dict == nullptr) return nullptr;
    }
    return new_reference(function->dict);
}

int set_dict(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "function's dictionary may not be deleted");
        return -1;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "setting function's dictionary to a non-dict");
        return -1;
    }
    store(as_function(self)->dict, value);
    return 0;
}

PyObject* get_globals(PyObject* self, void*) { return new_reference(as_function(self)->globals); }

PyObject* get_closure(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_code(PyObject* self, void*) { return or_none(as_function(self)->code); }

PyObject* get_defaults(PyObject* self, void*) { return or_none(as_function(self)->defaults); }

int set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    store(as_function(self)->defaults, value);
    return 0;
}

PyObject* get_kwdefaults(PyObject* self, void*) { return or_none(as_function(self)->kwdefaults); }

int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    store(as_function(self)->kwdefaults, value);
    return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* function = as_function(self);
    if (function->annotations == nullptr) {
        function->annotations = PyDict_New();
        if (function->annotations == nullptr) return nullptr;
    }
    return new_reference(function->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    store(as_function(self)->annotations, value);
    return 0;
}

PyObject* get_module(PyObject* self, void*) { return or_none(as_function(self)->module); }

int set_module(PyObject* self, PyObject* value, void*) {
    store(as_function(self)->module, value);
    return 0;
}

// Every attribute also answers to its func_ alias, with the same accessors.
PyGetSetDef function_getset[] = {
    {"func_doc", get_doc, set_doc, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"func_name", get_name, set_name, nullptr, nullptr},
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__self__", get_self, nullptr, nullptr, nullptr},
    {"func_dict", get_dict, set_dict, nullptr, nullptr},
    {"__dict__", get_dict, set_dict, nullptr, nullptr},
    {"func_globals", get_globals, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"func_closure", get_closure, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"func_code", get_code, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"func_defaults", get_defaults, set_defaults, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Pickling stores a reference to the module attribute of this name.
PyObject* reduce(PyObject* self, PyObject*) { return PyUnicode_FromString(as_function(self)->record->name); }

PyMethodDef function_methods[] = {
    {"__reduce__", reduce, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---- type slots -------------------------------------------------------------

PyObject* call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return as_function(self)->record->binder(self, args, kwargs);
}

PyObject* repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Stored on a class, a function binds to instances like a Python function.
PyObject* descr_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) return new_reference(self);
    return PyMethod_New(self, instance);
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* function = as_function(self);
    Py_VISIT(function->module);
    Py_VISIT(function->dict);
    Py_VISIT(function->name);
    Py_VISIT(function->qualname);
    Py_VISIT(function->doc);
    Py_VISIT(function->globals);
    Py_VISIT(function->code);
    Py_VISIT(function->defaults);
    Py_VISIT(function->kwdefaults);
    Py_VISIT(function->annotations);
    return 0;
}

int clear(PyObject* self) {
    FunctionObject* function = as_function(self);
    Py_CLEAR(function->module);
    Py_CLEAR(function->dict);
    Py_CLEAR(function->name);
    Py_CLEAR(function->qualname);
    Py_CLEAR(function->doc);
    Py_CLEAR(function->globals);
    Py_CLEAR(function->code);
    Py_CLEAR(function->defaults);
    Py_CLEAR(function->kwdefaults);
    Py_CLEAR(function->annotations);
    return 0;
}

void dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    clear(self);
    PyObject_GC_Del(self);
}

PyTypeObject function_type = [] {
    PyTypeObject type{PyVarObject_HEAD_INIT(nullptr, 0)};
    type.tp_name = "kofa.function";
    type.tp_basicsize = sizeof(FunctionObject);
    type.tp_dealloc = dealloc;
    type.tp_repr = repr;
    type.tp_call = call;
    type.tp_getattro = PyObject_GenericGetAttr;
    type.tp_setattro = PyObject_GenericSetAttr;
    // No Py_TPFLAGS_BASETYPE: the type cannot be subclassed.
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    type.tp_traverse = traverse;
    type.tp_clear = clear;
    type.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    type.tp_methods = function_methods;
    type.tp_getset = function_getset;
    type.tp_descr_get = descr_get;
    type.tp_dictoffset = offsetof(FunctionObject, dict);
    return type;
}();

}  // namespace

int ready_function_type() { return PyType_Ready(&function_type); }

PyObject* new_function(const FunctionRecord& record, PyObject* module_name, PyObject* globals, PyObject* code,
                       PyObject* defaults) {
    FunctionObject* function = PyObject_GC_New(FunctionObject, &function_type);
    if (function == nullptr) return nullptr;
    function->record = &record;
    function->module = new_reference(module_name);
    function->dict = nullptr;
    function->name = nullptr;
    function->qualname = new_reference(record.interned_name->get());
    function->doc = nullptr;
    function->globals = new_reference(globals);
    function->code = new_reference(code);
    function->defaults = new_reference(defaults);
    function->kwdefaults = nullptr;
    function->annotations = nullptr;
    function->weakrefs = nullptr;
    PyObject_GC_Track(function);
    return reinterpret_cast<PyObject*>(function);
}

}  // namespace kofa
