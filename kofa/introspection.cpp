#include "kofa/introspection.hpp"

#include "kofa/state.hpp"

namespace kofa {

namespace {

// The parameter names followed by the locals.
PyObject* variable_names(const FunctionRecord& function) {
    PyObject* names = PyTuple_New(function.parameter_count + function.local_count);
    if (names == nullptr) return nullptr;
    for (Py_ssize_t i = 0; i < function.parameter_count; ++i) {
        PyObject* name = function.parameters[i].name->get();
        Py_INCREF(name);
        PyTuple_SET_ITEM(names, i, name);
    }
    for (Py_ssize_t i = 0; i < function.local_count; ++i) {
        PyObject* name = function.locals[i]->get();
        Py_INCREF(name);
        PyTuple_SET_ITEM(names, function.parameter_count + i, name);
    }
    return names;
}

}  // namespace

PyObject* introspection_code(const FunctionRecord& function) {
    Ref names = Ref::steal(variable_names(function));
    if (!names) return nullptr;
    Ref empty = Ref::steal(
        reinterpret_cast<PyObject*>(PyCode_NewEmpty(kSourceFile, function.name, function.def_line)));
    if (!empty) return nullptr;
    Ref argcount = Ref::steal(PyLong_FromSsize_t(function.parameter_count));
    Ref nlocals = Ref::steal(PyLong_FromSsize_t(function.parameter_count + function.local_count));
    Ref flags = Ref::steal(PyLong_FromLong(CO_OPTIMIZED | CO_NEWLOCALS));
    Ref no_bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    if (!argcount || !nlocals || !flags || !no_bytes) return nullptr;
    // code.replace(co_argcount=..., co_nlocals=..., co_varnames=..., co_flags=...,
    // and where the empty code object still holds instructions, no bytecode).
    Ref keywords;
    if constexpr (compat::kEmptyCodeHasBytecode) {
        keywords = Ref::steal(PyTuple_Pack(8, id.co_argcount.get(), id.co_nlocals.get(), id.co_varnames.get(),
                                           id.co_flags.get(), id.co_code.get(), id.co_linetable.get(),
                                           id.co_exceptiontable.get(), id.co_stacksize.get()));
    } else {
        keywords = Ref::steal(
            PyTuple_Pack(4, id.co_argcount.get(), id.co_nlocals.get(), id.co_varnames.get(), id.co_flags.get()));
    }
    if (!keywords) return nullptr;
    PyObject* args[] = {empty.get(),    argcount.get(), nlocals.get(),  names.get(),        flags.get(),
                        no_bytes.get(), no_bytes.get(), no_bytes.get(), constant.zero.get()};
    return compat::vectorcall_method(id.replace.get(), args, 1, keywords.get());
}

PyObject* defaults_tuple(const FunctionRecord& function) {
    PyObject* defaults = PyTuple_New(function.parameter_count - 1);
    if (defaults == nullptr) return nullptr;
    for (Py_ssize_t i = 1; i < function.parameter_count; ++i) {
        const View* omitted = function.parameters[i].omitted;
        PyObject* value = omitted != nullptr ? omitted->get() : Py_None;
        Py_INCREF(value);
        PyTuple_SET_ITEM(defaults, i - 1, value);
    }
    return defaults;
}

}  // namespace kofa
