// The override check behind every call through `self`: when `self.<name>` would resolve to our
// own function object, the caller may run the C++ body directly instead of the attribute call.
#pragma once

#include "ref.hpp"

namespace vantor::support {

// True when, under the generic attribute lookup, `self.<name>` resolves to `ours`: the type's
// attribute is that very object and the instance dict does not shadow it. Uses the interpreter's
// private type-lookup (cached) and dict-pointer helpers; kept here, in one place.
bool resolves_to(PyObject* self, PyObject* name, PyObject* ours);

// self.<name>(*args) with an optional kwnames tuple, through the interpreter's method call.
inline Ref call_method(PyObject* name, PyObject* const* args, size_t nargs_with_self, PyObject* kwnames = nullptr) {
    return Ref::steal(PyObject_VectorcallMethod(name, args, nargs_with_self, kwnames));
}

}  // namespace vantor::support
