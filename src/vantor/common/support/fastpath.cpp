// The override check: a cached type lookup and one probe of the instance dict.
#include "fastpath.hpp"

namespace vantor::support {

bool resolves_to(PyObject* self, PyObject* name, PyObject* ours) {
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
    if (type_lookup(type, name) != ours) return false;
    PyObject* dict = internals::instance_dict(self);
    if (dict == nullptr) return true;
    PyObject* shadow = PyDict_GetItemWithError(dict, name);
    if (shadow != nullptr) return false;
    if (PyErr_Occurred()) throw_error();
    return true;
}

PyObject* plain_instance_attr(PyObject* self, PyObject* dict, PyObject* name) {
    if (type_lookup(Py_TYPE(self), name) != nullptr) return nullptr;
    PyObject* value = PyDict_GetItemWithError(dict, name);
    if (value == nullptr && PyErr_Occurred()) throw_error();
    return value;
}

}  // namespace vantor::support
