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
    st->registry->of(self);  // so that a forked child resets it even if it never starts
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

// A future's done callback: a loop cancelled before it began is done all the same.
PyObject* loop_future_done(PyObject* bound, PyObject* future) {
    return boundary("worker loop done", [&]() -> PyObject* {
        // bound: (module, executor)
        State* st = static_cast<State*>(PyModule_GetState(PyTuple_GET_ITEM(bound, 0)));
        PyObject* self = PyTuple_GET_ITEM(bound, 1);
        if (st == nullptr || st->registry == nullptr) Py_RETURN_NONE;
        PyObject* args[] = {future};
        if (!truthy(call_method(st->str_cancelled, args, 1).get())) Py_RETURN_NONE;
        Record& record = st->registry->of(self);
        if (record.pending > 0 && record.in_flight > 0) {
            --record.pending;
            loop_done(st, self, record);
        }
        Py_RETURN_NONE;
    });
}

PyMethodDef loop_future_done_def = {"_loop_done", loop_future_done, METH_O, nullptr};

// Creates the pool and submits the worker loops, or, while loops of an earlier start still run,
// leaves the submits to the last of them. On failure the flag goes back to False, so a later
// add_task tries the start again; the task that triggered it stays queued.
void start_workers(State* st, PyObject* self, Record& record) {
    set_attr(self, st->str__is_running, Py_True);
    try {
        Ref pool_type = lookup_global(st->globals, st->str_ThreadPoolExecutor);
        Ref num_threads = get_attr(self, st->str_num_threads);
        PyObject* pool_args[] = {num_threads.get()};
        Ref pool = Ref::steal(PyObject_Vectorcall(pool_type.get(), pool_args, 0, st->kw_max_workers));
        set_attr(self, st->str_executor, pool.get());
        if (record.in_flight > 0) {
            // The loops of the earlier start end at their next test, though the flag is set again.
            record.stopped = record.generation;
            record.start_deferred = true;
            return;
        }
        submit_loops(st, self, record);
    } catch (...) {
        pass_thread_exit();
        cleanup_during_unwind([&] { set_attr(self, st->str__is_running, Py_False); });
        throw;
    }
}

// Marks the thread that runs a start, so that a shutdown called on it meanwhile (from a signal
// handler, a finalizer) is recorded for the start to honour instead of waiting for it.
class StartingScope {
public:
    explicit StartingScope(Record& record) : record_(record), previous_(record.starting_thread) {
        record.starting_thread = PyThread_get_thread_ident();
    }
    ~StartingScope() {
        if (interpreter_usable()) record_.starting_thread = previous_;
    }
    StartingScope(const StartingScope&) = delete;
    StartingScope& operator=(const StartingScope&) = delete;

private:
    Record& record_;
    unsigned long previous_;
};

// Runs `start` marked as the start in progress; true when a shutdown came in meanwhile, which the
// caller then honours (outside the mark, so that a shutdown during that is an ordinary one).
template <class F>
bool start_and_take_stop(Record& record, F&& start) {
    StartingScope starting(record);
    try {
        start();
    } catch (...) {
        pass_thread_exit();
        record.stop_requested = false;
        throw;
    }
    return std::exchange(record.stop_requested, false);
}

// The start, as one step under _lock, so that racing first calls create one pool. While a
// shutdown is in progress the task only queues: it is taken by the next start, as tasks left at a
// shutdown are, and the shutdown's pool is never left with a live flag.
void start_if_stopped(State* st, PyObject* self) {
    Record& record = st->registry->of(self);
    LockHold hold(st, self, record);
    if (!attr_truthy(self, st->str__is_running) && record.stopping == 0) {
        if (st->exiting) {
            // Past the exit hook no pool may start: the interpreter would wait for it forever.
            // During the hook's last pass over this executor the task is still taken.
            if (!record.final_drain) {
                PyErr_SetString(PyExc_RuntimeError,
                                "add_task(): cannot start the worker loops after interpreter shutdown");
                throw_error();
            }
        } else if (start_and_take_stop(record, [&] { start_workers(st, self, record); })) {
            stop_without_waiting(st, self, record);
        }
    }
    hold.release();
}

VANTOR_HOT PyObject* add_task_body(FunctionObject* f, BoundArgs& a) {
    State* st = state_of(f);
    PyObject* self = a[0];
    {
        Ref task = make_task(st, a.var_positional.get(), a.var_keyword.get());
        Ref queue = get_attr(self, st->str__queue);
        if (!put_in_place(st, queue.get(), task.get())) {
            PyObject* put_args[] = {queue.get(), task.get()};
            call_method(st->str_put, put_args, 2);
        }
    }
    if (!attr_truthy(self, st->str__is_running)) start_if_stopped(st, self);
    Py_RETURN_NONE;
}

}  // namespace

