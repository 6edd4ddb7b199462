// DelayedBatchExecutor construction and task intake: add_task queues a Task and, when the
// executor is not running, creates the pool and submits the worker loops.
#include "plain_queue.hpp"
#include "state.hpp"

namespace vantor::executors {

namespace {

constexpr Param init_params[] = {{"self"}, {"num_threads", "int"}, {"batch_size", "int"}, {"duration", "float"}};
constexpr Signature init_sig{"__init__", init_params, "None"};

PyObject* init_body(FunctionObject* f, BoundArgs& a) {
    State* st = state_of(f);
    PyObject* self = a[0];
    Ref queue = call_global(st, st->str_Queue);
    set_attr(self, st->str__queue, queue.get());
    set_attr(self, st->str__is_running, Py_False);
    set_attr(self, st->str_num_threads, a[1]);
    set_attr(self, st->str_batch_size, a[2]);
    set_attr(self, st->str_duration, a[3]);
    Ref zero = Ref::steal(PyLong_FromLong(0));
    set_attr(self, st->str__num_running_threads, zero.get());
    Ref lock = call_global(st, st->str_Lock);
    set_attr(self, st->str__lock, lock.get());
    Py_RETURN_NONE;
}

constexpr Param add_task_params[] = {
    {"self"}, {"args", "Any", ParamKind::var_positional}, {"kwargs", "Any", ParamKind::var_keyword}};
constexpr Signature add_task_sig{"add_task", add_task_params, "None"};

// Creates the pool and submits the worker loops. On failure the flag goes back to False, so a
// later add_task tries the start again; the task that triggered it stays queued.
void start_workers(State* st, PyObject* self) {
    set_attr(self, st->str__is_running, Py_True);
    try {
        Ref pool_type = lookup_global(st->globals, st->str_ThreadPoolExecutor);
        Ref num_threads = get_attr(self, st->str_num_threads);
        PyObject* pool_args[] = {num_threads.get()};
        Ref pool = Ref::steal(PyObject_Vectorcall(pool_type.get(), pool_args, 0, st->kw_max_workers));
        set_attr(self, st->str_executor, pool.get());

        Ref count_obj = get_attr(self, st->str_num_threads);
        Ref count_index = Ref::steal(PyNumber_Index(count_obj.get()));
        const Py_ssize_t count = PyNumber_AsSsize_t(count_index.get(), PyExc_OverflowError);
        if (count == -1 && PyErr_Occurred()) throw_error();
        for (Py_ssize_t i = 0; i < count; ++i) {
            Ref executor = get_attr(self, st->str_executor);
            Ref batch = get_attr(self, st->str__batch);
            PyObject* submit_args[] = {executor.get(), batch.get()};
            // Counted before the submit: the new thread may enter _batch before submit returns.
            ++loop_record(st, self).pending;
            try {
                call_method(st->str_submit, submit_args, 2);
            } catch (...) {
                --loop_record(st, self).pending;
                throw;
            }
        }
    } catch (...) {
        cleanup_during_unwind([&] { set_attr(self, st->str__is_running, Py_False); });
        throw;
    }
}

PyObject* add_task_body(FunctionObject* f, BoundArgs& a) {
    State* st = state_of(f);
    PyObject* self = a[0];
    {
        Ref task_type = lookup_global(st->globals, st->str_Task);
        PyObject* task_args[] = {a.var_positional.get(), a.var_keyword.get()};
        Ref task = Ref::steal(PyObject_Vectorcall(task_type.get(), task_args, 0, st->kw_args_kwargs));
        Ref queue = get_attr(self, st->str__queue);
        if (!put_in_place(st, queue.get(), task.get())) {
            PyObject* put_args[] = {queue.get(), task.get()};
            call_method(st->str_put, put_args, 2);
        }
    }
    if (attr_truthy(self, st->str__is_running)) Py_RETURN_NONE;

    // The test and the start are one step under _lock, so racing first calls create one pool.
    // While a shutdown is in progress the task only queues: it is taken by the next start, as
    // tasks left at a shutdown are, and the shutdown's pool is never left with a live flag.
    call_lock(st, self, st->str_acquire);
    try {
        if (!attr_truthy(self, st->str__is_running) && loop_record(st, self).stopping == 0) {
            ++loop_record(st, self).starting;
            try {
                start_workers(st, self);
            } catch (...) {
                --loop_record(st, self).starting;
                throw;
            }
            --loop_record(st, self).starting;
        }
    } catch (...) {
        release_loop_record(st, self);
        cleanup_during_unwind([&] { call_lock(st, self, st->str_release); });
        throw;
    }
    release_loop_record(st, self);
    call_lock(st, self, st->str_release);
    Py_RETURN_NONE;
}

}  // namespace

const FunctionDef init_def{&init_sig, init_body, "DelayedBatchExecutor.__init__"};
const FunctionDef add_task_def{&add_task_sig, add_task_body, "DelayedBatchExecutor.add_task"};

}  // namespace vantor::executors
