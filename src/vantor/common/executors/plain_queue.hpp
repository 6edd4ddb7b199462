// The queue's own steps, done in place on a plain queue.Queue.
//
// A producer and a worker loop that both call queue.Queue's Python methods hold its mutex while
// running Python code, so the interpreter often switches threads with the mutex held; the other
// thread then blocks on it, the mutex passes to it while it waits for the interpreter, and from
// then on the two threads trade the mutex and the interpreter on every task, a context switch
// each time. On a plain queue (the standard class, with its standard methods and parts, which is
// what the constructor makes) we do what put (waking a waiter as notify() does), empty and
// get_nowait do, in the same order, under the same mutex, but without running any Python code
// while it is held: no other thread can observe the difference, the mutex is never held across a
// thread switch, and no signal handler or finalizer runs on a thread that holds it. Anything else,
// including a queue or condition with a method replaced, gets the ordinary method calls.
#pragma once

#include "state.hpp"

namespace vantor::executors {

// Takes the classes and methods that make a queue plain from the standard modules.
void capture_plain_queue(State* st);

// queue.put(item) in place. False, with nothing done, when the queue is not plain or the put
// may have to wait for room: the caller then makes the ordinary call.
bool put_in_place(State* st, PyObject* queue, PyObject* item);

// The deque of a plain queue (a new reference), else an empty Ref. Runs no Python code.
Ref plain_queue_items(State* st, PyObject* queue);
// The number of tasks in self._queue when it is a plain queue held as a plain instance attribute,
// read without the mutex and without running Python code (for a forked child, where no other
// thread exists); -1 otherwise.
Py_ssize_t plain_queue_length(State* st, PyObject* self);

// self._queue.empty(): in place on a plain queue, so that its mutex is never held while Python code
// (a signal handler's add_task, say) runs on this thread; else the ordinary call.
bool queue_empty(State* st, PyObject* self);

enum class Take {
    queue_empty,  // empty() would have returned True: collecting is over
    batch_full,   // the batch reached batch_size: hand it off
    more,         // took the most one hold of the mutex allows: go on
    not_plain,    // nothing was taken: make the ordinary calls for the next task
};

// The collecting steps in place: while the queue is not empty, take a task, count it, append it
// to `tasks` and compare the batch's length with self.batch_size, until one of the outcomes.
// `queue` is the value just read from self._queue.
Take take_in_place(State* st, PyObject* self, PyObject* queue, PyObject* tasks, Py_ssize_t& count);

}  // namespace vantor::executors
