"""The executor's queue.Queue as its own methods would leave it: add_task and the worker loop
take the standard queue's steps in place, and must keep its books, wake its waiters, respect a
bound and a shut-down, and give way to any replaced method or part."""
import fractions
import gc
import queue
import subprocess
import sys
import threading
import time

import pytest

from executor_helpers import LIMIT, Collector, bounded
from vantor.common.executors import Task


def queued_only(**kwargs):
    ex = Collector(**kwargs)
    ex._is_running = True  # add_task only queues
    return ex


def test_add_task_keeps_the_queue_books():
    ex = queued_only()
    for i in range(5):
        ex.add_task(i, k=i)
    q = ex._queue
    assert q.qsize() == 5 and q.unfinished_tasks == 5
    assert list(q.queue) == [Task((i,), {"k": i}) for i in range(5)]
    # made as Task(...) makes them: of the type, tracked, and as unhashable as their kwargs
    for task in q.queue:
        assert type(task) is Task and gc.is_tracked(task)
        with pytest.raises(TypeError, match="unhashable"):
            hash(task)
    for _ in range(5):
        q.get_nowait()
        q.task_done()
    bounded(q.join)


@pytest.mark.parametrize("hook, new_dict", [(False, False), (True, False), (False, True)],
                         ids=["", "with a hook adding a task at every Python call",
                              "after the condition got a new __dict__"])
def test_add_task_wakes_a_thread_waiting_in_get(hook, new_dict):
    # the waiter is woken in place: no Python code runs under the queue's mutex, where a signal
    # handler's add_task would wait for the mutex its own thread holds; and it is woken where it
    # waits, also once the condition's parts have been replaced (the old ones kept alive)
    ex = queued_only()
    ex.add_task("first")
    assert ex._queue.get_nowait() == Task(("first",), {})
    if new_dict:
        kept = ex._queue.not_empty.__dict__
        ex._queue.not_empty.__dict__ = threading.Condition(ex._queue.mutex).__dict__
    got = []
    waiter = threading.Thread(target=lambda: got.append(ex._queue.get()), daemon=True)  # no timeout
    waiter.start()
    deadline = time.monotonic() + LIMIT
    while not ex._queue.not_empty._waiters and time.monotonic() < deadline:
        time.sleep(0.001)

    def add():
        if hook:
            sys.setprofile(lambda frame, event, arg: event == "call" and ex.add_task("from the hook"))
        try:
            ex.add_task("wake")
        finally:
            sys.setprofile(None)

    bounded(add)
    waiter.join(LIMIT)
    assert not waiter.is_alive(), "the waiter was never woken"
    # (a finalizer may run elsewhere in the call, and the hook add its task first)
    assert got in ([Task(("wake",), {})], [Task(("from the hook",), {})])


def test_add_task_waits_for_room_in_a_bounded_queue():
    ex = queued_only()
    ex._queue.maxsize = 1
    ex._queue.put("occupant")
    adder = threading.Thread(target=ex.add_task, args=("next",))
    adder.start()
    adder.join(0.2)
    assert adder.is_alive()  # waits in put() as the queue's own put does
    assert ex._queue.get(timeout=LIMIT) == "occupant"
    adder.join(LIMIT)
    assert list(ex._queue.queue) == [Task(("next",), {})]


def test_worker_wakes_producers_waiting_for_room(make):
    ex = make(num_threads=1, batch_size=3)
    ex._queue.maxsize = 2
    bounded(lambda: [ex.add_task(i) for i in range(40)])
    bounded(ex.wait_until_empty)
    assert [t.args[0] for t in ex.taken()] == list(range(40))


@pytest.mark.skipif(not hasattr(queue, "ShutDown"), reason="queues can be shut down from 3.13 on")
def test_add_task_to_a_shut_down_queue_raises():
    ex = queued_only()
    ex._queue.shutdown()
    with pytest.raises(queue.ShutDown):
        ex.add_task(1)
    assert ex._queue.unfinished_tasks == 0


def spy(calls, name, original):
    def replacement(*args, **kwargs):
        calls.append(name)
        return original(*args, **kwargs)
    return replacement


# Replacing any of these on the class must be honoured by add_task (put and what it calls).
@pytest.mark.parametrize("owner, name", [
    (queue.Queue, "put"), (queue.Queue, "_put"), (threading.Condition, "notify"),
])
def test_replaced_put_steps_are_called(monkeypatch, owner, name):
    calls = []
    monkeypatch.setattr(owner, name, spy(calls, name, getattr(owner, name)))
    ex = queued_only()
    ex.add_task(1)
    assert name in calls and list(ex._queue.queue) == [Task((1,), {})]


def test_put_replaced_on_the_instance_is_called():
    ex = queued_only()
    calls = []
    ex._queue.put = spy(calls, "put", ex._queue.put)
    ex.add_task(1)
    assert calls == ["put"] and ex._queue.qsize() == 1


class CountingQueue(queue.Queue):
    def put(self, item, *args, **kwargs):
        self.calls.append("put")
        return super().put(item, *args, **kwargs)


