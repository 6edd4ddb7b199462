"""The executor with real pool threads: intake, draining, shutdown and restart,
failed starts, dead workers, and the races between starting and stopping.
Every blocking call is bounded, so a hang fails its test instead of the run."""
import concurrent.futures
import functools
import threading
import time

import pytest

import vantor.common.executors as vex
from executor_helpers import LIMIT, Collector, bounded, join_all, run_threads
from vantor.common.executors import Task


@pytest.fixture
def pools(monkeypatch):
    """Every pool the executor module creates, each recording how it was made and used;
    `made.on_submit(pool)`, when set, runs before each submit."""

    class Made(list):
        on_submit = None

    made = Made()

    class CountingPool(concurrent.futures.ThreadPoolExecutor):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self.made_with, self.submitted = (args, kwargs), []
            self.shutting = threading.Event()
            made.append(self)

        def submit(self, fn, *args, **kwargs):
            if made.on_submit:
                made.on_submit(self)
            self.submitted.append(fn)
            return super().submit(fn, *args, **kwargs)

        def shutdown(self, *args, **kwargs):
            self.shutting.set()
            return super().shutdown(*args, **kwargs)

    monkeypatch.setattr(vex, "ThreadPoolExecutor", CountingPool)
    return made


def task(*args, **kwargs):
    return Task(args, kwargs)


def test_every_task_reaches_run_exactly_once(make):
    # four producers against three workers cutting batches of four
    finished = []

    def slow_run(ex, tasks):
        time.sleep(0.001)
        finished.extend(tasks)

    ex = make(num_threads=3, batch_size=4, hook=slow_run)
    start = threading.Barrier(4)

    def produce(p):
        start.wait(LIMIT)
        for i in range(60):
            ex.add_task(p, i, tag=p)

    run_threads(functools.partial(produce, p) for p in range(4))
    assert bounded(ex.wait_until_empty) is None
    # every run call has returned, not just been entered
    expected = sorted(task(p, i, tag=p) for p in range(4) for i in range(60))
    assert sorted(finished) == expected and sorted(ex.taken()) == expected
    assert all(1 <= len(b) <= 4 for b in ex.batches)
    assert ex._queue.empty() and ex._num_running_threads == 0
    pool = ex.executor
    assert bounded(ex.shutdown) is None
    assert ex._is_running is False and ex.executor is pool
    assert sorted(ex.taken()) == expected
    assert bounded(ex.shutdown) is None  # a second shutdown does nothing


def test_concurrent_first_calls_start_once(make, pools):
    # eight callers hit add_task on an idle executor at the same moment
    for round_ in range(10):
        before = len(pools)
        ex = make(num_threads=2)
        gate = threading.Barrier(8)

        def add(i):
            gate.wait(LIMIT)
            ex.add_task(i)

        run_threads(functools.partial(add, i) for i in range(8))
        # one pool, made as documented; the other seven calls only queued
        assert len(pools) == before + 1, f"round {round_}"
        pool = ex.executor
        assert pool is pools[-1] and pool._max_workers == 2
        assert pool.made_with == ((), {"max_workers": 2}) and pool.submitted == [ex._batch] * 2
        bounded(ex.wait_until_empty)
        bounded(ex.shutdown)
        assert sorted(ex.taken()) == [task(i) for i in range(8)]


@pytest.mark.parametrize("waits", [True, False], ids=["pool", "pool whose shutdown does not wait"])
def test_the_written_pool_calls(make, monkeypatch, waits):
    # num_threads submits per start; one pool.shutdown() per shutdown that found the executor
    # running, none for a second one; and shutdown returns once the loops have ended either way
    calls = []

    class Pool(concurrent.futures.ThreadPoolExecutor):
        def submit(self, fn, *args, **kwargs):
            calls.append(("submit", self))
            return super().submit(fn, *args, **kwargs)

        def shutdown(self, wait=True, **kwargs):
            calls.append(("shutdown", self))
            return super().shutdown(wait=wait and waits, **kwargs)

    monkeypatch.setattr(vex, "ThreadPoolExecutor", Pool)
    ex = make(Live, num_threads=3)
    pools = []
    for round_ in range(2):  # a start, then a restart
        ex.add_task(round_)
        pools.append(ex.executor)
        bounded(ex.wait_until_empty)
        bounded(ex.shutdown)
        assert ex.live == 0
        bounded(ex.shutdown)
    assert calls == [c for p in pools for c in [("submit", p)] * 3 + [("shutdown", p)]]
    assert ex.taken() == [task(0), task(1)]


