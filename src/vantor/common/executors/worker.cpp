// The worker loop _batch: per iteration, log the start, count itself in, take every queued task,
// hand full batches and the remainder to run, log the end, count itself out, sleep out the rest
// of duration. Also the abstract run.
#include "plain_queue.hpp"
#include "state.hpp"

namespace vantor::executors {

namespace {

void log_debug(State* st, PyObject* message) {
    Ref logger = lookup_global(st->globals, st->str_logger);
    PyObject* args[] = {logger.get(), message};
    call_method(st->str_debug, args, 2);
}

// _num_running_threads += delta between self._lock.acquire() and self._lock.release(); the lock
// is released however the update ends. Nothing of ours takes _lock elsewhere, so Python code that
// runs here (a property, a finalizer) and calls back into the executor never waits for it.
void adjust_running(State* st, PyObject* self, long delta) {
    call_lock(st, self, st->str_acquire);
    try {
        Ref current = get_attr(self, st->str__num_running_threads);
        Ref step = Ref::steal(PyLong_FromLong(delta < 0 ? -delta : delta));
        Ref updated = Ref::steal(delta < 0 ? PyNumber_Subtract(current.get(), step.get())
                                           : PyNumber_Add(current.get(), step.get()));
        set_attr(self, st->str__num_running_threads, updated.get());
    } catch (...) {
        pass_thread_exit();
        cleanup_during_unwind([&] { call_lock(st, self, st->str_release); });
        throw;
    }
    call_lock(st, self, st->str_release);
}

// self.run(tasks); an Exception is logged with its traceback as the handled exception and
// dropped, anything else ends the worker loop.
VANTOR_HOT void hand_off(State* st, PyObject* self, PyObject* tasks) {
    PyObject* args[] = {self, tasks};
    Ref result = Ref::steal_or_null(PyObject_VectorcallMethod(st->str_run, args, 2, nullptr));
    if (result) return;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_error();
    HandlingScope handling;
    Ref logger = lookup_global(st->globals, st->str_logger);
    PyObject* log_args[] = {logger.get(), st->empty_text};
    call_method(st->str_exception, log_args, 2);
}

// Takes every task it can get without blocking and hands them off in batches; returns the count.
VANTOR_HOT Py_ssize_t collect(State* st, PyObject* self) {
    Py_ssize_t count = 0;
    Ref tasks = Ref::steal(PyList_New(0));
    while (true) {
        Ref queue = get_attr(self, st->str__queue);
        const Take taken = take_in_place(st, self, queue.get(), tasks.get(), count);
        if (taken == Take::queue_empty) break;
        if (taken == Take::batch_full) {
            hand_off(st, self, tasks.get());
            tasks = Ref::steal(PyList_New(0));
            continue;
        }
        if (taken == Take::more) {
            // No Python code ran while taking: give threads waiting for the interpreter a turn.
            Py_BEGIN_ALLOW_THREADS
            Py_END_ALLOW_THREADS
            continue;
        }
        PyObject* empty_args[] = {queue.get()};
        if (truthy(call_method(st->str_empty, empty_args, 1).get())) break;

        Ref queue_again = get_attr(self, st->str__queue);
        PyObject* get_args[] = {queue_again.get()};
        PyObject* task = PyObject_VectorcallMethod(st->str_get_nowait, get_args, 1, nullptr);
        if (task == nullptr) {
            // Another worker loop took the last task between the test and the take.
            CaughtError error;
            Ref empty_type = lookup_global(st->globals, st->str_Empty);
            if (!error.matches(empty_type.get())) error.rethrow();
            continue;
        }
        Ref owned_task = Ref::steal(task);
        ++count;
        require(PyList_Append(tasks.get(), owned_task.get()));
        Ref length = Ref::steal(PyLong_FromSsize_t(PyList_GET_SIZE(tasks.get())));
        Ref batch_size = get_attr(self, st->str_batch_size);
        Ref full = Ref::steal(PyObject_RichCompare(length.get(), batch_size.get(), Py_EQ));
        if (truthy(full.get())) {
            hand_off(st, self, tasks.get());
            // run may keep the list it was given: start a new one rather than emptying it.
            tasks = Ref::steal(PyList_New(0));
        }
    }
    if (PyList_GET_SIZE(tasks.get()) > 0) hand_off(st, self, tasks.get());
    return count;
}

}  // namespace

void iteration(State* st, PyObject* self, Record& record, std::uint64_t loop_id, bool last_pass, std::uint64_t epoch) {
    Ref start_time = call_global(st, st->str_time);
    Ref thread_id = call_global(st, st->str_get_ident);
    // The loop's thread is known by the module's get_ident from here on.
    unsigned long long ident;
    if (epoch == st->fork_epoch && ident_value(thread_id.get(), ident)) loop_thread_named(record, loop_id, ident);
    log_debug(st, Ref::steal(PyUnicode_FromFormat("[%S] queue loop start.", thread_id.get())).get());

    adjust_running(st, self, +1);
    // From here on the count comes back down however the iteration ends: a worker loop that dies
    // must not leave wait_until_empty waiting for it forever. In a child forked meanwhile (from
    // inside run) the count is the child's own, which this iteration never raised.
    try {
        Py_ssize_t count = collect(st, self);
        log_debug(st, Ref::steal(PyUnicode_FromFormat("[%S] queue loop end. get %zd tasks", thread_id.get(), count)).get());
    } catch (...) {
        pass_thread_exit();
        if (epoch == st->fork_epoch) cleanup_during_unwind([&] { adjust_running(st, self, -1); });
        throw;
    }
    if (epoch == st->fork_epoch) adjust_running(st, self, -1);
    if (last_pass) return;

    Ref end_time = call_global(st, st->str_time);
    Ref duration = get_attr(self, st->str_duration);
    Ref elapsed = Ref::steal(PyNumber_Subtract(end_time.get(), start_time.get()));
    Ref sleep_time = Ref::steal(PyNumber_Subtract(duration.get(), elapsed.get()));
    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref positive = Ref::steal(PyObject_RichCompare(sleep_time.get(), zero.get(), Py_GT));
    if (truthy(positive.get())) {
        Ref sleep = lookup_global(st->globals, st->str_sleep);
        Ref ignored = Ref::steal(PyObject_CallOneArg(sleep.get(), sleep_time.get()));
    }
}

namespace {

constexpr Param batch_params[] = {{"self"}};
constexpr Signature batch_sig{"_batch", batch_params, "None"};

// A loop that ends by an exception says so: nobody reads the future that receives it.
void report_dead_loop(State* st, PyObject* self) {
    Ref loop = Ref::steal_or_null(PyMethod_New(st->fn_batch, self));
    write_unraisable(loop ? loop.get() : self, true);
}

PyObject* batch_body(FunctionObject* f, BoundArgs& a) {
    State* st = state_of(f);
    PyObject* self = a[0];
    Record& record = st->registry->of(self);
    const std::uint64_t epoch = st->fork_epoch;
    std::uint64_t generation = 0, id = 0;
    // A submitted loop that begins while an earlier start's loops are still in flight may be one of
    // them, late, on that start's pool: asked only then (a pool's thread stays its pool's).
    bool earlier = false;
    try {
        if (record.pending > 0) {
            std::vector<Ref> pools = earlier_pools(record);
            const ThreadId me = pools.empty() ? ThreadId{} : this_thread(st);
            for (const Ref& pool : pools)
                if (on_thread_of_pool(st, pool.get(), me)) earlier = true;
        }
    } catch (...) {
        pass_thread_exit();
        if (!PyErr_Occurred()) set_error_from_current_exception("_batch");
        // Failed before it began (get_ident is Python code where gevent patched it): it begins and
        // ends at once, so that the place its start kept for it is not waited for.
        if (loop_begins(record, native_thread(), false, generation, id)) {
            loop_ends(record, id);
            if (generation != 0) report_dead_loop(st, self);
        }
        throw_error();
    }
    if (!loop_begins(record, native_thread(), earlier, generation, id)) Py_RETURN_NONE;
    try {
        while (true) {
            const bool running = attr_truthy(self, st->str__is_running);
            if (epoch != st->fork_epoch) break;  // forked inside run: this loop is the parent's
            const LoopNext next = loop_next(record, generation, running);
            if (next == LoopNext::iterate) {
                iteration(st, self, record, id, false, epoch);
            } else if (next == LoopNext::hold_back) {  // loops of an earlier start are ending
                module_sleep(st, st->loop_poll);
            } else {
                if (next == LoopNext::last_pass) iteration(st, self, record, id, true, epoch);
                break;
            }
        }
    } catch (...) {
        pass_thread_exit();
        if (!PyErr_Occurred()) set_error_from_current_exception("_batch");
        if (epoch == st->fork_epoch) {
            loop_ends(record, id);
            if (generation != 0) report_dead_loop(st, self);
        }
        throw_error();
    }
    if (epoch == st->fork_epoch) loop_ends(record, id);
    Py_RETURN_NONE;
}

constexpr Param run_params[] = {{"self"}, {"tasks", "List"}};
constexpr Signature run_sig{"run", run_params, "Any"};

PyObject* run_body(FunctionObject*, BoundArgs& a) {
    check_exact("tasks", a[1], &PyList_Type);
    PyErr_SetNone(PyExc_NotImplementedError);
    throw_error();
}

}  // namespace

ThreadId native_thread() {
    ThreadId id;
    id.native = PyThread_get_thread_ident();
    return id;
}

ThreadId this_thread(State* st) {
    ThreadId id = native_thread();
    Ref ident = call_global(st, st->str_get_ident);
    id.has_ident = ident_value(ident.get(), id.ident);
    return id;
}

bool ident_value(PyObject* ident, unsigned long long& value) {
    if (!PyLong_CheckExact(ident)) return false;
    value = PyLong_AsUnsignedLongLongMask(ident);
    return !(value == static_cast<unsigned long long>(-1) && PyErr_Occurred());
}

void last_pass_here(State* st, PyObject* self, Record& record) {
    const std::uint64_t id = exit_pass_begins(record, native_thread());
    const std::uint64_t epoch = st->fork_epoch;
    try {
        iteration(st, self, record, id, true, epoch);
    } catch (...) {
        pass_thread_exit();
        if (epoch == st->fork_epoch) loop_ends(record, id);
        throw;
    }
    if (epoch == st->fork_epoch) loop_ends(record, id);
}

const FunctionDef batch_def{&batch_sig, batch_body, "DelayedBatchExecutor._batch"};
const FunctionDef run_def{&run_sig, run_body, "DelayedBatchExecutor.run"};

}  // namespace vantor::executors
