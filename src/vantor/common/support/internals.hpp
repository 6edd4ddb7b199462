// The one door to interpreter internals and private API: everything that depends on how a given
// CPython version lays out or names its internals is here, one #if ladder per need, with the
// versions each branch was checked on (also listed in the README).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

// Whether dict and type changes are told by the interpreter's watchers (3.12 on, public API) or
// read from version tags (before; the dict version is gone from 3.14 on).
#define VANTOR_WATCHERS (PY_VERSION_HEX >= 0x030C0000)

namespace vantor::support::internals {

// The attribute `name` of a type as its MRO gives it, through the interpreter's type cache
// (borrowed, nullptr when absent; never raises). _PyType_Lookup: private; checked on 3.10 to 3.15.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) { return _PyType_Lookup(type, name); }

// The instance dict of an object (borrowed), nullptr when it has none. A dict at a fixed offset is
// read in place, and so is a managed dict (3.11 on) once the interpreter has made it: the word
// three pointers before the object, which 3.12 tags with its low bit while it points to the
// inline values instead (MANAGED_DICT_OFFSET, PyManagedDictPointer / PyDictOrValues of
// pycore_object.h, non-free-threaded builds; checked on 3.11.7, 3.12.1, 3.13.0, 3.14.10, 3.15.2).
// Otherwise the interpreter is asked (_PyObject_GetDictPtr, private; checked on 3.10 to 3.15),
// which makes the dict if the attributes still live in the object's inline values, so that from
// then on every change of them goes through the dict (and its watchers); it clears any error of
// its own.
inline PyObject* instance_dict(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    const Py_ssize_t offset = type->tp_dictoffset;
    if (offset > 0) return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offset);
#if PY_VERSION_HEX >= 0x030B0000 && !defined(Py_GIL_DISABLED)
    if (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) {
        PyObject* word = reinterpret_cast<PyObject**>(self)[-3];
        if (word != nullptr && (reinterpret_cast<std::uintptr_t>(word) & 1) == 0) return word;
    }
#endif
    PyObject** dictptr = _PyObject_GetDictPtr(self);
    return dictptr ? *dictptr : nullptr;
}

#if PY_VERSION_HEX >= 0x030D0000
// Whether an object keeps its attributes in its inline values (3.13 on), and whether a dict lies
// over values kept elsewhere (a split dict; an object's view of its inline values is one):
// PyDictObject.ma_values, a field of the public structure. Checked on 3.13.0, 3.13.18, 3.14.10,
// 3.15.2.
inline bool keeps_inline_values(PyObject* self) { return (Py_TYPE(self)->tp_flags & Py_TPFLAGS_INLINE_VALUES) != 0; }
inline bool dict_over_inline_values(PyObject* dict) { return reinterpret_cast<PyDictObject*>(dict)->ma_values != nullptr; }

#endif

// Gives a type a version tag if it has none valid, as a cached lookup does: watching a type needs
// one. PyUnstable_Type_AssignVersionTag from 3.12 on; before, a lookup through the interpreter's
// type cache (_PyType_Lookup, above). Never raises. Checked on 3.10 to 3.15.
inline void assign_version_tag(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    PyUnstable_Type_AssignVersionTag(type);
#else
    if ((type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) != 0) return;
    PyObject* name = PyUnicode_InternFromString("__init__");
    if (name == nullptr) return PyErr_Clear();
    _PyType_Lookup(type, name);
    Py_DECREF(name);
#endif
}

// A new instance of a tuple subclass holding `a` and `b`, as tuple.__new__(type, (a, b)) makes it
// (a new reference, or nullptr with an exception set), without the two argument tuples. The caller
// has checked that the type is laid out as tuple (its tp_itemsize) and allocates with
// PyType_GenericAlloc, which zeroes the object and tracks it before the items are set, as
// tuple.__new__ of a subclass does. From 3.14 on a tuple caches its
// hash in PyTupleObject.ob_hash, a field of the public structure that starts at -1 ("not yet
// computed"). Checked on 3.10.13, 3.11.7, 3.12.1, 3.13.0, 3.13.18, 3.14.10, 3.15.2.
inline PyObject* new_pair_of_tuple_subtype(PyTypeObject* type, PyObject* a, PyObject* b) {
    PyObject* pair = PyType_GenericAlloc(type, 2);
    if (pair == nullptr) return nullptr;
#if PY_VERSION_HEX >= 0x030E0000
    reinterpret_cast<PyTupleObject*>(pair)->ob_hash = -1;
#endif
    PyTuple_SET_ITEM(pair, 0, Py_NewRef(a));
    PyTuple_SET_ITEM(pair, 1, Py_NewRef(b));
    return pair;
}

// What time.time() returns, as a double, read without the call: the system clock as the
// interpreter reads it for time.time (PyTime_Time from 3.13 on; before, the private
// _PyTime_GetSystemClock), turned into seconds the same way. Checked on 3.10 to 3.15 against
// timemodule.c's time_time. False, with an exception set, when the clock cannot be read.
inline bool system_clock_seconds(double& seconds) {
#if PY_VERSION_HEX >= 0x030D0000
    PyTime_t t;
    if (PyTime_Time(&t) < 0) return false;
    seconds = PyTime_AsSecondsDouble(t);
#else
    seconds = _PyTime_AsSecondsDouble(_PyTime_GetSystemClock());
#endif
    return true;
}

#if !VANTOR_WATCHERS
// Version tags, 3.10 and 3.11: a type's tag is renewed by any change of it or of a base (valid
// while Py_TPFLAGS_VALID_VERSION_TAG is set), a dict's version by any change (never reused).
inline bool type_version_valid(PyTypeObject* type) {
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) != 0 && type->tp_version_tag != 0;
}
inline std::uint64_t dict_version(const PyObject* dict) {
    return reinterpret_cast<const PyDictObject*>(dict)->ma_version_tag;
}
#endif

// Whether this thread holds the GIL.
// 3.12-3.15: the current thread state is per thread and cleared while the GIL is released.
// 3.10-3.11: the current thread state is the GIL holder's, process-wide; it is this thread's when
// it names this OS thread (PyThreadState.thread_id, a field of the public structure), in whichever
// interpreter (the GILState API knows only the main one's). (Checked on 3.10.13, 3.11.7, 3.12.1,
// 3.13.0, 3.13.18, 3.14.10, 3.15.2.)
inline bool this_thread_holds_gil() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
    return _PyThreadState_UncheckedGet() != nullptr;
#else
    PyThreadState* holder = _PyThreadState_UncheckedGet();
    return holder != nullptr && holder->thread_id == PyThread_get_thread_ident();
#endif
}

// Whether the runtime is finalizing, from when it may end threads that want the GIL (3.10 to
// 3.13; before, no thread is ended): Py_IsFinalizing, public from 3.13; _Py_IsFinalizing before
// (private). Checked on 3.10.13, 3.11.7, 3.12.1, 3.13.0, 3.13.18.
inline bool runtime_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// threading._register_atexit(hook): threading's exit callbacks run, latest registered first,
// before the interpreter joins the non-daemon threads (concurrent.futures joins its pool threads
// from one of them), where atexit's run only after. Private; checked on 3.10 to 3.15.
void register_threading_exit_hook(PyObject* hook);

}  // namespace vantor::support::internals
