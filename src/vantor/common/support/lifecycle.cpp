// The thread question of lifecycle.hpp, and threading's exit hook.
#include "lifecycle.hpp"

#include "internals.hpp"
#include "ref.hpp"

namespace vantor::support {

bool this_thread_holds_interpreter() noexcept { return internals::this_thread_holds_gil(); }

namespace internals {

void register_threading_exit_hook(PyObject* hook) {
    Ref threading = Ref::steal(PyImport_ImportModule("threading"));
    Ref ignored = Ref::steal(PyObject_CallMethod(threading.get(), "_register_atexit", "O", hook));
}

}  // namespace internals

}  // namespace vantor::support