def test_restart_after_shutdown_takes_leftovers_first(make, pools):
    entered, release = threading.Event(), threading.Event()

    def hold_first(ex, tasks):
        if len(ex.batches) == 1:
            entered.set()
            release.wait(LIMIT)

    ex = make(num_threads=1, hook=hold_first)
    ex.add_task("first")
    assert entered.wait(LIMIT)
    ex.add_task("a")  # running: only queued, the worker is past its collecting
    stopper = threading.Thread(target=ex.shutdown)
    stopper.start()
    assert pools[0].shutting.wait(LIMIT)
    # a call during a shutdown in progress only queues: no second pool, no revived flag
    ex.add_task("b")
    assert len(pools) == 1 and ex._is_running is False
    release.set()
    join_all([stopper])
    assert list(ex._queue.queue) == [task("a"), task("b")]
    assert ex.batches == [[task("first")]]

    # stopped with tasks queued: nothing can drain them, so the wait refuses to poll forever
    with pytest.raises(RuntimeError, match="no worker"):
        bounded(ex.wait_until_empty)
    assert bounded(ex.shutdown) is None

    ex.add_task("c")
    assert len(pools) == 2 and ex.executor is pools[1]
    bounded(ex.wait_until_empty)
    bounded(ex.shutdown)
    assert ex.batches == [[task("first")], [task("a"), task("b"), task("c")]]


def test_failed_start_is_retried(make, monkeypatch):
    ex = make(num_threads=0)
    with pytest.raises(ValueError):
        ex.add_task("a")
    assert ex._is_running is False
    assert list(ex._queue.queue) == [task("a")]

    # never started, tasks queued: the wait decides after a second look, not at once
    slept = []
    monkeypatch.setattr(vex, "sleep", slept.append)
    with pytest.raises(RuntimeError, match="no worker"):
        bounded(ex.wait_until_empty)
    assert slept and set(slept) == {0.1}
    monkeypatch.setattr(vex, "sleep", time.sleep)

    ex.num_threads = 1
    assert ex.add_task("b") is None
    assert ex._is_running is True
    bounded(ex.wait_until_empty)
    bounded(ex.shutdown)
    assert ex.taken() == [task("a"), task("b")]


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")  # dying loops report
def test_wait_refuses_when_every_worker_has_died(make):
    died = threading.Event()

    def die_once(ex, tasks):
        if not died.is_set():
            died.set()
            raise KeyboardInterrupt

    ex = make(num_threads=1, hook=die_once)
    ex.add_task("a")
    assert died.wait(LIMIT)
    ex.add_task("b")  # still marked running: only queued, and no worker is left to take it
    with pytest.raises(RuntimeError, match="no worker"):
        bounded(ex.wait_until_empty)
    assert ex._num_running_threads == 0 and not ex._lock.locked()
    bounded(ex.shutdown)
    ex.add_task("c")
    bounded(ex.wait_until_empty)
    bounded(ex.shutdown)
    assert ex.taken() == [task("a"), task("b"), task("c")]


@pytest.mark.parametrize("where", ["inside run", "on a pool thread before its loop"])
def test_shutdown_on_a_worker_thread(make, monkeypatch, where):
    # nothing there may wait for the pool, which would be waiting for this very thread
    outcome, done, started = [], threading.Event(), threading.Event()

    def stop_here(ex):
        if not done.is_set():
            try:
                outcome.append(ex.shutdown())
            except BaseException as e:
                outcome.append(e)
            done.set()

    class Pool(concurrent.futures.ThreadPoolExecutor):
        def submit(self, fn, *args, **kwargs):
            def stop_first():  # runs on the pool thread, ahead of the loop, once the start is over
                started.wait(LIMIT)
                stop_here(ex)
                return fn(*args, **kwargs)
            return super().submit(stop_first)

    if where == "inside run":
        ex = make(num_threads=2, hook=lambda ex, tasks: stop_here(ex))
    else:
        monkeypatch.setattr(vex, "ThreadPoolExecutor", Pool)
        ex = make(num_threads=1)
    ex.add_task("a")
    started.set()
    assert done.wait(LIMIT), f"shutdown {where} deadlocked"
    assert outcome == [None] and ex._is_running is False
    # both worker loops end after their current iteration, so the pool can be joined
    bounded(ex.executor.shutdown)
    assert ex.taken() == ([task("a")] if where == "inside run" else [])