void remember_task_type(State* st, PyObject* task_type) {
    st->task_type = Ref::new_ref(task_type).release();
    st->task_type_version = 0;
    // namedtuple's record: a tuple subclass whose __new__ is namedtuple's own (it hands the fields
    // to tuple.__new__) and whose __init__ is object's, made by type itself.
    if (!PyType_Check(task_type) || Py_TYPE(task_type) != &PyType_Type) return;
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(task_type);
    if (type->tp_base != &PyTuple_Type || type->tp_init != PyBaseObject_Type.tp_init) return;
    Ref new_name = Ref::steal(PyUnicode_InternFromString("__new__"));
    PyObject* construct = type_lookup(type, new_name.get());
    // The class body's __new__ is kept as a staticmethod around the function.
    if (construct == nullptr || !PyObject_TypeCheck(construct, &PyStaticMethod_Type)) return;
    Ref function = Ref::steal(PyObject_GetAttrString(construct, "__func__"));
    if (!PyFunction_Check(function.get())) return;
    Ref qualname = Ref::steal(PyObject_GetAttrString(function.get(), "__qualname__"));
    if (!PyUnicode_Check(qualname.get()) || PyUnicode_CompareWithASCIIString(qualname.get(), "Task.__new__") != 0)
        return;
    st->task_type_version = internals::type_version_now(type);
}

VANTOR_HOT Ref make_task(State* st, PyObject* args, PyObject* kwargs) {
    Ref task_type = lookup_global(st->globals, st->str_Task);
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(task_type.get());
    // Our own record type, unchanged since the module body made it (a change renews its version
    // tag): what its __new__ does, tuple.__new__ of the two fields, without the Python call.
    if (task_type.get() == st->task_type && st->task_type_version != 0 &&
        internals::type_version_now(type) == st->task_type_version) {
        Ref fields = Ref::steal(PyTuple_Pack(2, args, kwargs));
        Ref new_args = Ref::steal(PyTuple_Pack(1, fields.get()));  // tuple.__new__(Task, fields)
        return Ref::steal(PyTuple_Type.tp_new(type, new_args.get(), nullptr));
    }
    PyObject* task_args[] = {args, kwargs};
    return Ref::steal(PyObject_Vectorcall(task_type.get(), task_args, 0, st->kw_args_kwargs));
}

void submit_loops(State* st, PyObject* self, Record& record) {
    Ref count_obj = get_attr(self, st->str_num_threads);
    Ref count_index = Ref::steal(PyNumber_Index(count_obj.get()));
    const Py_ssize_t count = PyNumber_AsSsize_t(count_index.get(), PyExc_OverflowError);
    if (count == -1 && PyErr_Occurred()) throw_error();
    // Every earlier start is over: its loops end at their next test even if the flag is set again.
    record.stopped = record.generation;
    ++record.generation;
    for (Py_ssize_t i = 0; i < count && !record.stop_requested; ++i) {
        Ref executor = get_attr(self, st->str_executor);
        Ref batch = get_attr(self, st->str__batch);
        PyObject* submit_args[] = {executor.get(), batch.get()};
        // Counted before the submit: the new thread may enter _batch before submit returns.
        ++record.in_flight;
        ++record.pending;
        record.pool = executor.copy();
        Ref future;
        try {
            future = call_method(st->str_submit, submit_args, 2);
        } catch (...) {
            pass_thread_exit();
            if (record.pending > 0) {
                --record.pending;
                cleanup_during_unwind([&] { loop_done(st, self, record); });
            }
            throw;
        }
        // A pool of the standard kind hands back a future: a loop it cancels before it begins
        // (shutdown with cancel_futures) is counted out through the future's callback.
        Ref add_done_callback = Ref::steal_or_null(PyObject_GetAttr(future.get(), st->str_add_done_callback));
        if (!add_done_callback) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
            PyErr_Clear();
            continue;
        }
        Ref bound = Ref::steal(PyTuple_Pack(2, st->module, self));
        Ref callback = Ref::steal(PyCFunction_New(&loop_future_done_def, bound.get()));
        Ref ignored = Ref::steal(PyObject_CallOneArg(add_done_callback.get(), callback.get()));
    }
}

void loop_done(State* st, PyObject* self, Record& record) {
    if (--record.in_flight > 0) return;
    record.pending = 0;
    Ref pool = std::move(record.pool);  // let go of after the bookkeeping: releasing it may run code
    if (!record.start_deferred) return;
    record.start_deferred = false;
    // The deferred start goes ahead unless a stop came in meanwhile, as a start does: under _lock,
    // with a shutdown that comes in meanwhile recorded and honoured at the end. Its failure is
    // reported here, where nobody else can receive it, and leaves the executor stopped so that a
    // later add_task tries again.
    try {
        LockHold hold(st, self, record);
        const bool stop = start_and_take_stop(record, [&] {
            if (attr_truthy(self, st->str__is_running)) submit_loops(st, self, record);
        });
        if (stop) stop_without_waiting(st, self, record);
        hold.release();
    } catch (const PyErrOccurred&) {
        write_unraisable(self, false);
        cleanup_during_unwind([&] { stop_without_waiting(st, self, record); });
    }
}

const FunctionDef init_def{&init_sig, init_body, "DelayedBatchExecutor.__init__"};
const FunctionDef add_task_def{&add_task_sig, add_task_body, "DelayedBatchExecutor.add_task"};

}  // namespace vantor::executors
