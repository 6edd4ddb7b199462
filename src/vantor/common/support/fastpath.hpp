// The override check behind every call through `self`: when `self.<name>` would resolve to our
// own function object, the caller may run the C++ body directly instead of the attribute call.
#pragma once

#include "ref.hpp"

#include <cstdint>

namespace vantor::support {

// True when, under the generic attribute lookup, `self.<name>` resolves to `ours`: the type's
// attribute is that very object and the instance dict does not shadow it. Uses the interpreter's
// private type-lookup (cached) and dict-pointer helpers; kept here, in one place.
bool resolves_to(PyObject* self, PyObject* name, PyObject* ours);

// The attribute `name` as the type's MRO gives it, before any descriptor is applied (borrowed;
// nullptr when no class in the MRO has it). The interpreter's cached type lookup.
PyObject* type_lookup(PyTypeObject* type, PyObject* name);

// self.<name>(*args) with an optional kwnames tuple, through the interpreter's method call.
inline Ref call_method(PyObject* name, PyObject* const* args, size_t nargs_with_self, PyObject* kwnames = nullptr) {
    return Ref::steal(PyObject_VectorcallMethod(name, args, nargs_with_self, kwnames));
}

}  // namespace vantor::support

namespace vantor::support {

// Watches an object's attribute lookup: valid while neither its type (nor a base) nor its
// instance dict has been modified since `take`. Everything resolved from the type and the dict
// in between may be reused while it stays valid. Uses the interpreter's version tags.
class LookupSnapshot {
public:
    // False when the lookup cannot be watched (custom __getattribute__, no dict, no version tag).
    bool take(PyObject* self);
    bool still_valid(PyObject* self) const {
        PyTypeObject* type = Py_TYPE(self);
        return type == type_ && type_ != nullptr && version_valid(type) && type->tp_version_tag == type_version_ &&
               dict_of(self) == dict_ && version_of(dict_) == dict_version_;
    }
    PyObject* dict() const { return dict_; }

    static bool version_valid(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030D0000
        // From 3.13 on, attributes stored in an instance's inline values can change without a new
        // dict version: nothing is reused there, and every lookup is made afresh.
        (void)type;
        return false;
#else
        return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) != 0 && type->tp_version_tag != 0;
#endif
    }
    static PyObject* dict_of(PyObject* self) {
        // The common layout inline; variable-size and managed-dict objects ask the interpreter.
        const Py_ssize_t offset = Py_TYPE(self)->tp_dictoffset;
        if (offset > 0) return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offset);
        PyObject** dictptr = _PyObject_GetDictPtr(self);
        return dictptr ? *dictptr : nullptr;
    }
    // The dict version is deprecated from 3.12 on but still maintained on every change through 3.13.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
#if PY_VERSION_HEX < 0x030E0000
    static std::uint64_t version_of(PyObject* dict) { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }
#else
    // 3.14 removed the dict version; nothing that needs it is reused there (see version_valid).
    static std::uint64_t version_of(PyObject*) { return 0; }
#endif
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

private:
    PyTypeObject* type_ = nullptr;
    unsigned int type_version_ = 0;
    PyObject* dict_ = nullptr;
    std::uint64_t dict_version_ = 0;
};

// `self.<name>` when it comes straight from the instance dict because the type has no attribute
// of that name (borrowed from `dict`); nullptr when the ordinary lookup must decide.
PyObject* plain_instance_attr(PyObject* self, PyObject* dict, PyObject* name);

}  // namespace vantor::support
