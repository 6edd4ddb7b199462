// The thread question of lifecycle.hpp, and threading's exit hook.
#include "lifecycle.hpp"

#include "internals.hpp"
#include "ref.hpp"

#if defined(_LIBCPP_VERSION) && PY_VERSION_HEX < 0x030E0000
// The C++ ABI's per-thread exception globals, which libc++abi defines without declaring them.
extern "C" void* __cxa_get_globals();
#endif

namespace vantor::support {

bool this_thread_holds_interpreter() noexcept { return internals::this_thread_holds_gil(); }

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
