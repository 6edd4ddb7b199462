// The override check: a cached type lookup and one probe of the instance dict.
#include "fastpath.hpp"

namespace vantor::support {

PyObject* type_lookup(PyTypeObject* type, PyObject* name) { return _PyType_Lookup(type, name); }

bool resolves_to(PyObject* self, PyObject* name, PyObject* ours) {
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
    if (_PyType_Lookup(type, name) != ours) return false;
    PyObject* dict = LookupSnapshot::dict_of(self);
    if (dict == nullptr) return true;
    PyObject* shadow = PyDict_GetItemWithError(dict, name);
    if (shadow != nullptr) return false;
    if (PyErr_Occurred()) throw_error();
    return true;
}

}  // namespace vantor::support

namespace vantor::support {

bool LookupSnapshot::take(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject* dict = dict_of(self);
    if (type->tp_getattro != PyObject_GenericGetAttr || dict == nullptr || !PyDict_CheckExact(dict) ||
        !version_valid(type)) {
        type_ = nullptr;
        return false;
    }
    type_ = type;
    type_version_ = type->tp_version_tag;
    dict_ = dict;
    dict_version_ = version_of(dict);
    return true;
}

PyObject* plain_instance_attr(PyObject* self, PyObject* dict, PyObject* name) {
    if (_PyType_Lookup(Py_TYPE(self), name) != nullptr) return nullptr;
    PyObject* value = PyDict_GetItemWithError(dict, name);
    if (value == nullptr && PyErr_Occurred()) throw_error();
    return value;
}

}  // namespace vantor::support
