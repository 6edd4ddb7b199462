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
// Whether an object keeps its attributes in its inline values (3.13 on), and whether its dict is
// the view of them that the interpreter made (a split dict over values it does not own alone):
// PyDictObject.ma_values, a field of the public structure. Checked on 3.13.0, 3.13.18, 3.14.10,
// 3.15.2.
inline bool keeps_inline_values(PyObject* self) { return (Py_TYPE(self)->tp_flags & Py_TPFLAGS_INLINE_VALUES) != 0; }
inline bool dict_over_inline_values(PyObject* dict) { return reinterpret_cast<PyDictObject*>(dict)->ma_values != nullptr; }

// The inline values such a dict lies over: PyDictValues of pycore_dict.h (capacity, size,
// embedded, valid, then one slot per key of the type's shared keys), checked on 3.13.0. A store
// into an attribute replaces its slot.
struct InlineValues {
    std::uint8_t capacity;
    std::uint8_t size;
    std::uint8_t embedded;
    std::uint8_t valid;
    PyObject* slots[1];
};
inline const InlineValues* inline_values_under(PyObject* dict) {
    return reinterpret_cast<const InlineValues*>(reinterpret_cast<PyDictObject*>(dict)->ma_values);
}

// Gives such a dict a table of its own, for good, so that every later store into the object's
// attributes goes through the dict: dict.popitem() first turns a split table into a combined one
// (of str keys, so attribute loads stay as fast), and the item it took is put back, last, where it
// was. The dict stays the same object with the same items in the same order; dict watchers see
// the item go and come back. No Python code runs: a str key and a value held meanwhile, and
// collections wait for the eval loop from 3.12 on. False, with an exception set, when the item
// could not be put back (memory: the attribute is lost, as in any failed store); false, with none
// set and the dict as it was, when it is empty or popitem failed. Checked on 3.13.0 (dictobject.c's
// dict_popitem_impl).
inline bool own_table_for(PyObject* dict) {
    if (PyDict_GET_SIZE(dict) == 0) return false;
    PyObject* item = PyObject_CallMethod(dict, "popitem", nullptr);
    if (item == nullptr) {
        PyErr_Clear();
        return false;
    }
    const int put_back = PyDict_SetItem(dict, PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1));
    Py_DECREF(item);
    return put_back == 0;
}
#endif

// A type's version tag as it stands, 0 when it has none valid: any change of the type or of a base
// gives it a new one (never reused) before its next use. 3.10-3.11 mark validity with a flag,
// later versions reset the tag itself. Checked on 3.10 to 3.15.
inline unsigned int type_version_now(PyTypeObject* type) {
#if PY_VERSION_HEX < 0x030C0000
    if ((type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) == 0) return 0;
#endif
    return type->tp_version_tag;
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
// 3.10-3.11: the current thread state is the GIL holder's, process-wide; ours is the one the
// GILState API noted for this OS thread. (Checked on 3.10.13, 3.11.7, 3.12.1, 3.13.0, 3.13.18,
// 3.14.10, 3.15.2.)
inline bool this_thread_holds_gil() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
    return _PyThreadState_UncheckedGet() != nullptr;
#else
    PyThreadState* mine = PyGILState_GetThisThreadState();
    return mine != nullptr && _PyThreadState_UncheckedGet() == mine;
#endif
}

// threading._register_atexit(hook): threading's exit callbacks run, latest registered first,
// before the interpreter joins the non-daemon threads (concurrent.futures joins its pool threads
// from one of them), where atexit's run only after. Private; checked on 3.10 to 3.15.
void register_threading_exit_hook(PyObject* hook);

}  // namespace vantor::support::internals
