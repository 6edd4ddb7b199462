// Ending a period of work: wait_until_empty polls the queue and then the count of worker loops
// inside an iteration; shutdown stops the loops and waits for the pool and for them. What each
// wait does on a thread whose own code would have to end it is in machine.hpp.
#include "plain_queue.hpp"
#include "state.hpp"

namespace vantor::executors {

namespace {

constexpr Param self_only[] = {{"self"}};
constexpr Signature wait_sig{"wait_until_empty", self_only, "None"};
constexpr Signature shutdown_sig{"shutdown", self_only, "None"};

[[noreturn]] void raise_nothing_drains(State* st, PyObject* self) {
    Ref queue = get_attr(self, st->str__queue);
    PyObject* args[] = {queue.get()};
    Ref size = call_method(st->str_qsize, args, 1);
    PyErr_Format(PyExc_RuntimeError,
                 "wait_until_empty(): %S task(s) queued but no worker loop is running to take them; "
                 "add_task() starts the workers (after shutdown() if they have ended)",
                 size.get());
    throw_error();
}

PyObject* wait_body(FunctionObject* f, BoundArgs& a) {
    State* st = state_of(f);
    PyObject* self = a[0];
    const ThreadId me = this_thread(st);
    Record& record = st->registry->of(self);
    // Waits that this thread's own code would have to end: refused instead of never returning.
    if (is_starting_on(record, me)) {
        PyErr_SetString(PyExc_RuntimeError,
                        "wait_until_empty() cannot wait on this thread now: it is starting the worker loops, "
                        "which take no task before the start returns");
        throw_error();
    }
    // Until the reset ends, _num_running_threads is the parent's, which the reset (on this very
    // thread, the child's only one) sets back.
    if (is_resetting(record)) {
        PyErr_SetString(PyExc_RuntimeError,
                        "wait_until_empty() cannot wait on this thread now: it is resetting the executor in a "
                        "forked child, whose counts are the parent's until the reset ends");
        throw_error();
    }
    // A start in progress on another thread is let finish first: this may be one of the threads
    // it makes (a finalizer on a new pool thread), which only then counts as one of the pool's.
    while (start_in_progress(record)) module_sleep(st, st->loop_poll);
    if (on_executor_thread(st, record, me, nullptr, record.generation)) {
        PyErr_SetString(PyExc_RuntimeError,
                        "wait_until_empty() cannot wait on a thread of this executor's worker loops (inside run, "
                        "say): the loop of this thread takes no task and counts as busy until the call returns");
        throw_error();
    }
    // Polling a queue that nothing will ever drain would never return: say so instead. The
    // situation must hold on two consecutive polls, so that an add_task between its put and its
    // start is not mistaken for it.
    int stuck_polls = 0;
    while (!queue_empty(st, self)) {
        if (can_drain(record)) {
            stuck_polls = 0;
        } else if (++stuck_polls >= 2) {
            raise_nothing_drains(st, self);
        }
        module_sleep(st, st->poll_interval);
    }
    Ref zero = Ref::steal(PyLong_FromLong(0));
    while (true) {
        Ref inside = get_attr(self, st->str__num_running_threads);
        Ref busy = Ref::steal(PyObject_RichCompare(inside.get(), zero.get(), Py_NE));
        if (!truthy(busy.get())) break;
        module_sleep(st, st->poll_interval);
    }
    Py_RETURN_NONE;
}

// The stop's wait is over when the call returns or unwinds.
class StoppingScope {
public:
    explicit StoppingScope(Record& record) : record_(record) {}
    ~StoppingScope() {
        if (interpreter_usable()) end_stop(record_);
    }
    StoppingScope(const StoppingScope&) = delete;
    StoppingScope& operator=(const StoppingScope&) = delete;

private:
    Record& record_;
};

PyObject* shutdown_body(FunctionObject* f, BoundArgs& a) {
    State* st = state_of(f);
    PyObject* self = a[0];
    Record& record = st->registry->of(self);
    // The thread's id is asked for first: get_ident may be Python code (gevent's), and an
    // exception raised there must find nothing recorded. The stop is decided right after the read
    // of _is_running, and a recorded one is in its scope before anything else runs.
    const ThreadId me = this_thread(st);
    const Stop stop = begin_stop(record, attr_truthy(self, st->str__is_running));
    switch (stop.verdict) {
    case StopVerdict::record_only:  // the start honours it as it ends; nothing waits for the start
        Py_RETURN_NONE;
    case StopVerdict::wait_only:  // not running: nothing to stop, but loops told to stop may still end
        wait_for_loops(st, record, stop.upto, me);
        Py_RETURN_NONE;
    case StopVerdict::stop:
        break;
    }
    StoppingScope stopping(record);
    set_attr(self, st->str__is_running, Py_False);
    Ref pool = get_attr(self, st->str_executor);
    if (on_executor_thread(st, record, me, pool.get(), stop.upto)) {
        // Inside run, or on a pool thread outside its loop: the pool is told to stop, and its loops
        // end after their current iteration.
        shutdown_pool(st, pool.get(), false);
        Py_RETURN_NONE;
    }
    shutdown_pool(st, pool.get(), true);
    // A pool that does not wait, or loops of an earlier start that were told to stop without
    // waiting: a shutdown returns once every loop it stopped has ended.
    wait_for_loops(st, record, stop.upto, me);
    Py_RETURN_NONE;
}

bool same_thread(const ThreadId& me, PyObject* ident) {
    unsigned long long value;
    if (!ident_value(ident, value)) return false;
    return me.has_ident ? value == me.ident : value == me.native;
}

}  // namespace

// ThreadPoolExecutor._threads: private, checked on 3.10 to 3.15.
bool on_thread_of_pool(State* st, PyObject* pool, const ThreadId& me) {
    Ref threads = Ref::steal_or_null(PyObject_GetAttr(pool, st->str__threads));
    if (!threads) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
        return false;
    }
    Ref listed = Ref::steal(PySequence_List(threads.get()));  // a copy: the pool may add threads meanwhile
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(listed.get()); ++i) {
        Ref ident = get_attr(PyList_GET_ITEM(listed.get(), i), st->str_ident);
        if (same_thread(me, ident.get())) return true;
    }
    return false;
}

bool on_executor_thread(State* st, const Record& record, const ThreadId& me, PyObject* pool, std::uint64_t upto) {
    if (is_own_loop(record, me)) return true;
    // Taken out first: looking at a pool runs Python code, which may change the record.
    std::vector<Ref> pools = pools_up_to(record, upto);
    if (pool != nullptr) pools.push_back(Ref::new_ref(pool));
    for (const Ref& p : pools)
        if (on_thread_of_pool(st, p.get(), me)) return true;
    return false;
}

void shutdown_pool(State* st, PyObject* pool, bool wait) {
    if (wait) {
        PyObject* args[] = {pool};
        call_method(st->str_shutdown, args, 1);
    } else {
        PyObject* args[] = {pool, Py_False};
        call_method(st->str_shutdown, args, 1, st->kw_wait);
    }
}

void wait_for_loops(State* st, Record& record, std::uint64_t upto, const ThreadId& me) {
    if (!loops_up_to(record, upto) || on_executor_thread(st, record, me, nullptr, upto)) return;
    while (loops_up_to(record, upto)) module_sleep(st, st->loop_poll);
}

const FunctionDef wait_until_empty_def{&wait_sig, wait_body, "DelayedBatchExecutor.wait_until_empty"};
const FunctionDef shutdown_def{&shutdown_sig, shutdown_body, "DelayedBatchExecutor.shutdown"};

}  // namespace vantor::executors
