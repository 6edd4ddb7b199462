// The transitions of the executor's life cycle (machine.hpp has the table). Each function reads
// and writes the record only: no Python code runs here.
#include "machine.hpp"

#include <algorithm>
#include <utility>

namespace vantor::executors {

namespace {

bool live_phase(Phase phase) { return phase == Phase::starting || phase == Phase::running; }

Generation* find_generation(Record& r, std::uint64_t number) {
    for (Generation& g : r.generations)
        if (g.number == number) return &g;
    return nullptr;
}

}  // namespace

StartVerdict begin_start(Record& r, const ThreadId& me, bool exiting) {
    switch (r.phase) {
    case Phase::idle:
    case Phase::running:  // _is_running was cleared by hand: the loops end, a new start begins
    case Phase::stopped:
        if (exiting) return StartVerdict::refuse;
        r.phase = Phase::starting;
        ++r.generation;
        r.slots = 0;  // an earlier start's loops that have not begun end as they begin
        r.starter = me;
        return StartVerdict::start;
    case Phase::closed:
        return StartVerdict::refuse;
    case Phase::draining:
        ++r.queued_in_draining;
        return StartVerdict::queue_only;
    default:  // starting, starting_stop, stopping, resetting: the task waits in the queue
        return StartVerdict::queue_only;
    }
}

void starter_named(Record& r, std::uint64_t generation, const ThreadId& me) {
    if (r.generation == generation && (r.phase == Phase::starting || r.phase == Phase::starting_stop)) r.starter = me;
}

void loop_submitted(Record& r, std::uint64_t generation, PyObject* pool) {
    if (generation == r.generation) ++r.slots;
    ++r.pending;
    Generation* g = find_generation(r, generation);
    if (g == nullptr) g = &r.generations.emplace_back(Generation{generation, 0, Ref::new_ref(pool)});
    ++g->unfinished;
}

Ref submit_failed(Record& r, std::uint64_t generation) {
    if (generation == r.generation && r.slots > 0) --r.slots;
    if (r.pending > 0) --r.pending;
    return future_done(r, generation, false);
}

StartEnd end_start(Record& r, std::uint64_t generation) {
    if (r.generation != generation) return StartEnd::leave;
    if (r.phase == Phase::starting) {
        r.phase = Phase::running;
        return StartEnd::running;
    }
    if (r.phase == Phase::starting_stop) {
        r.phase = Phase::stopped;
        r.slots = 0;
        return StartEnd::stop;
    }
    return StartEnd::leave;
}

void start_failed(Record& r, std::uint64_t generation) {
    if (r.generation != generation || (r.phase != Phase::starting && r.phase != Phase::starting_stop)) return;
    r.phase = Phase::stopped;
    r.slots = 0;
}

Stop begin_stop(Record& r, bool running) {
    const Stop wait_only{StopVerdict::wait_only, r.generation};
    switch (r.phase) {
    case Phase::starting:
    case Phase::starting_stop:
        r.phase = Phase::starting_stop;
        return {StopVerdict::record_only, r.generation};
    case Phase::stopping:
    case Phase::draining:
    case Phase::resetting:
        return wait_only;
    case Phase::closed:
        // Stopped for good already; the written steps still run when _is_running was set again.
        return running ? Stop{StopVerdict::stop, r.generation} : wait_only;
    case Phase::idle:
    case Phase::running:
    case Phase::stopped:
        if (running) {
            r.phase = Phase::stopping;
        } else if (r.phase == Phase::running) {
            r.phase = Phase::stopped;  // _is_running was cleared by hand: the loops are ending
        }
        r.slots = 0;
        return running ? Stop{StopVerdict::stop, r.generation} : wait_only;
    }
    return wait_only;
}

void end_stop(Record& r) {
    if (r.phase == Phase::stopping) r.phase = Phase::stopped;
}

namespace {

std::uint64_t add_loop(Record& r, std::uint64_t generation, const ThreadId& thread) {
    const std::uint64_t id = r.next_loop_id++;
    r.loops.push_back(Loop{id, generation, thread});
    return id;
}

}  // namespace

bool loop_begins(Record& r, const ThreadId& thread, bool earlier, std::uint64_t& generation, std::uint64_t& id) {
    if (r.pending > 0) {
        --r.pending;
        if (earlier || r.slots == 0 || !live_phase(r.phase)) return false;
        --r.slots;
        generation = r.generation;
    } else {
        generation = 0;
    }
    id = add_loop(r, generation, thread);
    return true;
}

std::uint64_t exit_pass_begins(Record& r, const ThreadId& thread) { return add_loop(r, 0, thread); }

void loop_thread_named(Record& r, std::uint64_t id, unsigned long long ident) {
    for (Loop& loop : r.loops) {
        if (loop.id == id) {
            loop.thread.has_ident = true;
            loop.thread.ident = ident;
        }
    }
}

void loop_ends(Record& r, std::uint64_t id) {
    std::erase_if(r.loops, [id](const Loop& loop) { return loop.id == id; });
}

LoopNext loop_next(const Record& r, std::uint64_t generation, bool running) {
    if (generation == 0) return running ? LoopNext::iterate : LoopNext::end;
    if (r.phase == Phase::draining) return LoopNext::last_pass;
    if (!running || generation != r.generation || !live_phase(r.phase)) return LoopNext::end;
    for (const Loop& loop : r.loops)
        if (loop.generation != 0 && loop.generation < generation) return LoopNext::hold_back;
    return LoopNext::iterate;
}

Ref future_done(Record& r, std::uint64_t generation, bool cancelled) {
    if (cancelled) {
        if (r.pending > 0) --r.pending;
        if (generation == r.generation && r.slots > 0) --r.slots;
    }
    auto it = std::find_if(r.generations.begin(), r.generations.end(),
                           [generation](const Generation& g) { return g.number == generation; });
    if (it == r.generations.end() || --it->unfinished > 0) return Ref();
    Ref pool = std::move(it->pool);
    r.generations.erase(it);
    return pool;
}

bool exit_begins(Record& r) {
    const bool live = live_phase(r.phase) || r.phase == Phase::starting_stop;
    r.phase = Phase::draining;
    r.slots = 0;
    return live;
}

void exit_ends(Record& r) { r.phase = Phase::closed; }

std::vector<Ref> fork_child(Record& r) {
    r.phase = Phase::resetting;
    r.starter = ThreadId{};
    r.slots = r.pending = 0;
    r.loops.clear();
    std::vector<Ref> pools;
    for (Generation& g : r.generations) pools.push_back(std::move(g.pool));
    r.generations.clear();
    return pools;
}

void fork_reset_ends(Record& r) {
    if (r.phase == Phase::resetting) r.phase = Phase::idle;
}

bool is_own_loop(const Record& r, const ThreadId& me) {
    return std::any_of(r.loops.begin(), r.loops.end(), [&](const Loop& loop) { return loop.thread.same_as(me); });
}

bool start_in_progress(const Record& r) { return r.phase == Phase::starting || r.phase == Phase::starting_stop; }

bool is_starting_on(const Record& r, const ThreadId& me) { return start_in_progress(r) && r.starter.same_as(me); }

bool is_resetting(const Record& r) { return r.phase == Phase::resetting; }

bool loops_up_to(const Record& r, std::uint64_t upto) {
    for (const Loop& loop : r.loops)
        if (loop.generation <= upto) return true;
    for (const Generation& g : r.generations)
        if (g.number <= upto && g.unfinished > 0) return true;
    return false;
}

std::vector<Ref> pools_up_to(const Record& r, std::uint64_t upto) {
    std::vector<Ref> pools;
    for (const Generation& g : r.generations)
        if (g.number <= upto && g.unfinished > 0 && g.pool) pools.push_back(g.pool.copy());
    return pools;
}

std::vector<Ref> earlier_pools(const Record& r) {
    return r.generation > 0 ? pools_up_to(r, r.generation - 1) : std::vector<Ref>{};
}

std::uint64_t queued_in_draining(const Record& r) { return r.queued_in_draining; }

bool can_drain(const Record& r) {
    switch (r.phase) {
    case Phase::starting:
    case Phase::starting_stop:
    case Phase::draining:
        return true;
    case Phase::running:
        return r.slots > 0 || !r.loops.empty();
    default:
        return !r.loops.empty();
    }
}

}  // namespace vantor::executors
