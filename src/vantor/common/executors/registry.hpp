// What the module knows of each executor beyond its instance attributes (which stay exactly the
// documented ones): the worker loops it has in flight, starts and stops in progress, and requests
// that Python code running in the middle of one of our calls (a signal handler, a finalizer) leaves
// for that call to honour, instead of waiting for it.
#pragma once

#include "support/ref.hpp"

#include <cstdint>
#include <unordered_map>
#include <vector>

namespace vantor::executors {

using support::Ref;

// One executor's record. It is keyed by the executor's address and knows the executor only through
// a weak reference, so a record left by a freed executor is recognised when another one takes that
// address. A record is dropped only once its executor is gone: whoever holds an executor may keep
// a reference to its record across Python code. Every field is guarded by the GIL.
struct Record {
    Ref weakref;  // to the executor

    // Starts so far, and the last one whose loops were told to stop: a loop carries the
    // generation that submitted it and ends once that generation is stopped, whatever starts
    // came after. A start stops every earlier generation.
    std::uint64_t generation = 0;
    std::uint64_t stopped = 0;

    int in_flight = 0;  // submitted loops that have not ended (pending or inside _batch)
    int pending = 0;    // of those, the ones not yet inside _batch
    int live = 0;       // loops inside _batch, direct calls included
    Ref pool;           // the pool that runs the loops in flight

    // A start whose loops wait for the loops of an earlier start to end: the last of those submits
    // them, so that the loops of two starts never overlap.
    bool start_deferred = false;
    unsigned long starting_thread = 0;  // the thread inside a start, 0 if none
    bool stop_requested = false;        // a shutdown came in during the start, which honours it
    int stopping = 0;                   // shutdown calls in progress

    bool final_drain = false;  // interpreter exit: each loop takes everything once more, then ends

    // The thread that holds _lock through one of our own acquires, and how deeply: a call made on
    // that thread by code that interrupted the holder goes on without waiting for itself.
    unsigned long lock_owner = 0;
    int lock_depth = 0;
};

class Registry {
public:
    // The record of `executor`, made on first use (new records may run Python code: the weak
    // reference is allocated first, then inserted without running any).
    Record& of(PyObject* executor);
    // The record of `executor`, or nullptr when it has none.
    Record* find(PyObject* executor);

    // New references to every executor that still lives, for the fork and exit hooks.
    template <class F>
    void for_each_live(F&& f);

    // After a fork, in the child: no loop, start or stop of the parent goes on here.
    void forget_threads();

private:
    bool is_record_of(const Record& r, PyObject* executor) const;
    void sweep();

    std::unordered_map<PyObject*, Record> records_;
    std::size_t sweep_at_ = 64;
};

// A new reference to the object behind a weak reference, or an empty Ref when it is gone.
Ref weakref_target(PyObject* weakref);

template <class F>
void Registry::for_each_live(F&& f) {
    // Taken out first: the callback runs Python code, which may add records.
    std::vector<Ref> live;
    live.reserve(records_.size());
    for (auto& [address, record] : records_) {
        Ref target = weakref_target(record.weakref.get());
        if (target && target.get() == address) live.push_back(std::move(target));
    }
    for (Ref& executor : live) f(executor.get());
}

}  // namespace vantor::executors