class Live(Collector):
    """Counts the worker loops that are alive."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.live = 0

    def _batch(self):
        with self.record_lock:
            self.live += 1
        try:
            return super()._batch()
        finally:
            with self.record_lock:
                self.live -= 1


def test_shutdown_racing_add_task(make):
    # producers keep restarting the executor while two threads keep stopping it
    ex = make(Live, num_threads=2, batch_size=5, duration=0.005)
    added = [(p, i) for p in range(4) for i in range(150)]

    def produce(p):
        for i in range(150):
            ex.add_task(p, i)
            if i % 25 == 0:
                time.sleep(0.001)

    def stop():
        for _ in range(10):
            ex.shutdown()
            time.sleep(0.003)

    run_threads([functools.partial(produce, p) for p in range(4)] + [stop, stop])
    bounded(ex.shutdown)
    # no worker loop outlives the last shutdown, and no task is lost or run twice
    assert ex.live == 0
    taken = [t.args for t in ex.taken()]
    left = [t.args for t in ex._queue.queue]
    assert len(taken) == len(set(taken))
    assert sorted(taken + left) == sorted(added)


def test_shutdown_arriving_during_a_start(make, pools):
    # a shutdown that begins while add_task is still submitting is left for the start to honour:
    # the caller of add_task sees no error and no worker loop is left behind
    ex = make(Live, num_threads=2)
    stoppers = []

    def shutdown_midway(pool):
        if not stoppers:
            stoppers.append(threading.Thread(target=ex.shutdown))
            stoppers[0].start()
            stoppers[0].join(LIMIT)  # the shutdown does not wait for the start

    pools.on_submit = shutdown_midway
    assert ex.add_task("a") is None
    join_all(stoppers)
    bounded(ex.shutdown)
    assert ex.live == 0
    assert ex.taken() + list(ex._queue.queue) == [task("a")]


def test_a_late_loop_of_an_earlier_start_takes_no_place(make, monkeypatch):
    # the first start is stopped as it ends, its loop still waiting in its pool; a restart comes;
    # then that late loop begins: it ends at once, so a shutdown waiting for the first start's
    # loops returns, and the restart's own loop takes the tasks
    gates = [threading.Event(), threading.Event()]
    began = threading.Event()

    class Held(concurrent.futures.ThreadPoolExecutor):
        def submit(self, fn, *args, **kwargs):
            gate = gates[len(made)]
            made.append(self)

            def held():
                gate.wait(LIMIT)
                began.set()
                return fn(*args, **kwargs)
            future = super().submit(held)
            if len(made) == 1:  # a shutdown during the first start: recorded, carried out as it ends
                stopper = threading.Thread(target=ex.shutdown)
                stopper.start()
                stopper.join(LIMIT)
            return future

    made = []
    monkeypatch.setattr(vex, "ThreadPoolExecutor", Held)
    ex = make(Live, num_threads=1)
    ex.add_task(1)
    assert ex._is_running is False
    waiter = threading.Thread(target=ex.shutdown)  # waits for the first start's loop
    waiter.start()
    ex.add_task(2)  # the restart
    gates[0].set()  # the first start's loop begins, late
    assert began.wait(LIMIT)
    waiter.join(LIMIT)
    assert not waiter.is_alive(), "the shutdown waited for a loop that runs as the restart's"
    gates[1].set()
    bounded(ex.wait_until_empty)
    bounded(ex.shutdown)
    assert ex.live == 0 and ex.taken() == [task(1), task(2)]

