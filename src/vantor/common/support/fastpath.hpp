// The override check behind every call through `self`: when `self.<name>` would resolve to our
// own function object, the caller may run the C++ body directly instead of the attribute call.
#pragma once

#include "internals.hpp"
#include "ref.hpp"

namespace vantor::support {

// True when, under the generic attribute lookup, `self.<name>` resolves to `ours`: the type's
// attribute is that very object and the instance dict does not shadow it. The probe of the
// instance dict may run a key's __eq__ (a key comparing equal to `name`).
bool resolves_to(PyObject* self, PyObject* name, PyObject* ours);

// The attribute `name` as the type's MRO gives it, before any descriptor is applied (borrowed;
// nullptr when no class in the MRO has it). The interpreter's cached type lookup.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) { return internals::type_lookup(type, name); }

// self.<name>(*args) with an optional kwnames tuple, through the interpreter's method call.
inline Ref call_method(PyObject* name, PyObject* const* args, size_t nargs_with_self, PyObject* kwnames = nullptr) {
    return Ref::steal(PyObject_VectorcallMethod(name, args, nargs_with_self, kwnames));
}

// `self.<name>` when it comes straight from the instance dict because the type has no attribute
// of that name (borrowed from `dict`); nullptr when the ordinary lookup must decide. The probe may
// run a key's __eq__, as above.
PyObject* plain_instance_attr(PyObject* self, PyObject* dict, PyObject* name);

}  // namespace vantor::support
