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

// A future's done callback, bound to (module, executor, generation): the loop it ran has ended,
// or was cancelled before it began (shutdown with cancel_futures).
PyObject* loop_future_done(PyObject* bound, PyObject* future) {
    return boundary("worker loop done", [&]() -> PyObject* {
        State* st = static_cast<State*>(PyModule_GetState(PyTuple_GET_ITEM(bound, 0)));
        PyObject* self = PyTuple_GET_ITEM(bound, 1);
        const std::uint64_t generation = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(bound, 2));
        if (st == nullptr || st->registry == nullptr) Py_RETURN_NONE;
        PyObject* args[] = {future};
        const bool cancelled = truthy(call_method(st->str_cancelled, args, 1).get());
        Record* record = st->registry->find(self);
        if (record != nullptr) Ref pool = future_done(*record, generation, cancelled);
        Py_RETURN_NONE;
    });
}

PyMethodDef loop_future_done_def = {"_loop_done", loop_future_done, METH_O, nullptr};

// Asks the future of a loop to say when it is done; a future that cannot (not the standard kind)
// counts as done at once, and its loop is then known only while it is inside _batch.
void follow_future(State* st, PyObject* self, Record& record, PyObject* future, std::uint64_t generation) {
    try {
        Ref add_done_callback = Ref::steal_or_null(PyObject_GetAttr(future, st->str_add_done_callback));
        if (!add_done_callback) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
            PyErr_Clear();
            Ref pool = future_done(record, generation, false);
            return;
        }
        Ref number = Ref::steal(PyLong_FromUnsignedLongLong(generation));
        Ref bound = Ref::steal(PyTuple_Pack(3, st->module, self, number.get()));
        Ref callback = Ref::steal(PyCFunction_New(&loop_future_done_def, bound.get()));
        Ref ignored = Ref::steal(PyObject_CallOneArg(add_done_callback.get(), callback.get()));
    } catch (...) {
        pass_thread_exit();
        cleanup_during_unwind([&] { Ref pool = future_done(record, generation, false); });
        throw;
    }
}

// for i in range(self.num_threads): self.executor.submit(self._batch), each part read afresh.
void submit_loops(State* st, PyObject* self, Record& record, std::uint64_t generation) {
    Ref count_obj = get_attr(self, st->str_num_threads);
    Ref count_index = Ref::steal(PyNumber_Index(count_obj.get()));
    const Py_ssize_t count = PyNumber_AsSsize_t(count_index.get(), PyExc_OverflowError);
    if (count == -1 && PyErr_Occurred()) throw_error();
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref executor = get_attr(self, st->str_executor);
        Ref batch = get_attr(self, st->str__batch);
        PyObject* submit_args[] = {executor.get(), batch.get()};
        // Counted before the submit: the new thread may begin the loop before submit returns.
        loop_submitted(record, generation, executor.get());
        Ref future;
        try {
            future = call_method(st->str_submit, submit_args, 2);
        } catch (...) {
            pass_thread_exit();
            cleanup_during_unwind([&] { Ref pool = submit_failed(record, generation); });
            throw;
        }
        follow_future(st, self, record, future.get(), generation);
    }
}

// The start of generation `generation`, as written: _is_running set, the pool made and bound,
// num_threads loops submitted. Returns the pool it made.
Ref start_workers(State* st, PyObject* self, Record& record, std::uint64_t generation) {
    set_attr(self, st->str__is_running, Py_True);
    Ref pool_type = lookup_global(st->globals, st->str_ThreadPoolExecutor);
    Ref num_threads = get_attr(self, st->str_num_threads);
    PyObject* pool_args[] = {num_threads.get()};
    Ref pool = Ref::steal(PyObject_Vectorcall(pool_type.get(), pool_args, 0, st->kw_max_workers));
    set_attr(self, st->str_executor, pool.get());
    submit_loops(st, self, record, generation);
    return pool;
}

