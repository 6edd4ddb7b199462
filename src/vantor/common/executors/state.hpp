// Module state of vantor.common.executors: its function type, interned names, and the registry of
// what the module knows of each executor beyond its attributes (registry.hpp).
#pragma once

#include "registry.hpp"
#include "support/fastpath.hpp"
#include "support/function.hpp"
#include "support/globals.hpp"
#include "support/klass.hpp"
#include "support/signature.hpp"

namespace vantor::executors {

using namespace support;

// Every PyObject* field is strong and is visited, cleared and freed in module.cpp.
struct State {
    PyTypeObject* function_type;
    PyObject* globals;

    PyObject* str_Task;
    PyObject* str_Queue;
    PyObject* str_Lock;
    PyObject* str_ThreadPoolExecutor;
    PyObject* str_sleep;
    PyObject* str_time;
    PyObject* str_get_ident;
    PyObject* str_Empty;
    PyObject* str_logger;
    PyObject* str_debug;
    PyObject* str_exception;
    PyObject* str_put;
    PyObject* str_empty;
    PyObject* str_get_nowait;
    PyObject* str_acquire;
    PyObject* str_release;
    PyObject* str_submit;
    PyObject* str_shutdown;
    PyObject* str_run;
    PyObject* str__batch;
    PyObject* str__queue;
    PyObject* str__is_running;
    PyObject* str_num_threads;
    PyObject* str_batch_size;
    PyObject* str_duration;
    PyObject* str__num_running_threads;
    PyObject* str__lock;
    PyObject* str_executor;
    PyObject* str_popleft;
    PyObject* str_append;
    PyObject* str_mutex;
    PyObject* str_queue;
    PyObject* str_not_empty;
    PyObject* str_not_full;
    PyObject* str__waiters;
    PyObject* str_maxsize;
    PyObject* str_unfinished_tasks;
    PyObject* str_is_shutdown;
    PyObject* str_notify;
    PyObject* str_add_done_callback;
    PyObject* str_cancelled;
    PyObject* str_qsize;
    PyObject* str__threads;
    PyObject* str_ident;
    PyObject* kw_args_kwargs;  // ("args", "kwargs")
    PyObject* kw_max_workers;  // ("max_workers",)
    PyObject* kw_wait;         // ("wait",)
    PyObject* poll_interval;   // 0.1
    PyObject* empty_text;      // ""

    // What a plain queue.Queue is made of, taken from the standard modules at import (see
    // plain_queue.hpp): the classes, and {name: function} of the methods whose steps are done in
    // place, which must still be the ones a queue or a condition resolves.
    PyObject* queue_type;
    PyObject* condition_type;
    PyObject* lock_type;
    PyObject* deque_type;
    PyObject* queue_methods;
    PyObject* condition_methods;

    PyObject* fn_batch;  // our own _batch, to name a worker loop in a report
    // The Task record type the module body made, and the version tag it had with the __new__
    // and __init__ that namedtuple gave it (0: make each task with the ordinary call).
    PyObject* task_type;
    unsigned int task_type_version;

    // The last queue recognized as plain, and its parts (borrowed), kept while nothing they rest
    // on changes (plain_queue.cpp; from 3.12 on, with the watchers).
    struct {
        Watch queue;      // the queue's dict (a change of unfinished_tasks does not count) and type
        Watch not_empty;  // each condition's dict and type
        Watch not_full;
        PyObject* object;
        PyObject* dict;
        PyObject* mutex;
        PyObject* items;
        PyObject* not_empty_condition;
        PyObject* not_empty_waiters;
        PyObject* not_full_waiters;
    } recognized;
    PyObject* module;    // borrowed: the module object, whose state this is

    Registry* registry;         // guarded by the GIL
    std::uint64_t fork_epoch;   // forks survived; a loop that saw another epoch belongs to the parent
    bool exiting;               // the interpreter's exit hook ran: no new workers are started
};

inline State* state_of(FunctionObject* f) noexcept { return static_cast<State*>(f->state); }

// Attribute helpers: each reads or writes the instance attribute anew, as the methods do.
inline Ref get_attr(PyObject* obj, PyObject* name) { return Ref::steal(PyObject_GetAttr(obj, name)); }
inline bool truthy(PyObject* obj) { return require(PyObject_IsTrue(obj)) != 0; }
inline bool attr_truthy(PyObject* obj, PyObject* name) { return truthy(get_attr(obj, name).get()); }
inline void set_attr(PyObject* obj, PyObject* name, PyObject* value) { require(PyObject_SetAttr(obj, name, value)); }

// self._lock.<method>(), reading _lock anew each time as the methods do.
inline void call_lock(State* st, PyObject* self, PyObject* method) {
    Ref lock = get_attr(self, st->str__lock);
    PyObject* args[] = {lock.get()};
    call_method(method, args, 1);
}

// Calls `global()` with no arguments.
inline Ref call_global(State* st, PyObject* name) {
    Ref fn = lookup_global(st->globals, name);
    return Ref::steal(PyObject_CallNoArgs(fn.get()));
}

// The worker loop that is running on this thread, if any (borrowed; the loop holds it).
PyObject* current_worker_executor() noexcept;
// Whether this thread is one of `pool`'s worker threads, inside a loop or not (before its first,
// after its last): joining that pool from here would join this very thread. May run Python code.
bool on_thread_of_pool(State* st, PyObject* pool);

// self._lock.acquire() ... self._lock.release(), as the executor's own steps take it. A hold
// taken on a thread that already holds _lock through an outer hold (Python code that the outer
// one ran, such as a signal handler or a finalizer, calling back into us) does not wait for
// itself: it nests, and only the outer hold releases the lock.
class LockHold {
public:
    LockHold(State* st, PyObject* self, Record& record);
    ~LockHold();
    void release();
    LockHold(const LockHold&) = delete;
    LockHold& operator=(const LockHold&) = delete;

private:
    State* st_;
    PyObject* self_;
    Record& record_;
    bool held_ = false;
};

// One iteration of the worker loop; `final_pass` leaves out the pacing sleep (the exit hook's
// last pass, on its own thread or on the loop's). `epoch` is the fork epoch the loop began in.
void iteration(State* st, PyObject* self, Record& record, bool final_pass, std::uint64_t epoch);

// Submits num_threads worker loops to self.executor: the second half of a start, or of a deferred
// one, which the last loop of the earlier start runs as it ends.
void submit_loops(State* st, PyObject* self, Record& record);

// A submitted loop is done (it ended, or was cancelled before it began): when it was the last of
// its start, its pool is let go of and a deferred start goes ahead.
void loop_done(State* st, PyObject* self, Record& record);

// Stops the loops without waiting for them: _is_running False, any deferred start dropped, and
// self.executor.shutdown(wait=False).
void stop_without_waiting(State* st, PyObject* self, Record& record);

// Waits until the loops in flight have ended (a shutdown's wait for the pool that runs them),
// unless this thread runs one of them.
void wait_for_loops(State* st, PyObject* self);

// Task(args=..., kwargs=...) as the record type does it (intake.cpp); remember_task_type notes the
// type the module body made.
Ref make_task(State* st, PyObject* args, PyObject* kwargs);
void remember_task_type(State* st, PyObject* task_type);

// The interpreter's fork and exit hooks (lifecycle.cpp), registered by the module body.
void register_lifecycle_hooks(State* st);

extern const FunctionDef init_def, add_task_def, wait_until_empty_def, shutdown_def, batch_def, run_def;

}  // namespace vantor::executors
