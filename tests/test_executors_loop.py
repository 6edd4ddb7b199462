"""The worker loop `_batch`, driven on the test thread with a fake clock, sleep,
thread id and logger, so every iteration is deterministic."""
import queue

import pytest

from executor_helpers import Collector
from vantor.common.executors import Task

START = "[4242] queue loop start."


def end(n, ident=4242):
    return f"[{ident}] queue loop end. get {n} tasks"


T = [f"t{i}" for i in range(1, 8)]  # the loop never looks inside what it takes


class HookQueue(queue.Queue):
    """A queue that calls `after_get(n)` after its n-th successful get_nowait, and whose
    empty() can be made to answer False a number of times regardless of its content."""

    def __init__(self, after_get=None, lie=0):
        super().__init__()
        self.after_get, self.lie, self.gets = after_get, lie, 0

    def empty(self):
        if self.lie:
            self.lie -= 1
            return False
        return super().empty()

    def get_nowait(self):
        item = super().get_nowait()
        self.gets += 1
        if self.after_get:
            self.after_get(self.gets)
        return item


@pytest.mark.parametrize("batch_size, expected", [
    (3, [T[0:3], T[3:6], T[6:7]]),
    (7, [T]),
    (1, [[t] for t in T]),
    (0, [T]),
    (-5, [T]),
    (10, [T]),
])
def test_batching(fakes, batch_size, expected):
    seen = []
    ex = Collector(batch_size=batch_size, hook=lambda ex, tasks: seen.append(fakes._state()))
    assert fakes.drive(ex, T) is None
    # the lists handed to run are distinct, plain and never touched again by the loop
    assert ex.batches == expected
    assert all(type(b) is list for b in ex.batches)
    assert len({id(b) for b in ex.batches}) == len(ex.batches)
    assert fakes.texts() == [START, end(7)]
    assert seen == [(1, False)] * len(expected)
    assert ex._num_running_threads == 0 and ex._queue.empty()


def test_idle_iteration(fakes):
    ex = Collector(duration=0.25)
    ex._num_running_threads = 2  # two other worker loops are inside an iteration
    assert fakes.drive(ex) is None
    # counted in between the two texts, counted out before the sleep, lock never held
    assert fakes.events == [
        ("debug", START, 2, False),
        ("debug", end(0), 3, False),
        ("sleep", 0.25, 2, False),
    ]
    assert ex.batches == []


@pytest.mark.parametrize("duration, clock, sleeps", [
    (0.25, [8.0, 8.125, 9.0, 9.5], [0.125]),          # the overrun iteration is not made up for
    (0.25, [8.0, 8.25, 8.25, 8.375], [0.125]),        # exactly duration: no sleep
    (0.0, [8.0, 8.0, 8.0, 8.0], []),
    (-1.0, [8.0, 8.0, 8.0, 8.0], []),
])
def test_pacing(fakes, duration, clock, sleeps):
    fakes.clock = clock
    ex = Collector(duration=duration)
    fakes.drive(ex, iterations=2)
    assert [e[1] for e in fakes.events if e[0] == "sleep"] == sleeps
    assert fakes.texts() == [START, end(0)] * 2


def test_each_iteration_fetches_the_thread_id_and_takes_new_tasks(fakes):
    fakes.idents = iter([101, 102])
    ex = Collector()
    fakes.on_sleep = lambda: ex._queue.put("late")
    fakes.drive(ex, ["early"], iterations=2)
    assert ex.batches == [["early"], ["late"]]
    assert fakes.texts() == ["[101] queue loop start.", end(1, 101),
                             "[102] queue loop start.", end(1, 102)]


def test_exception_from_run_is_logged_and_later_batches_delivered(fakes):
    def fail_first(ex, tasks):
        if len(ex.batches) == 1:
            raise ValueError("bad batch")

    ex = Collector(batch_size=3, hook=fail_first)
    assert fakes.drive(ex, T) is None
    assert [e for e in fakes.events if e[0] == "exception"] == [("exception", ("",), {}, ValueError)]
    assert ex.batches == [T[0:3], T[3:6], T[6:7]]
    assert fakes.texts() == [START, end(7)]
    assert ex._num_running_threads == 0


