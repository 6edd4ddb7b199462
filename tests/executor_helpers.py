"""Shared pieces of the executor tests: a recording executor, fakes that drive the worker
loop deterministically, and bounded waits, so that a hang in the code under test fails a
test instead of the whole run."""
import itertools
import sys
import threading

import vantor.common.executors as vex
from vantor.common.executors import DelayedBatchExecutor

LIMIT = 30.0  # generous: these bounds catch hangs, they never measure speed


class Collector(DelayedBatchExecutor):
    """Records every batch it is handed; `hook(self, tasks)` runs after the record."""

    def __init__(self, *args, hook=None, **kwargs):
        super().__init__(*args, **kwargs)
        self.batches = []
        self.hook = hook
        self.record_lock = threading.Lock()

    def run(self, tasks):
        with self.record_lock:
            self.batches.append(tasks)
        if self.hook is not None:
            self.hook(self, tasks)

    def taken(self):
        with self.record_lock:
            return [t for batch in self.batches for t in batch]


def bounded(fn, *args, timeout=LIMIT):
    """Call fn on a helper thread; fail if it has not returned within `timeout`."""
    outcome = {}

    def target():
        try:
            outcome["value"] = fn(*args)
        except BaseException as e:  # handed back to the test thread below
            outcome["error"] = e

    t = threading.Thread(target=target, daemon=True)
    t.start()
    t.join(timeout)
    assert not t.is_alive(), f"{getattr(fn, '__name__', fn)} did not return"
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]


def run_threads(callables, timeout=LIMIT):
    """Run each callable on its own thread, wait for all, and fail on any error they raised."""
    errors = []

    def guard(c):
        try:
            c()
        except BaseException as e:
            errors.append(e)

    threads = [threading.Thread(target=guard, args=(c,)) for c in callables]
    for t in threads:
        t.start()
    join_all(threads, timeout)
    assert not errors, errors


def join_all(threads, timeout=LIMIT):
    for t in threads:
        t.join(timeout)
    assert not any(t.is_alive() for t in threads), "a thread never finished"


def executor_maker(default_cls, default_duration):
    """A factory of executors for a fixture, and the clean-up that stops every one it made:
    pool threads that never end would block the interpreter's exit."""
    made = []

    def make(cls=None, **kwargs):
        kwargs.setdefault("duration", default_duration)
        ex = (cls or default_cls)(**kwargs)
        made.append(ex)
        return ex

    def stop_all():
        for ex in made:
            ex._is_running = False
            if hasattr(ex, "executor"):
                ex.executor.shutdown(wait=False)

    return make, stop_all


class Fakes:
    """Module globals for the loop. Records debug texts, exception records and sleeps,
    each with the counter and lock state seen at that moment, and stops the loop after
    `iterations` end texts by clearing `_is_running`."""

    def __init__(self):
        self.ex = None
        self.iterations = 1
        self.ends = 0
        self.events = []
        self.clock = [1000.0]  # values handed out by time(); the last one repeats
        self.idents = itertools.repeat(4242)
        self.on_sleep = None
        self.fail_on_end = None

    def _state(self):
        return self.ex._num_running_threads, self.ex._lock.locked()

    def time(self):
        return self.clock.pop(0) if len(self.clock) > 1 else self.clock[0]

    def get_ident(self):
        return next(self.idents)

    def sleep(self, seconds):
        self.events.append(("sleep", seconds) + self._state())
        if self.on_sleep:
            self.on_sleep()

    def debug(self, text):
        self.events.append(("debug", text) + self._state())
        if " queue loop end. " in text:
            if self.fail_on_end:
                raise self.fail_on_end
            self.ends += 1
            if self.ends >= self.iterations:
                self.ex._is_running = False

    def exception(self, *args, **kwargs):
        self.events.append(("exception", args, kwargs, sys.exc_info()[0]))

    def texts(self):
        return [e[1] for e in self.events if e[0] == "debug"]

    def drive(self, ex, tasks=(), iterations=1):
        self.ex, self.iterations = ex, iterations
        for t in tasks:
            ex._queue.put(t)
        ex._is_running = True
        return ex._batch()


def install_fakes(monkeypatch):
    """Binds a new Fakes' clock, sleep, thread id and logger as the module globals."""
    f = Fakes()
    for name in ("time", "sleep", "get_ident"):
        monkeypatch.setattr(vex, name, getattr(f, name))
    monkeypatch.setattr(vex, "logger", f)
    return f
