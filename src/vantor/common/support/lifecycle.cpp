// The interpreter-exit flag of lifecycle.hpp and the atexit callback that raises it.
#include "lifecycle.hpp"

#include "internals.hpp"
#include "ref.hpp"

namespace vantor::support {

bool interpreter_exit_begun = false;

bool this_thread_holds_interpreter() noexcept { return internals::this_thread_holds_gil(); }

namespace {

PyObject* mark_exit_begun(PyObject*, PyObject*) {
    interpreter_exit_begun = true;
    Py_RETURN_NONE;
}

PyMethodDef mark_exit_begun_def = {"_vantor_exit_begun", mark_exit_begun, METH_NOARGS, nullptr};

}  // namespace

void watch_interpreter_exit() {
    // atexit callbacks run before the interpreter starts ending threads, in every interpreter.
    Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    Ref callback = Ref::steal(PyCFunction_New(&mark_exit_begun_def, nullptr));
    Ref ignored = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", callback.get()));
}

namespace internals {

void register_threading_exit_hook(PyObject* hook) {
    Ref threading = Ref::steal(PyImport_ImportModule("threading"));
    Ref ignored = Ref::steal(PyObject_CallMethod(threading.get(), "_register_atexit", "O", hook));
}

}  // namespace internals

}  // namespace vantor::support
