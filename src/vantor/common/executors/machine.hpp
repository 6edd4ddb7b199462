// The life cycle of one executor as one state machine: its phases, the events that move it, and
// the record that carries it. Every transition is decided and recorded here, in C++ under the
// GIL, before the caller makes any call that can run Python code; the caller then does what the
// transition asks (writes _is_running, makes or stops the pool, waits) and reports the outcome,
// which is decided again against the phase as it stands then. Nothing else keeps life-cycle state.
//
// Phases:
//   idle           constructed, or reset in a forked child: never started
//   starting       a start is making the pool and submitting the loops, on thread `starter`
//   starting_stop  the same, and a shutdown came in meanwhile (on any thread: the start may be
//                  waiting for that very thread); the start stops what it made as it ends
//   running        the loops of generation `generation` are submitted
//   stopping       a shutdown is waiting for the pool and the loops it stopped
//   stopped        stopped; loops that were told to stop may still be ending their iteration
//   draining       interpreter exit: the loops take everything once more, the exiting thread the rest
//   closed         the exit hook is over: no loop starts again
//   resetting      in a forked child, while the fork hook makes the executor's parts anew
//
// Transitions ("-": the phase stays; "x": cannot happen). A start is refused (RuntimeError) once
// the interpreter's exit began, in any phase that would start.
//
//   event                        idle      starting  starting_stop running   stopping  stopped   draining  closed
//   start (add_task finds        starting  -         -             starting  -         starting  counted   refused
//     _is_running false)
//   stop (shutdown finds         stopping  starting_ -             stopping  -         stopping  -         -
//     _is_running true)                    stop
//   stop (_is_running false)     -         starting_ -             stopped   -         -         -         -
//                                          stop
//   start ends                   x         running   stopped       x         x         x         -         -
//   start fails                  x         stopped   stopped       x         x         x         -         -
//   stop's wait ends or unwinds  x         x         x             x         stopped   x         -         -
//   exit hook begins             draining  draining  draining      draining  draining  draining  x         x
//   exit hook ends               x         x         x             x         x         x         closed    x
//   fork, in the child           resetting (from every phase; resetting takes no start and no stop)
//   fork reset ends              idle (from resetting)
//
// "counted": the task waits in the queue, and the exit hook, which counts such tasks, looks at the
// queues again before it closes (a task queued after its queue was looked at is not left behind).
//
// A start always submits num_threads loops; each start has a generation of its own. A submitted
// loop that begins takes one of its start's places, or ends at once when its start was stopped or
// replaced. A loop iterates while _is_running is true, the phase is starting or running and its
// generation is the current one (a direct call of _batch: while _is_running is true); it holds
// back, taking nothing, while loops of an earlier generation are inside _batch, so that the loops
// of two starts never run side by side; in draining it takes everything once more and ends.
//
// Waits: what each waits for, and what it does when the code that would end it runs on the
// waiting thread (a signal handler, a finalizer, run itself):
//   shutdown          the pool's shutdown(), then every loop and future of the starts it stopped.
//                     On a thread of the executor (inside run, or a pool thread outside its loop)
//                     it stops the pool without waiting; during a start it only records the stop.
//   wait_until_empty  the queue, then _num_running_threads. Raises RuntimeError on a loop's own
//                     thread, on the thread of a start in progress, during a forked child's reset
//                     (whose thread, the child's only one, is the one that makes the counts its
//                     own), and when nothing can drain.
//   a restarted loop  the loops of earlier starts, which run on other threads.
//   the exit hook     every loop of every executor, on the pool threads.
#pragma once

#include "support/ref.hpp"

#include <cstdint>
#include <vector>

namespace vantor::executors {

using support::Ref;

enum class Phase : std::uint8_t {
    idle, starting, starting_stop, running, stopping, stopped, draining, closed, resetting
};

// Who a thread is: the module's get_ident() once it was read on the thread (it tells greenlets
// apart where gevent patched threading before the import), else the interpreter's thread id.
struct ThreadId {
    unsigned long native = 0;
    bool has_ident = false;
    unsigned long long ident = 0;

    bool same_as(const ThreadId& other) const {
        return has_ident && other.has_ident ? ident == other.ident : native == other.native;
    }
};

// A loop inside _batch.
struct Loop {
    std::uint64_t id;          // this loop's, for its own updates
    std::uint64_t generation;  // its start's; 0 for a direct call of _batch (or the exit's last pass)
    ThreadId thread;
};

// A start whose futures are not all done.
struct Generation {
    std::uint64_t number;
    int unfinished;  // submitted futures not yet done
    Ref pool;        // the pool they run on
};

// One executor's record (registry.hpp keeps them). Every field is guarded by the GIL.
struct Record {
    Ref weakref;  // to the executor

