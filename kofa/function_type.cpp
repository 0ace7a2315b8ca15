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

// Every accessor of a slot that can change runs under the object's own lock
// (CriticalSection, nothing on builds with the GIL): without the GIL, a read
// could otherwise take a reference to an object that an assignment in
// another thread has just released, and two first reads could both make the
// lazily made value.
using Lock = compat::CriticalSection;

// A new reference to the slot's object, or None while nothing is stored.
PyObject* read_or_none(PyObject* self, PyObject* FunctionObject::*member) {
    Lock lock(self);
    return or_none(as_function(self)->*member);
}

// ---- attribute accessors ------------------------------------------------------

PyObject* get_doc(PyObject* self, void*) {
    Lock lock(self);
    FunctionObject* function = as_function(self);
    if (function->doc == nullptr) {
        if (function->record->doc == nullptr) Py_RETURN_NONE;
        function->doc = PyUnicode_FromString(function->record->doc);
        if (function->doc == nullptr) return nullptr;
    }
    return new_reference(function->doc);
}

int set_doc(PyObject* self, PyObject* value, void*) {
    Lock lock(self);
    store(as_function(self)->doc, value != nullptr ? value : Py_None);
    return 0;
}

PyObject* get_name(PyObject* self, void*) {
    Lock lock(self);
    FunctionObject* function = as_function(self);
    if (function->name == nullptr) {
        function->name = PyUnicode_InternFromString(function->record->name);
        if (function->name == nullptr) return nullptr;
    }
    return new_reference(function->name);
}

PyObject* get_qualname(PyObject* self, void*) { return read_or_none(self, &FunctionObject::qualname); }

PyObject* get_self(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_globals(PyObject* self, void*) { return new_reference(as_function(self)->globals); }

PyObject* get_closure(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_code(PyObject* self, void*) { return or_none(as_function(self)->code); }

// An attribute that only objects of one type may be assigned to. The getset
// table passes its description to the accessors as their closure.
struct TypedAttribute {
    PyObject* FunctionObject::*member;
    int (*accepts)(PyObject*);
    const char* message;    // the TypeError for anything else
    bool none_clears;       // None and deletion store nothing, rather than failing
};

int is_str(PyObject* value) { return PyUnicode_Check(value); }
int is_tuple(PyObject* value) { return PyTuple_Check(value); }
int is_dict(PyObject* value) { return PyDict_Check(value); }

const TypedAttribute name_attribute = {&FunctionObject::name, is_str, "__name__ must be set to a string object",
                                       false};
const TypedAttribute qualname_attribute = {&FunctionObject::qualname, is_str,
                                           "__qualname__ must be set to a string object", false};
const TypedAttribute defaults_attribute = {&FunctionObject::defaults, is_tuple,
                                           "__defaults__ must be set to a tuple object", true};
const TypedAttribute kwdefaults_attribute = {&FunctionObject::kwdefaults, is_dict,
                                             "__kwdefaults__ must be set to a dict object", true};
const TypedAttribute dict_attribute = {&FunctionObject::dict, is_dict, "setting function's dictionary to a non-dict",
                                       false};
const TypedAttribute annotations_attribute = {&FunctionObject::annotations, is_dict,
                                              "__annotations__ must be set to a dict object", true};

void* closure_of(const TypedAttribute& attribute) { return const_cast<TypedAttribute*>(&attribute); }

// For the attributes that read None while nothing is stored.
PyObject* get_typed(PyObject* self, void* closure) {
    return read_or_none(self, static_cast<const TypedAttribute*>(closure)->member);
}

int set_typed(PyObject* self, PyObject* value, void* closure) {
    const auto& attribute = *static_cast<const TypedAttribute*>(closure);
    Lock lock(self);
    PyObject*& slot = as_function(self)->*attribute.member;
    if (attribute.none_clears && (value == nullptr || value == Py_None)) {
        store(slot, nullptr);
        return 0;
    }
    if (value == nullptr || !attribute.accepts(value)) {
        PyErr_SetString(PyExc_TypeError, attribute.message);
        return -1;
    }
    store(slot, value);
    return 0;
}

// __dict__ and __annotations__: a dict made empty on first read. The
// interpreter reads the instance dict without the lock, so the new dict is
// published only once it is complete.
PyObject* get_made_dict(PyObject* self, void* closure) {
    Lock lock(self);
    PyObject*& slot = as_function(self)->*static_cast<const TypedAttribute*>(closure)->member;
    if (slot == nullptr) {
        PyObject* made = PyDict_New();
        if (made == nullptr) return nullptr;
        compat::publish(slot, made);
    }
    return new_reference(slot);
}

// __dict__ cannot be deleted; any other assignment is a typed one.
int set_dict(PyObject* self, PyObject* value, void* closure) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "function's dictionary may not be deleted");
        return -1;
    }
    return set_typed(self, value, closure);
}

