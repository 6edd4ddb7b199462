// Global lookup in a module namespace with the builtins as fallback, and import statements.
#include "globals.hpp"

namespace vantor::support {

PyObject* intern(const char* text) { return require(PyUnicode_InternFromString(text)); }

PyObject* keyword_names(std::initializer_list<const char*> names) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const char* name : names) PyTuple_SET_ITEM(tuple.get(), i++, intern(name));
    return tuple.release();
}

Ref lookup_global(PyObject* globals, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(globals, name);
    if (value != nullptr) return Ref::new_ref(value);
    if (PyErr_Occurred()) throw_error();
    PyObject* builtins = PyDict_GetItemString(globals, "__builtins__");
    if (builtins != nullptr) {
        if (PyModule_Check(builtins)) builtins = PyModule_GetDict(builtins);
        if (PyDict_Check(builtins)) {
            value = PyDict_GetItemWithError(builtins, name);
            if (value != nullptr) return Ref::new_ref(value);
            if (PyErr_Occurred()) throw_error();
        }
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    throw_error();
}

Ref import_module(PyObject* globals, const char* name) {
    Ref text = Ref::steal(PyUnicode_FromString(name));
    return Ref::steal(PyImport_ImportModuleLevelObject(text.get(), globals, nullptr, nullptr, 0));
}

Ref import_from(PyObject* globals, const char* module, const char* name) {
    Ref module_name = Ref::steal(PyUnicode_FromString(module));
    Ref attr = Ref::steal(PyUnicode_FromString(name));
    Ref fromlist = Ref::steal(PyTuple_Pack(1, attr.get()));
    Ref mod = Ref::steal(PyImport_ImportModuleLevelObject(module_name.get(), globals, nullptr, fromlist.get(), 0));
    PyObject* value = PyObject_GetAttr(mod.get(), attr.get());
    if (value != nullptr) return Ref::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
    PyErr_Clear();
    // As the import statement does: a submodule that is already imported counts as well.
    Ref full = Ref::steal(PyUnicode_FromFormat("%s.%s", module, name));
    PyObject* submodule = PyImport_GetModule(full.get());
    if (submodule != nullptr) return Ref::steal(submodule);
    if (PyErr_Occurred()) throw_error();
    PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
    throw_error();
}

void bind_global(PyObject* globals, const char* name, PyObject* value) {
    require(PyDict_SetItemString(globals, name, value));
}

}  // namespace vantor::support