    Phase phase = Phase::idle;
    std::uint64_t generation = 0;  // the latest start's
    ThreadId starter;              // in starting and starting_stop
    int slots = 0;                 // loops the latest start submitted that have not begun
    int pending = 0;               // loops any start submitted that have not begun, nor were cancelled
    std::vector<Loop> loops;
    std::vector<Generation> generations;
    std::uint64_t next_loop_id = 1;
    std::uint64_t queued_in_draining = 0;  // tasks add_task queued while the exit hook drains
};

// ---- transitions (each decides and records; none runs Python code) -----------------------------

enum class StartVerdict { start, queue_only, refuse };
// add_task found _is_running false, on thread `me` (known by its interpreter id: the decision is
// taken right after the read, before get_ident() can run code); `exiting`: the interpreter's exit
// began. starter_named completes the starter's id once get_ident() returned.
StartVerdict begin_start(Record& r, const ThreadId& me, bool exiting);
void starter_named(Record& r, std::uint64_t generation, const ThreadId& me);
// A loop is about to be submitted by the start of generation `generation` (its pool `pool`);
// undone by submit_failed when the submit raised (which returns a pool to let go of, as
// future_done does).
void loop_submitted(Record& r, std::uint64_t generation, PyObject* pool);
Ref submit_failed(Record& r, std::uint64_t generation);

enum class StartEnd { running, stop, leave };
// The start of `generation` has submitted its loops: running, or `stop` (a shutdown came in: the
// caller stops its pool without waiting), or `leave` (the exit hook or a fork took over).
StartEnd end_start(Record& r, std::uint64_t generation);
void start_failed(Record& r, std::uint64_t generation);

enum class StopVerdict { record_only, stop, wait_only };
struct Stop {
    StopVerdict verdict;
    std::uint64_t upto;  // wait for the loops of the starts up to this generation
};
// shutdown() read _is_running as `running`.
Stop begin_stop(Record& r, bool running);
// The stop's wait is over (or was interrupted).
void end_stop(Record& r);

// A loop begins inside _batch on thread `thread`: its generation (0 for a direct call), or false
// when it is a loop of a start that was stopped or replaced, which ends at once (nothing recorded).
// `earlier` says that its thread is one of an earlier start's pool (earlier_pools): a loop submitted
// by that start that begins only now, which must not take a place of the current one.
bool loop_begins(Record& r, const ThreadId& thread, bool earlier, std::uint64_t& generation, std::uint64_t& id);
// The exit's last pass, on the exiting thread, counts as a loop (a direct one) while it runs.
std::uint64_t exit_pass_begins(Record& r, const ThreadId& thread);
void loop_thread_named(Record& r, std::uint64_t id, unsigned long long ident);
void loop_ends(Record& r, std::uint64_t id);

enum class LoopNext { iterate, hold_back, last_pass, end };
// What a loop of `generation` does next, _is_running being `running`.
LoopNext loop_next(const Record& r, std::uint64_t generation, bool running);

// A future of `generation` is done; `cancelled` when its loop never began. Returns the pool to
// let go of (after the caller's bookkeeping: releasing it may run Python code), if any.
Ref future_done(Record& r, std::uint64_t generation, bool cancelled);

// The exit hook takes the executor over; true when its loops run and _is_running is to be cleared.
bool exit_begins(Record& r);
void exit_ends(Record& r);
// In a forked child: what the parent's threads did is gone. Returns the pools to let go of.
std::vector<Ref> fork_child(Record& r);
void fork_reset_ends(Record& r);

// ---- what the waits ask ------------------------------------------------------------------------

bool is_own_loop(const Record& r, const ThreadId& me);
bool start_in_progress(const Record& r);
bool is_starting_on(const Record& r, const ThreadId& me);
// The fork hook is making the executor's parts anew, in a child whose only thread runs it.
bool is_resetting(const Record& r);
// Loops or futures of the starts up to `upto` (direct calls included) that have not ended.
bool loops_up_to(const Record& r, std::uint64_t upto);
// The pools of the starts up to `upto` whose futures are not all done (new references).
std::vector<Ref> pools_up_to(const Record& r, std::uint64_t upto);
// The same for the starts before the current one: where a loop that begins now and runs on one of
// their threads comes from (empty as a rule, so that a loop's begin asks nothing).
std::vector<Ref> earlier_pools(const Record& r);
// Whether anything of the executor can still take queued tasks.
bool can_drain(const Record& r);
// How many tasks add_task queued while the exit hook drains (it goes round again when that grows).
std::uint64_t queued_in_draining(const Record& r);

}  // namespace vantor::executors
