// Ending a period of work: wait_until_empty polls the queue and then the count of worker loops
// inside an iteration; shutdown clears the flag and waits for the pool.
#include "plain_queue.hpp"
#include "state.hpp"

namespace vantor::executors {

namespace {

constexpr Param self_only[] = {{"self"}};
constexpr Signature wait_sig{"wait_until_empty", self_only, "None"};
constexpr Signature shutdown_sig{"shutdown", self_only, "None"};

void poll_sleep(State* st) {
    Ref sleep = lookup_global(st->globals, st->str_sleep);
    Ref ignored = Ref::steal(PyObject_CallOneArg(sleep.get(), st->poll_interval));
}

// True when queued tasks have no worker loop that could ever take them: the executor is
// stopped and no loop is inside an iteration, or it is running but every loop has ended.
bool nothing_can_drain(State* st, PyObject* self) {
    Record* record = st->registry->find(self);
    if (record != nullptr && record->starting_thread != 0) return false;
    const bool running = attr_truthy(self, st->str__is_running);
    record = st->registry->find(self);
    if (running) return record == nullptr || (record->in_flight == 0 && record->live == 0);
    Ref inside = get_attr(self, st->str__num_running_threads);
    Ref zero = Ref::steal(PyLong_FromLong(0));
    return require(PyObject_RichCompareBool(inside.get(), zero.get(), Py_EQ)) == 1;
}

PyObject* wait_body(FunctionObject* f, BoundArgs& a) {
    State* st = state_of(f);
    PyObject* self = a[0];
    // From Python code run by one of our steps while it holds _lock (a signal handler, say), the
    // wait would never end: the loops need that lock to count themselves out.
    if (Record* record = st->registry->find(self); record != nullptr && record->lock_owner == PyThread_get_thread_ident()) {
        PyErr_SetString(PyExc_RuntimeError,
                        "wait_until_empty() cannot wait on this thread now: it holds the executor's lock");
        throw_error();
    }
    // Polling a queue that nothing will ever drain would never return: say so instead. The
    // situation must hold on two consecutive polls, so a start in progress is not mistaken for it.
    int stuck_polls = 0;
    while (!queue_empty(st, self)) {
        if (!nothing_can_drain(st, self)) {
            stuck_polls = 0;
        } else if (++stuck_polls >= 2) {
            Ref queue = get_attr(self, st->str__queue);
            PyObject* args[] = {queue.get()};
            Ref size = call_method(st->str_qsize, args, 1);
            PyErr_Format(PyExc_RuntimeError,
                         "wait_until_empty(): %S task(s) queued but no worker loop is running to take them; "
                         "add_task() starts the workers (after shutdown() if they have ended)",
                         size.get());
            throw_error();
        }
        poll_sleep(st);
    }
    Ref zero = Ref::steal(PyLong_FromLong(0));
    while (true) {
        Ref inside = get_attr(self, st->str__num_running_threads);
        Ref busy = Ref::steal(PyObject_RichCompare(inside.get(), zero.get(), Py_NE));
        if (!truthy(busy.get())) break;
        poll_sleep(st);
    }
    Py_RETURN_NONE;
}

// Counts a shutdown in progress, so that add_task does not start a new pool beneath it (the
// old loops would see the flag set again and the pool's wait would never end).
class StoppingScope {
public:
    explicit StoppingScope(Record& record) : record_(record) { ++record.stopping; }
    ~StoppingScope() {
        if (interpreter_usable()) --record_.stopping;
    }
    StoppingScope(const StoppingScope&) = delete;
    StoppingScope& operator=(const StoppingScope&) = delete;

private:
    Record& record_;
};

void shutdown_pool(State* st, PyObject* pool, bool wait) {
    if (wait) {
        PyObject* args[] = {pool};
        call_method(st->str_shutdown, args, 1);
    } else {
        PyObject* args[] = {pool, Py_False};
        call_method(st->str_shutdown, args, 1, st->kw_wait);
    }
}

PyObject* shutdown_body(FunctionObject* f, BoundArgs& a) {
    State* st = state_of(f);
    PyObject* self = a[0];
    Record* record = st->registry->find(self);
    const unsigned long me = PyThread_get_thread_ident();
    if (record != nullptr && record->lock_owner == me && record->starting_thread != me) {
        // Python code run by one of our steps that holds _lock on this thread: the loops need that
        // lock to end their iteration, so nothing here waits for them. They are told to stop.
        if (attr_truthy(self, st->str__is_running)) stop_without_waiting(st, self, *record);
        Py_RETURN_NONE;
    }
    if (record != nullptr && record->starting_thread != 0) {
        // A start in progress, on this thread (Python code that it ran: a signal handler, a
        // finalizer) or on another (which may be waiting for this very thread, as it waits for
        // the pool threads it makes): the stop is recorded, and the start honours it as it ends,
        // submitting no further loop. Nothing waits for the start.
        record->stop_requested = true;
        Py_RETURN_NONE;
    }
    if (!attr_truthy(self, st->str__is_running)) {
        // Stopped, or stopping: a shutdown returns only once the loops of the executor have
        // ended, also after an earlier one was interrupted or was called from inside run.
        wait_for_loops(st, self);
        Py_RETURN_NONE;
    }
    Record& stopping_record = st->registry->of(self);
    StoppingScope stopping(stopping_record);
    set_attr(self, st->str__is_running, Py_False);
    stopping_record.start_deferred = false;
    Ref pool = get_attr(self, st->str_executor);
    if (current_worker_executor() == self || on_thread_of_pool(st, pool.get())) {
        // Called on one of our own worker threads (from run, or from code that runs there outside
        // the loop: a finalizer, say): waiting for every worker would wait for this very thread.
        // The workers end after their current iteration.
        shutdown_pool(st, pool.get(), false);
        Py_RETURN_NONE;
    }
    shutdown_pool(st, pool.get(), true);
    // The loops of an earlier start still run when this start was deferred behind them.
    wait_for_loops(st, self);
    Py_RETURN_NONE;
}

}  // namespace

void stop_without_waiting(State* st, PyObject* self, Record& record) {
    set_attr(self, st->str__is_running, Py_False);
    record.start_deferred = false;
    Ref pool = get_attr(self, st->str_executor);
    shutdown_pool(st, pool.get(), false);
}

void wait_for_loops(State* st, PyObject* self) {
    if (current_worker_executor() == self) return;
    Record* record = st->registry->find(self);
    if (record == nullptr || record->in_flight == 0 || !record->pool) return;
    Ref pool = record->pool.copy();
    if (on_thread_of_pool(st, pool.get())) return;
    shutdown_pool(st, pool.get(), true);
}

const FunctionDef wait_until_empty_def{&wait_sig, wait_body, "DelayedBatchExecutor.wait_until_empty"};
const FunctionDef shutdown_def{&shutdown_sig, shutdown_body, "DelayedBatchExecutor.shutdown"};

}  // namespace vantor::executors
