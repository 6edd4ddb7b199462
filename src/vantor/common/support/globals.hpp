// Module globals looked up by name at each use, and the imports that bind them.
// A rebinding of a module global on the module takes effect at its next use.
#pragma once

#include "ref.hpp"

#include <initializer_list>

namespace vantor::support {

// The global `name` of a module namespace, else the builtin of that name; NameError otherwise.
// Returns a new reference, so a rebinding during the caller's use cannot free it.
Ref lookup_global(PyObject* globals, PyObject* name);

// `import name`: binds and returns the top-level module.
Ref import_module(PyObject* globals, const char* name);

// `from module import name`: returns the attribute, or the submodule of that name.
Ref import_from(PyObject* globals, const char* module, const char* name);

// Binds `value` in the namespace under `name`.
void bind_global(PyObject* globals, const char* name, PyObject* value);

// An interned str that lives as long as the process: names of globals and attributes.
PyObject* intern(const char* text);

// A tuple of interned names, for the keyword names of a vectorcall: the callee matches interned
// names to its parameters by identity, and others by comparing text. Returns a new reference.
PyObject* keyword_names(std::initializer_list<const char*> names);

}  // namespace vantor::support
