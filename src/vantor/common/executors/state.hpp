// Module state of vantor.common.executors: its function type, interned names, and the registry of
// what the module knows of each executor beyond its attributes (registry.hpp).
#pragma once

#include "registry.hpp"
#include "support/fastpath.hpp"
#include "support/function.hpp"
#include "support/globals.hpp"
#include "support/klass.hpp"
#include "support/reuse.hpp"
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
    PyObject* str_warning;
    PyObject* kw_args_kwargs;  // ("args", "kwargs")
    PyObject* kw_max_workers;  // ("max_workers",)
    PyObject* kw_wait;         // ("wait",)
    PyObject* poll_interval;   // 0.1: wait_until_empty's
    PyObject* loop_poll;       // 0.005: a wait for loops, which rarely outlive the pool's own wait
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
    // The Task record type the module body made, while it keeps the __new__ and __init__ that
    // namedtuple gave it (its basis holds; else each task is made with the ordinary call).
    PyObject* task_type;
    Basis task_basis;

    // The last queue recognized as plain, and its parts (borrowed from the queue's dict and the
    // conditions'), kept while the bases of the queue and of both conditions hold (plain_queue.cpp;
    // from 3.12 on, with the watchers).
    struct {
        Basis queue;  // a change of its unfinished_tasks does not count
        Basis not_empty;
        Basis not_full;
        PyObject* object;
        PyObject* mutex;
        PyObject* items;
        PyObject* not_empty_condition;
        PyObject* not_full_condition;
        PyObject* not_empty_waiters;
        PyObject* not_full_waiters;
    } recognized;
    PyObject* module;    // borrowed: the module object, whose state this is

    Registry* registry;         // guarded by the GIL
    std::uint64_t fork_epoch;   // forks survived; a loop that saw another epoch belongs to the parent
    bool exiting;               // the interpreter's exit hook began: no worker loop starts again
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

// sleep(seconds), with the module global `sleep` looked up now: every wait polls with it.
inline void module_sleep(State* st, PyObject* seconds) {
    Ref sleep = lookup_global(st->globals, st->str_sleep);
    Ref ignored = Ref::steal(PyObject_CallOneArg(sleep.get(), seconds));
}

// ---- threads ---------------------------------------------------------------------------------

// This thread as the module's get_ident() names it (a call of the module global), with the
// interpreter's own id beside it.
ThreadId this_thread(State* st);
// This thread known by the interpreter's id only (no call: no Python code runs).
ThreadId native_thread();
// Keeps the value of a thread id that get_ident() returned, when it is an exact int (reading one
// runs no code); any other object leaves the thread known by the interpreter's id only.
bool ident_value(PyObject* ident, unsigned long long& value);

// Whether the caller runs on one of the executor's own threads: inside one of its loops, or on a
// thread of `pool` (may be nullptr) or of the pools of the starts up to `upto` whose loops have
// not all ended (a pool thread outside its loop: before it began, after it ended, in a
// finalizer). Waiting for those loops there would wait for this very thread. May run Python code.
bool on_executor_thread(State* st, const Record& record, const ThreadId& me, PyObject* pool, std::uint64_t upto);
// Whether this thread is one of `pool`'s threads: ThreadPoolExecutor's private set of its threads,
// compared by ident; a pool without one is taken to have none here. May run Python code.
bool on_thread_of_pool(State* st, PyObject* pool, const ThreadId& me);

// ---- the steps that several operations share ---------------------------------------------------

// One iteration of the worker loop `loop_id`; `last_pass` leaves out the pacing sleep (the exit's
// last pass). `epoch` is the fork epoch the loop began in.
void iteration(State* st, PyObject* self, Record& record, std::uint64_t loop_id, bool last_pass, std::uint64_t epoch);

// The exit's last pass over one executor, on the exiting thread: one iteration without pacing,
// this thread counting as a loop of the executor meanwhile.
void last_pass_here(State* st, PyObject* self, Record& record);

// pool.shutdown(), or pool.shutdown(wait=False).
void shutdown_pool(State* st, PyObject* pool, bool wait);

// Waits until the loops and futures of the starts up to `upto` have ended, polling with the
// module's sleep; returns at once on one of the executor's own threads (on_executor_thread),
// where they would include this very thread.
void wait_for_loops(State* st, Record& record, std::uint64_t upto, const ThreadId& me);

// Task(args=..., kwargs=...) as the record type does it (intake.cpp); remember_task_type notes the
// type the module body made.
Ref make_task(State* st, PyObject* args, PyObject* kwargs);
void remember_task_type(State* st, PyObject* task_type);

// The interpreter's fork and exit hooks (process.cpp), registered by the module body.
void register_lifecycle_hooks(State* st);

extern const FunctionDef init_def, add_task_def, wait_until_empty_def, shutdown_def, batch_def, run_def;

}  // namespace vantor::executors
