"""The machinery of the injection harness (test_injection.py), importable without pytest so that
the exit case can run it in a process of its own.

An Injector counts the points where Python code can run on one thread while an operation runs:
every call of a module global of the executors (before and after it), and every event of the
Python code that runs there (sys.settrace with opcode events). Given a target, it runs an action
at that point, as a signal handler or a finalizer would: shutdown(), add_task() or a bounded
wait_until_empty(). The action "interrupt" counts only the calls of the module globals (before and
after each) and raises KeyboardInterrupt at its target, as a global that is Python code (gevent's
get_ident, say) raises when Ctrl-C lands in it."""
import _thread
import concurrent.futures
import os
import sys
import threading
import time

import vantor.common.executors as vex

HERE = os.path.abspath(__file__)
CASES = os.path.join(os.path.dirname(HERE), "test_injection.py")
SKIPPED = set()  # code objects of the harness's own functions: never points (Probe.run is one)
BOUND = 20.0         # seconds a run may take; beyond it the run has hung
WAIT_POLLS = 4000    # polls an injected wait_until_empty may make (each sleep is made 1 ms)
REAL_SLEEP = time.sleep


class Probe(vex.DelayedBatchExecutor):
    """Records the first argument of every task handed to run, and counts its loops."""

    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        self.ran, self.ran_lock = [], threading.Lock()
        self.live = 0

    def run(self, tasks):
        with self.ran_lock:
            self.ran.extend(task.args[0] for task in tasks)

    def _batch(self):
        with self.ran_lock:
            self.live += 1
        try:
            return super()._batch()
        finally:
            with self.ran_lock:
                self.live -= 1


def pool_class(made, waits):
    """A pool that records its submits and shutdowns in `made`; with `waits` False its shutdown
    never waits, as stand-ins in tests commonly do."""

    class Pool(concurrent.futures.ThreadPoolExecutor):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self.submits = self.shutdowns = 0
            made.append(self)

        def submit(self, fn, *args, **kwargs):
            self.submits += 1
            return super().submit(fn, *args, **kwargs)

        def shutdown(self, wait=True, **kwargs):
            self.shutdowns += 1
            return super().shutdown(wait=wait and waits, **kwargs)

    return Pool


class Injector:
    def __init__(self, target=None, action=None):
        self.target, self.action = target, action
        self.count = 0
        self.calls = 0       # the points that are calls of module globals
        self.thread = None   # the thread whose points count
        self.pid = None      # count only in another process than this (the fork case)
        self.busy = False    # an action runs: its own points do not count
        self.ex = None
        self.added = []      # what the actions added
        self.outcome = None  # what the action returned or raised
        self.waits = 0       # polls of an injected wait_until_empty
        self.hook = None     # hook(name), called first by every wrapped global, on every thread
        self.on_loop_thread = False  # the counted thread is a worker loop's

    def counts_here(self):
        return (not self.busy and self.thread == _thread.get_ident()
                and (self.pid is None or os.getpid() != self.pid))

    def point(self, call=False):
        if not self.counts_here():
            return
        self.count += 1
        self.calls += call
        if self.action == "interrupt":
            if call and self.calls == self.target:
                self.outcome = "interrupted"
                raise KeyboardInterrupt
            return
        if self.count == self.target and self.waits_on_queue_mutex():
            self.outcome = "not injected: inside the queue's own code"
        elif self.count == self.target:
            self.busy = True
            try:
                self.outcome = ACTIONS[self.action](self)
            except Exception as e:  # judged by the case: some refusals are the answer
                self.outcome = e
            finally:
                self.busy = False

    def waits_on_queue_mutex(self):
        """The queue's Python code may hold its mutex here (an application's queue class): an
        add_task or a wait, which take it, would wait for this very thread, in Python as in C; so
        would a shutdown off the loops' threads, which waits for loops that wait for the mutex."""
        if self.action != "shutdown":
            return inside_queue_code()
        return not self.on_loop_thread and queue_mutex_held()

    def tracer(self, frame, event, arg):
        if frame.f_code in SKIPPED or frame.f_code.co_filename == CASES:
            return None  # the harness's own frames are not points
        frame.f_trace_opcodes = True
        self.point()
        return self.tracer

    def traced(self):
        """Counts this thread's points until untraced()."""
        self.thread = _thread.get_ident()
        sys.settrace(self.tracer)

    def untraced(self):
        sys.settrace(None)
        self.thread = None


def inside_queue_code():
    frame = sys._getframe(2)
    while frame is not None:
        if frame.f_code.co_filename.endswith(os.sep + "queue.py"):
            return True
        frame = frame.f_back
    return False


def queue_mutex_held():
    """A queue's own code on this thread, with that queue's mutex taken."""
    frame = sys._getframe(2)
    while frame is not None:
        if frame.f_code.co_filename.endswith(os.sep + "queue.py"):
            owner = frame.f_locals.get("self")
            mutex = getattr(owner, "mutex", None)
            if mutex is not None and mutex.locked():
                return True
        frame = frame.f_back
    return False


def add(inj):
    name = "added %d" % inj.target
    inj.ex.add_task(name)
    inj.added.append(name)


def wait(inj):
    inj.waits = 1  # from now on the sleeps count, and end the wait when it would never end
    try:
        return inj.ex.wait_until_empty()
    finally:
        inj.waits = 0


ACTIONS = {"shutdown": lambda inj: inj.ex.shutdown(), "add_task": add, "wait_until_empty": wait}
INTERRUPT = "interrupt"  # raised at the calls of module globals only (Injector.point)


