// The executors and the life of the process: a forked child gets every executor back Idle, and
// the interpreter's exit hands the tasks still queued in running executors to run before it
// joins the pool threads.
#include "plain_queue.hpp"
#include "state.hpp"
#include "support/internals.hpp"

namespace vantor::executors {

namespace {

State* state_of_module(PyObject* module) { return static_cast<State*>(PyModule_GetState(module)); }

// In a forked child: the parent's threads did not come along, and its locks may have been held at
// the fork. The executor gets a new queue and lock, made as the constructor makes them (the tasks
// queued at the fork stay the parent's, which runs them), and starts Idle.
void reset_after_fork(State* st, PyObject* self) {
    set_attr(self, st->str__queue, call_global(st, st->str_Queue).get());
    set_attr(self, st->str__lock, call_global(st, st->str_Lock).get());
    set_attr(self, st->str__is_running, Py_False);
    Ref zero = Ref::steal(PyLong_FromLong(0));
    set_attr(self, st->str__num_running_threads, zero.get());
    if (PyObject_DelAttr(self, st->str_executor) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
    }
}

PyObject* after_fork_in_child(PyObject* module, PyObject*) {
    return boundary("vantor.common.executors after fork", [&]() -> PyObject* {
        State* st = state_of_module(module);
        if (st == nullptr || st->registry == nullptr) Py_RETURN_NONE;
        ++st->fork_epoch;
        st->registry->forget_threads();
        st->registry->for_each_live([&](PyObject* self) {
            try {
                reset_after_fork(st, self);
            } catch (const PyErrOccurred&) {
                write_unraisable(self, false);
            }
        });
        Py_RETURN_NONE;
    });
}

// Runs `step` for one executor; an exception is reported as unraisable and the exit goes on.
template <class F>
void for_executor(PyObject* self, F&& step) {
    try {
        step();
    } catch (const PyErrOccurred&) {
        write_unraisable(self, false);
    }
}

// threading's exit hook, which runs before the interpreter joins the pool threads: every running
// executor stops, each loop takes everything queued once more before it ends, and what is still
// queued after that (tasks of loops that died, or added by the last run calls) is handed to run
// on this thread. Exceptions from run are logged as in the loop; others are reported, and the
// exit goes on. An interrupt while waiting for the loops ends the hook.
PyObject* before_threads_join(PyObject* module, PyObject*) {
    return boundary("vantor.common.executors exit", [&]() -> PyObject* {
        State* st = state_of_module(module);
        if (st == nullptr || st->registry == nullptr) Py_RETURN_NONE;
        st->exiting = true;
        std::vector<Ref> running;
        st->registry->for_each_live([&](PyObject* self) {
            for_executor(self, [&] {
                if (attr_truthy(self, st->str__is_running)) running.push_back(Ref::new_ref(self));
            });
        });
        // All are stopped before any is waited for, so that their last passes overlap.
        for (Ref& self : running) {
            for_executor(self.get(), [&] {
                Record& record = st->registry->of(self.get());
                record.final_drain = true;
                record.start_deferred = false;
                set_attr(self.get(), st->str__is_running, Py_False);
            });
        }
        for (Ref& self : running) wait_for_loops(st, self.get());
        for (Ref& self : running) {
            for_executor(self.get(), [&] {
                Record& record = st->registry->of(self.get());
                if (!queue_empty(st, self.get())) iteration(st, self.get(), record, true, st->fork_epoch);
            });
            st->registry->of(self.get()).final_drain = false;
        }
        Py_RETURN_NONE;
    });
}

PyMethodDef after_fork_in_child_def = {"_after_fork_in_child", after_fork_in_child, METH_NOARGS, nullptr};
PyMethodDef before_threads_join_def = {"_before_threads_join", before_threads_join, METH_NOARGS, nullptr};

}  // namespace

void register_lifecycle_hooks(State* st) {
    Ref at_exit = Ref::steal(PyCFunction_New(&before_threads_join_def, st->module));
    internals::register_threading_exit_hook(at_exit.get());

    Ref os = Ref::steal(PyImport_ImportModule("os"));
    Ref register_at_fork = Ref::steal_or_null(PyObject_GetAttrString(os.get(), "register_at_fork"));
    if (!register_at_fork) {
        // A platform without fork.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
        return;
    }
    Ref in_child = Ref::steal(PyCFunction_New(&after_fork_in_child_def, st->module));
    Ref kwargs = Ref::steal(Py_BuildValue("{sO}", "after_in_child", in_child.get()));
    Ref empty = Ref::steal(PyTuple_New(0));
    Ref ignored = Ref::steal(PyObject_Call(register_at_fork.get(), empty.get(), kwargs.get()));
}

}  // namespace vantor::executors
