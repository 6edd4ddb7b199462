// The one door to interpreter internals and private API: everything that depends on how a given
// CPython version lays out or names its internals is here, one #if ladder per need, with the
// versions each branch was checked on (also listed in the README).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vantor::support::internals {

// Whether this thread holds the GIL.
// 3.12-3.15: the current thread state is per thread and cleared while the GIL is released.
// 3.10-3.11: the current thread state is the GIL holder's, process-wide; ours is the one the
// GILState API noted for this OS thread. (Checked on 3.10.13, 3.11.7, 3.12.1, 3.13.0.)
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
// from one of them), where atexit's run only after. Private; checked on 3.10 to 3.13.
void register_threading_exit_hook(PyObject* hook);

}  // namespace vantor::support::internals