PyObject* get_module(PyObject* self, void*) { return read_or_none(self, &FunctionObject::module); }

int set_module(PyObject* self, PyObject* value, void*) {
    Lock lock(self);
    store(as_function(self)->module, value);
    return 0;
}

// Every attribute also answers to its func_ alias, with the same accessors.
PyGetSetDef function_getset[] = {
    {"func_doc", get_doc, set_doc, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"func_name", get_name, set_typed, nullptr, closure_of(name_attribute)},
    {"__name__", get_name, set_typed, nullptr, closure_of(name_attribute)},
    {"__qualname__", get_qualname, set_typed, nullptr, closure_of(qualname_attribute)},
    {"__self__", get_self, nullptr, nullptr, nullptr},
    {"func_dict", get_made_dict, set_dict, nullptr, closure_of(dict_attribute)},
    {"__dict__", get_made_dict, set_dict, nullptr, closure_of(dict_attribute)},
    {"func_globals", get_globals, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"func_closure", get_closure, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"func_code", get_code, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"func_defaults", get_typed, set_typed, nullptr, closure_of(defaults_attribute)},
    {"__defaults__", get_typed, set_typed, nullptr, closure_of(defaults_attribute)},
    {"__kwdefaults__", get_typed, set_typed, nullptr, closure_of(kwdefaults_attribute)},
    {"__annotations__", get_made_dict, set_typed, nullptr, closure_of(annotations_attribute)},
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
    PyObject* qualname = read_or_none(self, &FunctionObject::qualname);
    PyObject* text = PyUnicode_FromFormat("<function %U at %p>", qualname, self);
    Py_DECREF(qualname);
    return text;
}

// Stored on a class, a function binds to instances like a Python function.
PyObject* descr_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) return new_reference(self);
    return PyMethod_New(self, instance);
}

// Every reference that a function object owns, for the collector's traverse
// and clear.
template <class Visit>
int for_each_reference(PyObject* self, Visit visit) {
    FunctionObject* function = as_function(self);
    PyObject** const slots[] = {&function->module,  &function->dict,     &function->name,
                                &function->qualname, &function->doc,      &function->globals,
                                &function->code,     &function->defaults, &function->kwdefaults,
                                &function->annotations};
    for (PyObject** slot : slots) {
        if (const int status = visit(slot)) return status;
    }
    return 0;
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    return for_each_reference(self, [&](PyObject** slot) {
        Py_VISIT(*slot);
        return 0;
    });
}

int clear(PyObject* self) {
    return for_each_reference(self, [](PyObject** slot) {
        Py_CLEAR(*slot);
        return 0;
    });
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

// PyType_Ready may report success with an exception pending: CPython 3.13.0
// drops an insertion into the type's dict that ran out of memory, leaving the
// dict a descriptor short, with a freed object among its keys. That load
// fails with the pending error, and since the type stays marked ready, every
// later load in the process refuses rather than hand out functions of a
// broken type.
int ready_function_type() {
    static bool left_broken = false;
    if (left_broken) {
        PyErr_SetString(PyExc_ImportError,
                        "kofa cannot be loaded in this process: memory ran out while an earlier load readied its "
                        "function type");
        return -1;
    }
    if (PyType_Ready(&function_type) < 0) return -1;
    if (!PyErr_Occurred()) return 0;
    left_broken = true;
    return -1;
}

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
