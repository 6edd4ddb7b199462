// Ending a period of work: wait_until_empty polls the queue and then the count of worker loops
// inside an iteration; shutdown clears the flag and waits for the pool.
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

bool queue_empty(State* st, PyObject* self) {
    Ref queue = get_attr(self, st->str__queue);
    PyObject* args[] = {queue.get()};
    return truthy(call_method(st->str_empty, args, 1).get());
}

// True when queued tasks have no worker loop that could ever take them: the executor is
// stopped and no loop is inside an iteration, or it is running but every loop has ended.
bool nothing_can_drain(State* st, PyObject* self) {
    auto it = st->loops->find(self);
    const LoopRecord none{};
    const LoopRecord& r = it == st->loops->end() ? none : it->second;
    if (r.starting > 0) return false;
    if (attr_truthy(self, st->str__is_running)) return r.pending + r.live == 0;
    Ref inside = get_attr(self, st->str__num_running_threads);
    Ref zero = Ref::steal(PyLong_FromLong(0));
    return require(PyObject_RichCompareBool(inside.get(), zero.get(), Py_EQ)) == 1;
}

PyObject* wait_body(FunctionObject* f, BoundArgs& a) {
    State* st = state_of(f);
    PyObject* self = a[0];
    // Polling a queue that nothing will ever drain would never return: say so instead. The
    // situation must hold on two consecutive polls, so a start in progress is not mistaken for it.
    int stuck_polls = 0;
    while (!queue_empty(st, self)) {
        if (!nothing_can_drain(st, self)) {
            stuck_polls = 0;
        } else if (++stuck_polls >= 2) {
            Ref queue = get_attr(self, st->str__queue);
            Ref size = Ref::steal(PyObject_CallMethod(queue.get(), "qsize", nullptr));
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

// Counts a shutdown in progress in the registry, so that add_task does not start a new pool
// beneath it (the old loops would see the flag set again and the pool's wait would never end).
class StoppingScope {
public:
    StoppingScope(State* st, PyObject* self) : st_(st), self_(self) { ++loop_record(st, self).stopping; }
    ~StoppingScope() {
        --loop_record(st_, self_).stopping;
        release_loop_record(st_, self_);
    }
    StoppingScope(const StoppingScope&) = delete;
    StoppingScope& operator=(const StoppingScope&) = delete;

private:
    State* st_;
    PyObject* self_;
};

PyObject* shutdown_body(FunctionObject* f, BoundArgs& a) {
    State* st = state_of(f);
    PyObject* self = a[0];
    if (!attr_truthy(self, st->str__is_running)) Py_RETURN_NONE;
    auto it = st->loops->find(self);
    if (it != st->loops->end() && it->second.starting > 0) {
        // A start is creating the pool under _lock: let it finish, so that its submits do not
        // meet a pool that is already shut down; then stop what it started (if it succeeded).
        call_lock(st, self, st->str_acquire);
        call_lock(st, self, st->str_release);
        if (!attr_truthy(self, st->str__is_running)) Py_RETURN_NONE;
    }
    StoppingScope stopping(st, self);
    set_attr(self, st->str__is_running, Py_False);
    Ref pool = get_attr(self, st->str_executor);
    if (current_worker_executor() == self) {
        // Called from run on one of our own worker threads: waiting for every worker would wait
        // for this very thread. The workers end after their current iteration.
        PyObject* args[] = {pool.get(), Py_False};
        call_method(st->str_shutdown, args, 1, st->kw_wait);
    } else {
        PyObject* args[] = {pool.get()};
        call_method(st->str_shutdown, args, 1);
    }
    Py_RETURN_NONE;
}

}  // namespace

const FunctionDef wait_until_empty_def{&wait_sig, wait_body, "DelayedBatchExecutor.wait_until_empty"};
const FunctionDef shutdown_def{&shutdown_sig, shutdown_body, "DelayedBatchExecutor.shutdown"};

}  // namespace vantor::executors
