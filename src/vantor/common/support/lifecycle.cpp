// The thread question of lifecycle.hpp, its hint, and threading's exit hook.
#include "lifecycle.hpp"

#include "internals.hpp"
#include "ref.hpp"

#if defined(_LIBCPP_VERSION) && PY_VERSION_HEX < 0x030E0000
// The C++ ABI's per-thread exception globals, which libc++abi defines without declaring them.
extern "C" void* __cxa_get_globals();
#endif

namespace vantor::support {

bool this_thread_holds_interpreter() noexcept { return internals::this_thread_holds_gil(); }

#if PY_VERSION_HEX < 0x030E0000
std::atomic<bool> exit_may_have_begun{false};

namespace {

PyObject* note_exit_begun(PyObject*, PyObject*) {
    exit_may_have_begun.store(true, std::memory_order_relaxed);
    Py_RETURN_NONE;
}

PyMethodDef note_exit_begun_def = {"_vantor_exit_begun", note_exit_begun, METH_NOARGS, nullptr};

}  // namespace

void watch_interpreter_exit() {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        exit_may_have_begun.store(true, std::memory_order_relaxed);
        return;
    }
    Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    Ref callback = Ref::steal(PyCFunction_New(&note_exit_begun_def, nullptr));
    Ref ignored = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", callback.get()));
}
#else
void watch_interpreter_exit() {}
#endif

#if defined(_LIBCPP_VERSION) && PY_VERSION_HEX < 0x030E0000
void end_thread_again() {
    struct EhGlobals {  // the head of the ABI's __cxa_eh_globals
        void* caught_exceptions;
        unsigned int uncaught_exceptions;
    };
    static_cast<EhGlobals*>(__cxa_get_globals())->caught_exceptions = nullptr;
    PyThread_exit_thread();
}
#endif

namespace internals {

void register_threading_exit_hook(PyObject* hook) {
    Ref threading = Ref::steal(PyImport_ImportModule("threading"));
    Ref ignored = Ref::steal(PyObject_CallMethod(threading.get(), "_register_atexit", "O", hook));
}

}  // namespace internals

}  // namespace vantor::support