class Logger:
    def __init__(self, inj):
        self.inj = inj

    def _call(self):  # the two points of a call of a module global
        self.inj.point(True)
        self.inj.point(True)

    def debug(self, *args):
        self._call()

    def exception(self, *args):
        self._call()

    def warning(self, *args):
        self._call()


def install(inj, made, waits):
    """Binds the wrapped module globals; returns what it replaced, for restore()."""
    saved = {name: getattr(vex, name) for name in ("sleep", "Lock", "Queue", "get_ident", "time",
                                                     "ThreadPoolExecutor", "logger")}

    def wrap(fn, name):
        def call(*args, **kwargs):
            if inj.hook:
                inj.hook(name)
            inj.point(True)
            try:
                return fn(*args, **kwargs)
            finally:
                inj.point(True)
        return call

    def sleep(seconds):
        if inj.hook:
            inj.hook("sleep")
        inj.point(True)
        if inj.waits and inj.busy and inj.thread == _thread.get_ident():
            inj.waits += 1
            if inj.waits > WAIT_POLLS:
                raise TimeoutError("an injected wait_until_empty did not end")
        REAL_SLEEP(min(seconds, 0.001))  # every poll and pace made short: the steps stay the same
        inj.point(True)

    vex.sleep = sleep
    for name in ("Lock", "Queue", "get_ident", "time"):
        setattr(vex, name, wrap(saved[name], name))
    vex.ThreadPoolExecutor = wrap(pool_class(made, waits), "ThreadPoolExecutor")
    vex.logger = Logger(inj)
    SKIPPED.update(f.__code__ for f in (wrap(None, ""), sleep, Logger._call, Logger.debug, Logger.exception,
                                        Logger.warning, add, wait, *vars(Injector).values(), *ACTIONS.values())
                   if hasattr(f, "__code__"))
    return saved


def restore(saved):
    for name, value in saved.items():
        setattr(vex, name, value)


def check(ex, expected, made, first_pool=0, interrupted=False):
    """Every task of `expected` ran exactly once, and every pool made saw num_threads submits
    and one shutdown (or, after an interrupt, none and at most one: a start interrupted before it
    submitted). Returns a list of what is wrong."""
    wrong = []
    ran = sorted(map(str, ex.ran))
    if ran != sorted(map(str, expected)):
        wrong.append("ran %r, expected %r" % (ran, sorted(map(str, expected))))
    for pool in made[first_pool:]:
        if interrupted and pool.submits == 0 and pool.shutdowns <= 1:
            continue
        if (pool.submits, pool.shutdowns) != (ex.num_threads, 1):
            wrong.append("a pool saw %d submits and %d shutdowns" % (pool.submits, pool.shutdowns))
    return wrong


def finish(ex, inj, expected, made, first_pool=0):
    """A final start and shutdown, then the checks. After an interrupt, which may have ended a
    worker loop as it ends any thread's code, a shutdown comes first."""
    refused = inj.action == "wait_until_empty" and isinstance(inj.outcome, RuntimeError)
    if isinstance(inj.outcome, Exception) and not refused:
        return ["the injected %s raised %r" % (inj.action, inj.outcome)]
    interrupted = inj.action == INTERRUPT
    if interrupted:
        ex.shutdown()
    ex.add_task("last")
    ex.wait_until_empty()
    ex.shutdown()
    wrong = check(ex, list(expected) + inj.added + ["last"], made, first_pool, interrupted)
    if ex._num_running_threads != 0 or ex.live != 0:
        wrong.append("a loop outlived the last shutdown")
    return wrong


def executor(**kwargs):
    kwargs = dict(dict(num_threads=2, batch_size=3, duration=0.001), **kwargs)
    return Probe(**kwargs)


# ---- the exit case, run in a process of its own ---------------------------------------------

def names_in(hook):
    """The names of what a threading exit hook calls: a functools.partial's function (to 3.14),
    or what a lambda closes over (3.15)."""
    inner = [getattr(hook, "func", None)] + [c.cell_contents for c in getattr(hook, "__closure__", None) or ()]
    return {getattr(f, "__name__", "") for f in inner if callable(f)}


def exit_case(target, action, waits):
    """A running executor with tasks queued and a stopped one with tasks left, the exit hook
    traced (and injected into); prints what each ran, after the hook, as a line of repr."""
    inj = Injector(target, action)
    made = []
    install(inj, made, waits)
    running = executor()
    for i in range(10):
        running.add_task(i)
    stopped = executor()
    stopped.add_task("s0")
    stopped.wait_until_empty()
    stopped.shutdown()
    for i in range(1, 4):  # queued after the loops' last iteration, as at a shutdown on the way out
        stopped._queue.put(vex.Task(("s%d" % i,), {}))
    inj.ex = running
    hooks = threading._threading_atexits
    index = next(i for i, h in enumerate(hooks) if "_before_threads_join" in names_in(h))
    hook = hooks[index]

    def traced_hook():
        inj.traced()
        try:
            hook()
        finally:
            inj.untraced()
            print(repr({"points": inj.count, "running": running.ran, "stopped": stopped.ran,
                        "added": inj.added, "outcome": repr(inj.outcome),
                        "pools": [(p.submits, p.shutdowns) for p in made]}), flush=True)

    hooks[index] = traced_hook


if __name__ == "__main__":
    exit_case(int(sys.argv[1]), sys.argv[2] if sys.argv[2] != "-" else None, sys.argv[3] == "1")
