// Module state of vantor.common.executors: its function type, interned names, and the registry of
// worker loops per executor that lets the caller-side operations tell a stuck queue from a busy one.
#pragma once

#include "support/fastpath.hpp"
#include "support/function.hpp"
#include "support/globals.hpp"
#include "support/klass.hpp"
#include "support/signature.hpp"

#include <unordered_map>

namespace vantor::executors {

using namespace support;

// What the module knows of one executor's worker loops, beyond its instance attributes (which
// stay exactly the documented ones). An entry lives only while one of the counts is non-zero,
// and each of those states holds a strong reference to the executor, so its address cannot be
// reused meanwhile.
struct LoopRecord {
    int pending = 0;   // submitted to the pool, not yet running
    int live = 0;      // inside _batch
    int starting = 0;  // add_task is creating the pool and submitting
    int stopping = 0;  // shutdown calls in progress
};

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

    std::unordered_map<PyObject*, LoopRecord>* loops;  // guarded by the GIL
};

inline State* state_of(FunctionObject* f) noexcept { return static_cast<State*>(f->state); }

// The record of `executor`, created on demand.
inline LoopRecord& loop_record(State* st, PyObject* executor) { return (*st->loops)[executor]; }

// Drops the record of `executor` once nothing is counted in it any more.
inline void release_loop_record(State* st, PyObject* executor) {
    auto it = st->loops->find(executor);
    if (it == st->loops->end()) return;
    const LoopRecord& r = it->second;
    if (r.pending == 0 && r.live == 0 && r.starting == 0 && r.stopping == 0) st->loops->erase(it);
}

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

extern const FunctionDef init_def, add_task_def, wait_until_empty_def, shutdown_def, batch_def, run_def;

}  // namespace vantor::executors