// add_task found _is_running false. The machine decides (machine.hpp): start, only queue (a start
// or a stop is in progress), or refuse (the interpreter is exiting). A failed start leaves the
// executor stopped with _is_running False, so a later add_task tries again; the task that
// triggered it stays queued.
void start_if_stopped(State* st, PyObject* self) {
    Record* found = st->registry->find(self);
    if (found == nullptr) {
        // An executor whose __init__ did not run ours: its record is made now, which may run Python
        // code, after which _is_running is read again for the decision.
        found = &st->registry->of(self);
        if (attr_truthy(self, st->str__is_running)) return;
    }
    Record& record = *found;
    switch (begin_start(record, native_thread(), st->exiting)) {
    case StartVerdict::queue_only:
        return;
    case StartVerdict::refuse:
        PyErr_SetString(PyExc_RuntimeError, "add_task(): cannot start the worker loops after interpreter shutdown");
        throw_error();
    case StartVerdict::start:
        break;
    }
    const std::uint64_t generation = record.generation;
    Ref pool;
    try {
        starter_named(record, generation, this_thread(st));
        pool = start_workers(st, self, record, generation);
    } catch (...) {
        pass_thread_exit();
        start_failed(record, generation);
        cleanup_during_unwind([&] { set_attr(self, st->str__is_running, Py_False); });
        throw;
    }
    // A shutdown came in during the start (from code the start ran, or on a thread the start may
    // have been waiting for): it is carried out now, without waiting, and the loops end at their
    // next test.
    if (end_start(record, generation) == StartEnd::stop) {
        set_attr(self, st->str__is_running, Py_False);
        shutdown_pool(st, pool.get(), false);
    }
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
    st->task_basis.drop();
    // namedtuple's record: a tuple subclass whose __new__ is namedtuple's own (it hands the fields
    // to tuple.__new__) and whose __init__ is object's, made by type itself.
    if (!PyType_Check(task_type) || Py_TYPE(task_type) != &PyType_Type) return;
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(task_type);
    if (type->tp_base != &PyTuple_Type || type->tp_init != PyBaseObject_Type.tp_init ||
        type->tp_alloc != PyType_GenericAlloc || type->tp_itemsize != PyTuple_Type.tp_itemsize)
        return;
    Ref new_name = Ref::steal(PyUnicode_InternFromString("__new__"));
    PyObject* construct = type_lookup(type, new_name.get());
    // The class body's __new__ is kept as a staticmethod around the function.
    if (construct == nullptr || !PyObject_TypeCheck(construct, &PyStaticMethod_Type)) return;
    Ref function = Ref::steal(PyObject_GetAttrString(construct, "__func__"));
    if (!PyFunction_Check(function.get())) return;
    Ref qualname = Ref::steal(PyObject_GetAttrString(function.get(), "__qualname__"));
    if (!PyUnicode_Check(qualname.get()) || PyUnicode_CompareWithASCIIString(qualname.get(), "Task.__new__") != 0)
        return;
    st->task_basis.take_type(type);
}

VANTOR_HOT Ref make_task(State* st, PyObject* args, PyObject* kwargs) {
    Ref task_type = lookup_global(st->globals, st->str_Task);
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(task_type.get());
    // Our own record type, unchanged since the module body made it: what its __new__ does,
    // tuple.__new__(Task, (args, kwargs)), without the Python call.
    if (task_type.get() == st->task_type && st->task_basis.holds(task_type.get()))
        return Ref::steal(internals::new_pair_of_tuple_subtype(type, args, kwargs));
    PyObject* task_args[] = {args, kwargs};
    return Ref::steal(PyObject_Vectorcall(task_type.get(), task_args, 0, st->kw_args_kwargs));
}

const FunctionDef init_def{&init_sig, init_body, "DelayedBatchExecutor.__init__"};
const FunctionDef add_task_def{&add_task_sig, add_task_body, "DelayedBatchExecutor.add_task"};

}  // namespace vantor::executors
