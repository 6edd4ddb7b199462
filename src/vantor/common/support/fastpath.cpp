// The override check: a cached type lookup and one probe of the instance dict.
#include "fastpath.hpp"

namespace vantor::support {

bool resolves_to(PyObject* self, PyObject* name, PyObject* ours) {
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
    if (_PyType_Lookup(type, name) != ours) return false;
    PyObject** dictptr = _PyObject_GetDictPtr(self);
    if (dictptr == nullptr || *dictptr == nullptr) return true;
    PyObject* shadow = PyDict_GetItemWithError(*dictptr, name);
    if (shadow != nullptr) return false;
    if (PyErr_Occurred()) throw_error();
    return true;
}

}  // namespace vantor::support
