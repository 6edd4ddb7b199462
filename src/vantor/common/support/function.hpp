// The function type: a compiled function that looks and binds like a Python function
// (identity attributes, __defaults__, string __annotations__, __dict__, method binding, vectorcall).
#pragma once

#include "ref.hpp"
#include "signature.hpp"

namespace vantor::support {

struct FunctionObject;

// The C++ body of a function. Returns a new reference; may throw.
using Body = PyObject* (*)(FunctionObject* self, BoundArgs& args);

// An entry for the calls a function sees most, taken before the binder: it handles them whole
// (returning a new reference, or throwing), or returns not_handled() having done nothing, and
// the ordinary binding and body follow. It runs without the recursion guard, so it may handle only
// calls that make no call back into arbitrary callables.
using FastPath = PyObject* (*)(FunctionObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

inline PyObject* not_handled() noexcept {
    static char tag;
    return reinterpret_cast<PyObject*>(&tag);
}

// Strong fields: name, qualname, module, doc, defaults, annotations, annotate, dict, globals,
// closure, names, owner. `state` is borrowed through `owner` (the defining module).
struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;       // __module__
    PyObject* doc;          // __doc__
    PyObject* defaults;     // tuple or nullptr
    PyObject* annotations;  // dict, or nullptr until first read
    PyObject* annotate;     // __annotate__ (3.14 on): a callable, None, or nullptr (None)
    PyObject* dict;         // __dict__, or nullptr until first needed
    PyObject* globals;      // the defining module's namespace
    PyObject* closure;      // tuple of captured objects, or nullptr
    PyObject* names;        // tuple of interned parameter names
    PyObject* owner;        // the defining module object
    PyObject* weakreflist;
    void* state;            // module state of `owner`
    const Signature* sig;
    Body body;
    FastPath fast;
};

// What a module needs to create its functions.
struct FunctionFactory {
    PyTypeObject* type;  // borrowed: the module state holds it
    PyObject* owner;     // borrowed: the module object
    void* state;
    PyObject* globals;   // borrowed: the module's namespace
    PyObject* module_name;
};

// The factory of the module that defined `f`, for functions that `f` creates at run time;
// their __module__ is the module's current __name__, as for nested Python functions.
FunctionFactory factory_of(FunctionObject* f);

// Creates the function type of one module (a heap type named `<module>.function`).
// `qualified_name` must have static storage. Returns a new reference.
PyTypeObject* create_function_type(PyObject* module, const char* qualified_name);

struct FunctionDef {
    const Signature* sig;
    Body body;
    const char* qualname;
    const char* doc = nullptr;
    // An entry point that replaces binding and `body`, for functions that pass their arguments
    // on untouched; the signature still describes them.
    vectorcallfunc call = nullptr;
    FastPath fast = nullptr;
};

// A new function object; `defaults` and `closure` may be nullptr.
Ref make_function(const FunctionFactory& factory, const FunctionDef& def, PyObject* defaults = nullptr,
                  PyObject* closure = nullptr);

inline FunctionObject* as_function(PyObject* op) noexcept { return reinterpret_cast<FunctionObject*>(op); }

// The captured object `i` of a closure function (borrowed).
inline PyObject* closure_item(FunctionObject* f, Py_ssize_t i) noexcept {
    assert(f->closure && i < PyTuple_GET_SIZE(f->closure));
    return PyTuple_GET_ITEM(f->closure, i);
}

}  // namespace vantor::support
