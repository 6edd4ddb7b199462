// Taking a Basis: what an object, a dict or a type is now, watched from now on.
#include "reuse.hpp"

namespace vantor::support {

namespace {

// The generic attribute lookup, or a module's (the generic one, then __getattr__ for a name that
// it does not find): an attribute present in the instance dict is read from there either way.
bool generic_lookup(PyTypeObject* type) {
    return type->tp_getattro == PyObject_GenericGetAttr || type->tp_getattro == PyModule_Type.tp_getattro;
}

}  // namespace

bool Basis::take(PyObject* obj) {
    watch_.stop();
    object_ = nullptr;
    PyTypeObject* type = Py_TYPE(obj);
    if (!generic_lookup(type)) return false;
    PyObject* dict = internals::instance_dict(obj);
    if (dict == nullptr || !PyDict_CheckExact(dict) || inline_stores_missed(obj, dict)) return false;
    internals::assign_version_tag(type);
    if (!watch_.start(dict, type)) return false;
    kind_ = Kind::object;
    object_ = obj;
    type_ = type;
    dict_ = dict;
    return true;
}

bool Basis::take_dict(PyObject* dict) {
    watch_.stop();
    object_ = nullptr;
    if (!PyDict_CheckExact(dict) || dict_stores_missed(dict) || !watch_.start(dict, nullptr)) return false;
    kind_ = Kind::dict;
    object_ = dict;
    type_ = &PyDict_Type;
    dict_ = dict;
    return true;
}

bool Basis::take_type(PyTypeObject* type) {
    watch_.stop();
    object_ = nullptr;
    internals::assign_version_tag(type);
    if (!watch_.start(nullptr, type)) return false;
    kind_ = Kind::type;
    object_ = reinterpret_cast<PyObject*>(type);
    type_ = Py_TYPE(type);
    dict_ = nullptr;
    return true;
}

}  // namespace vantor::support
