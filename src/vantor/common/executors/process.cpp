// The executors and the life of the process: a forked child gets every executor back idle with a
// new queue of the same kind, and the interpreter's exit hands every queued task of every
// executor to run before it joins the pool threads.
#include "plain_queue.hpp"
#include "state.hpp"
#include "support/internals.hpp"

namespace vantor::executors {

namespace {

State* state_of_module(PyObject* module) { return static_cast<State*>(PyModule_GetState(module)); }

// A new, empty queue of the parent's queue's class and maxsize; Queue() (with a warning through
// the module's logger) when that class cannot be made so.
Ref queue_like(State* st, PyObject* old) {
    try {
        Ref type = Ref::new_ref(reinterpret_cast<PyObject*>(Py_TYPE(old)));
        Ref maxsize = Ref::steal_or_null(PyObject_GetAttr(old, st->str_maxsize));
        if (!maxsize) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
            PyErr_Clear();
            return Ref::steal(PyObject_CallNoArgs(type.get()));
        }
        return Ref::steal(PyObject_CallOneArg(type.get(), maxsize.get()));
    } catch (const PyErrOccurred&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    }
    Ref error;
    {
        CaughtError caught;
        error = Ref::steal(PyObject_Repr(caught.value()));
    }
    Ref logger = lookup_global(st->globals, st->str_logger);
    Ref format = Ref::steal(PyUnicode_FromString("Cannot make a new %s queue in the forked child (%s); using Queue()."));
    Ref type_name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(old)), "__qualname__"));
    PyObject* args[] = {logger.get(), format.get(), type_name.get(), error.get()};
    call_method(st->str_warning, args, 4);
    return call_global(st, st->str_Queue);
}

// In a forked child: the parent's threads did not come along, and its locks may have been held at
// the fork. The executor gets a new queue of the same kind and a new lock, and starts idle. The
// tasks queued at the fork (`parent_tasks` of them, counted before any Python code ran in this hook)
// stay the parent's, which runs them; tasks added since, in the child, move to the new queue.
void reset_after_fork(State* st, PyObject* self, Record& record, Py_ssize_t parent_tasks) {
    Ref old = get_attr(self, st->str__queue);
    Ref fresh = queue_like(st, old.get());
    set_attr(self, st->str__queue, fresh.get());
    if (parent_tasks >= 0) {
        Ref items = plain_queue_items(st, old.get());
        if (items) {
            Ref added = Ref::steal(PySequence_List(items.get()));
            for (Py_ssize_t i = parent_tasks; i < PyList_GET_SIZE(added.get()); ++i) {
                PyObject* task = PyList_GET_ITEM(added.get(), i);
                if (!put_in_place(st, fresh.get(), task)) {
                    PyObject* put_args[] = {fresh.get(), task};
                    call_method(st->str_put, put_args, 2);
                }
            }
        }
    }
    set_attr(self, st->str__lock, call_global(st, st->str_Lock).get());
    set_attr(self, st->str__is_running, Py_False);
    Ref zero = Ref::steal(PyLong_FromLong(0));
    set_attr(self, st->str__num_running_threads, zero.get());
    if (PyObject_DelAttr(self, st->str_executor) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
    }
    fork_reset_ends(record);
}

PyObject* after_fork_in_child(PyObject* module, PyObject*) {
    return boundary("vantor.common.executors after fork", [&]() -> PyObject* {
        State* st = state_of_module(module);
        if (st == nullptr || st->registry == nullptr) Py_RETURN_NONE;
        ++st->fork_epoch;
        // Every record first, before any Python code runs: no start until its executor is reset.
        st->registry->fork_child();
        std::vector<std::pair<Ref, Py_ssize_t>> executors;
        st->registry->for_each_live([&](PyObject* self) {
            executors.emplace_back(Ref::new_ref(self), plain_queue_length(st, self));
        });
        for (auto& [self, parent_tasks] : executors) {
            try {
                reset_after_fork(st, self.get(), st->registry->of(self.get()), parent_tasks);
            } catch (const PyErrOccurred&) {
                fork_reset_ends(st->registry->of(self.get()));
                write_unraisable(self.get(), false);
            }
        }
        Py_RETURN_NONE;
    });
}

// Runs `step` for one executor at exit. An Exception is reported as unraisable and the exit goes
// on with the next executor; an interrupt (KeyboardInterrupt, SystemExit) ends the hook.
template <class F>
void at_exit_for(PyObject* self, F&& step) {
    try {
        step();
    } catch (const PyErrOccurred&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        write_unraisable(self, false);
    }
}

// Every executor ends closed, however the hook ends.
class ClosingScope {
public:
    ClosingScope(State* st, const std::vector<Ref>& executors) : st_(st), executors_(executors) {}
    ~ClosingScope() {
        if (!interpreter_usable()) return;
        for (const Ref& self : executors_)
            if (Record* record = st_->registry->find(self.get())) exit_ends(*record);
    }
    ClosingScope(const ClosingScope&) = delete;
    ClosingScope& operator=(const ClosingScope&) = delete;

private:
    State* st_;
    const std::vector<Ref>& executors_;
};

// Tasks that add_task queued into these executors while they drain.
std::uint64_t queued_in_draining(State* st, const std::vector<Ref>& executors) {
    std::uint64_t total = 0;
    for (const Ref& self : executors)
        if (const Record* record = st->registry->find(self.get())) total += queued_in_draining(*record);
    return total;
}

// threading's exit hook, which runs before the interpreter joins the pool threads: every executor
// drains (machine.hpp). Its loops take everything once more and end; what is still queued then
// (in stopped executors, or added by the last run calls) is handed to run on this thread. An
// interrupt while waiting for the loops or inside run ends the hook.
PyObject* before_threads_join(PyObject* module, PyObject*) {
    return boundary("vantor.common.executors exit", [&]() -> PyObject* {
        State* st = state_of_module(module);
        if (st == nullptr || st->registry == nullptr) Py_RETURN_NONE;
        st->exiting = true;
        std::vector<Ref> executors;
        st->registry->for_each_live([&](PyObject* self) { executors.push_back(Ref::new_ref(self)); });
        ClosingScope closing(st, executors);
        // Every executor drains before any is waited for, so that their last passes overlap.
        std::vector<Ref> stopping;
        for (Ref& self : executors) {
            if (exit_begins(st->registry->of(self.get()))) stopping.push_back(self.copy());
        }
        for (Ref& self : stopping)
            at_exit_for(self.get(), [&] { set_attr(self.get(), st->str__is_running, Py_False); });
        const ThreadId me = this_thread(st);
        for (Ref& self : executors) wait_for_loops(st, st->registry->of(self.get()), UINT64_MAX, me);
        // Until every queue is empty: a run call may add tasks to another executor, whose pass was
        // over, and a thread still running (or code that a round runs) may add to a queue that the
        // round has looked at already; such a task gets a round of its own. The executors close
        // after a round that ran no pass and saw no task come, with no Python code in between. An
        // executor whose pass failed is not tried again.
        std::vector<bool> failed(executors.size(), false);
        for (bool again = true; again;) {
            again = false;
            const std::uint64_t queued_before = queued_in_draining(st, executors);
            for (std::size_t i = 0; i < executors.size(); ++i) {
                PyObject* self = executors[i].get();
                if (failed[i]) continue;
                failed[i] = true;
                at_exit_for(self, [&] {
                    if (!queue_empty(st, self)) {
                        last_pass_here(st, self, st->registry->of(self));
                        again = true;
                    }
                    failed[i] = false;
                });
            }
            if (queued_in_draining(st, executors) != queued_before) again = true;
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
