"""Shared pieces of the executor tests: a recording executor and bounded waits,
so that a hang in the code under test fails a test instead of the whole run."""
import threading

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