@pytest.mark.parametrize("part", ["queue", "put", "class"])
def test_parts_replaced_after_first_use_are_followed(part):
    # what add_task found on its first call is not trusted once the queue changed
    ex = queued_only()
    ex.add_task(0)
    q, calls = ex._queue, []
    if part == "queue":
        kept = q.queue  # alive, so that a stale deque would go unnoticed
        q.queue = type(kept)()
    elif part == "put":
        q.put = spy(calls, "put", q.put)
    else:
        CountingQueue.calls = calls  # nothing of the queue itself is touched but its class
        q.__class__ = CountingQueue
    ex.add_task(1)
    assert list(q.queue)[-1] == Task((1,), {}) and calls == ([] if part == "queue" else ["put"])


# The worker loop must call each of these when it has been replaced (on the class or the
# instance) and still deliver every task in order.
@pytest.mark.parametrize("where", ["class", "instance"])
@pytest.mark.parametrize("owner, name", [
    (queue.Queue, "empty"), (queue.Queue, "get_nowait"), (queue.Queue, "get"),
    (queue.Queue, "_get"), (queue.Queue, "_qsize"), (threading.Condition, "notify"),
])
def test_replaced_take_steps_are_called(fakes, monkeypatch, where, owner, name):
    ex = Collector(batch_size=2)
    for t in ["a", "b", "c"]:
        ex._queue.put(t)  # before the spy: only the worker loop's calls count
    calls = []
    if where == "class":
        monkeypatch.setattr(owner, name, spy(calls, name, getattr(owner, name)))
    else:
        target = ex._queue if owner is queue.Queue else ex._queue.not_full
        setattr(target, name, spy(calls, name, getattr(target, name)))
    fakes.drive(ex)
    assert name in calls
    assert ex.batches == [["a", "b"], ["c"]]


@pytest.mark.parametrize("kind, expected", [
    (queue.LifoQueue, ["c", "b", "a"]),
    (queue.PriorityQueue, ["a", "b", "c"]),
])
def test_queue_subclasses_keep_their_order(fakes, kind, expected):
    ex = Collector(batch_size=10)
    ex._queue = kind()
    fakes.drive(ex, ["b", "c", "a"] if kind is queue.PriorityQueue else ["a", "b", "c"])
    assert ex.batches == [expected]


class PropertyBatch(Collector):
    reads = 0

    @property
    def batch_size(self):
        type(self).reads += 1
        return 2

    @batch_size.setter
    def batch_size(self, value):
        pass


# batch_size is compared with the interpreter's ==, after every task taken.
@pytest.mark.parametrize("batch_size, sizes", [
    (3.0, [3, 3, 1]),
    (True, [1] * 7),
    (fractions.Fraction(3), [3, 3, 1]),
    (2 ** 70, [7]),
    (-(2 ** 70), [7]),
])
def test_batch_size_of_any_kind(fakes, batch_size, sizes):
    ex = Collector(batch_size=batch_size)
    ex.batch_size = batch_size  # kept as given, not converted
    fakes.drive(ex, list(range(7)))
    assert [len(b) for b in ex.batches] == sizes
    assert [t for b in ex.batches for t in b] == list(range(7))


def test_batch_size_property_is_read_after_every_task(fakes):
    PropertyBatch.reads = 0
    ex = PropertyBatch()
    fakes.drive(ex, list(range(5)))
    assert [len(b) for b in ex.batches] == [2, 2, 1]
    assert PropertyBatch.reads == 5


def test_a_long_drain_takes_everything_in_order(fakes):
    ex = Collector(batch_size=0)
    n = 5000  # more than one hold of the queue's mutex takes
    fakes.drive(ex, range(n))
    assert ex.batches == [list(range(n))]
    assert fakes.texts()[-1] == f"[4242] queue loop end. get {n} tasks"


@pytest.mark.parametrize("version, in_place", [(None, True), ((3, 99, 0, "final", 0), False)],
                         ids=["this interpreter", "an interpreter whose queue was not checked"])
def test_in_place_steps_only_where_the_queue_was_checked(version, in_place):
    # the queue's own steps are done in place only on the versions whose queue.Queue was read
    # against them; on any other the executor makes the ordinary calls, put and get_nowait
    probe = f"""
import sys
if {version!r} is not None:
    sys.version_info = {version!r}
from vantor.common.executors import DelayedBatchExecutor
class Ex(DelayedBatchExecutor):
    def run(self, tasks):
        self._is_running = False  # one iteration
ex = Ex(duration=0)
called = set()
sys.setprofile(lambda frame, event, arg: event == "call" and called.add(frame.f_code.co_name))
ex._is_running = True
ex.add_task(1)
ex._batch()
sys.setprofile(None)
print(sorted(called & {{"put", "get_nowait", "empty"}}))
"""
    out = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, timeout=LIMIT)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == ("[]" if in_place else "['empty', 'get_nowait', 'put']")
