// The override check: a cached type lookup and one probe of the instance dict.
#include "fastpath.hpp"

#include <cstring>

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

bool LookupSnapshot::take(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    watch_.stop();
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
#if PY_VERSION_HEX >= 0x030D0000
    inline_compared_ = false;
    // The copy keeps the object's own layout, and with it the interpreter's fast attribute loads
    // on it; an object whose values it cannot hold is given a watchable dict instead.
    PyObject* dict = internals::instance_dict(self);
    if (!(inline_stores_missed(self, dict) && copy_inline_values(dict))) dict = watchable_instance_dict(self);
#else
    PyObject* dict = watchable_instance_dict(self);
#endif
    if (dict == nullptr || !PyDict_CheckExact(dict)) return false;
    return watch_.start(dict, type);
}

#if PY_VERSION_HEX >= 0x030D0000
bool LookupSnapshot::copy_inline_values(PyObject* dict) {
    const internals::InlineValues* values = internals::inline_values_under(dict);
    if (!values->valid || values->capacity > kMaxInlineSlots) return false;
    int count = 0;
    for (int i = 0; i < values->capacity; ++i)
        if (values->slots[i] != nullptr) count = i + 1;
    if (count <= kBlockSlots && values->capacity >= kBlockSlots) count = kBlockSlots;
    std::memcpy(inline_copy_, values->slots, sizeof(PyObject*) * static_cast<std::size_t>(count));
    inline_count_ = count;
    inline_size_ = values->size;
    inline_compared_ = true;
    return true;
}
#endif

PyObject* plain_instance_attr(PyObject* self, PyObject* dict, PyObject* name) {
    if (type_lookup(Py_TYPE(self), name) != nullptr) return nullptr;
    PyObject* value = PyDict_GetItemWithError(dict, name);
    if (value == nullptr && PyErr_Occurred()) throw_error();
    return value;
}

}  // namespace vantor::support