@pytest.mark.parametrize("batch_size, at_get, new_size, expected", [
    (5, 3, 2, [T]),                   # lowered below the collected length: never equal again
    (0, 2, 4, [T[0:4], T[4:7]]),      # raised: read after every task taken
])
def test_batch_size_changed_mid_iteration(fakes, batch_size, at_get, new_size, expected):
    ex = Collector(batch_size=batch_size)

    def after_get(n):
        if n == at_get:
            ex.batch_size = new_size

    ex._queue = HookQueue(after_get)
    fakes.drive(ex, T)
    assert ex.batches == expected and fakes.texts() == [START, end(7)]


def test_tasks_added_by_run(fakes):
    def add_one(ex, tasks):
        ex.add_task(f"added{len(ex.batches)}")

    ex = Collector(batch_size=2, hook=add_one)
    fakes.drive(ex, ["t1", "t2"])
    # taken after a full batch, left for the next iteration after the last hand-off
    assert ex.batches == [["t1", "t2"], [Task(("added1",), {})]]
    assert fakes.texts() == [START, end(3)]
    assert ex._queue.get_nowait() == Task(("added2",), {}) and ex._queue.empty()


def test_cleared_flag_does_not_stop_collecting(fakes):
    def keep_feeding(ex, tasks):
        if len(ex.batches) == 1:
            ex._is_running = False
            ex._queue.put("t2")

    ex = Collector(batch_size=1, hook=keep_feeding)
    fakes.drive(ex, ["t1"], iterations=99)
    assert ex.batches == [["t1"], ["t2"]]
    assert fakes.texts() == [START, end(2)]
    assert [e[0] for e in fakes.events].count("sleep") == 1


def test_empty_after_a_false_empty_test_is_absorbed(fakes):
    # another worker loop took the last task between empty() and get_nowait()
    ex = Collector()
    ex._queue = HookQueue(lie=1)
    assert fakes.drive(ex) is None
    assert ex.batches == [] and fakes.texts() == [START, end(0)]
    assert not [e for e in fakes.events if e[0] == "exception"]


class BadSize:
    def __eq__(self, other):
        raise ArithmeticError("cannot compare")


def _raises(exc):
    def hook(*args):
        raise exc
    return hook


FAILURES = {
    "run raises KeyboardInterrupt": (lambda f, ex: setattr(ex, "hook", _raises(KeyboardInterrupt())),
                                     KeyboardInterrupt),
    "end text fails": (lambda f, ex: setattr(f, "fail_on_end", OSError("log full")), OSError),
    "exception record fails": (
        lambda f, ex: (setattr(ex, "hook", _raises(ValueError())),
                       setattr(f, "exception", _raises(LookupError()))), LookupError),
    "queue fails": (lambda f, ex: setattr(ex, "_queue", HookQueue(_raises(RuntimeError()))),
                    RuntimeError),
    "batch_size comparison fails": (lambda f, ex: setattr(ex, "batch_size", BadSize()), ArithmeticError),
}


@pytest.mark.parametrize("failure", list(FAILURES))
def test_failure_ends_the_loop_without_leaving_it_counted(fakes, failure):
    arrange, exc = FAILURES[failure]
    ex = Collector()
    arrange(fakes, ex)
    with pytest.raises(exc):
        fakes.drive(ex, ["t1"], iterations=99)
    # a dying worker must not wedge wait_until_empty or the other workers
    assert ex._num_running_threads == 0
    assert not ex._lock.locked()
    if failure.startswith("run"):
        assert fakes.texts() == [START]  # nothing logged for it
        assert not [e for e in fakes.events if e[0] == "exception"]
