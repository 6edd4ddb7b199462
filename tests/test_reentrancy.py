"""Python code in the middle of our calls: properties on every attribute we read, argument and
mapping protocols, a key's __eq__ in an instance dict, profile hooks, collections and signal
handlers, each changing the client, the function objects or the executor while a call is under
way. A case gives the outcome the interpreter's own semantics give (a pure-Python model run with
the same hook), or, where the hook fires at a moment that differs between the two, one of the
outcomes it can give; never a crash, a hang, or a freed object in use (which the sanitizer build
reports)."""
import contextlib
import gc
import inspect
import itertools
import signal
import sys
import threading
import time
import weakref
from concurrent.futures import ThreadPoolExecutor

import pytest

import vantor.common.executors as vex
from executor_helpers import LIMIT, Collector, bounded, join_all
from test_robust_properties import Capture, ModelClient, subclass
from vantor.common.stat import StatClient


# --- the client ------------------------------------------------------------------------------------

class Once:
    """The mutation of a case, run when a hook of the case fires for the `at`-th time."""

    def __init__(self, mutation, at=1):
        self.mutation, self.at, self.client, self.fired = mutation, at, None, 0

    def __call__(self):
        if self.client is not None:
            self.fired += 1
            if self.fired == self.at:
                self.mutation(self.client)


def hooked(name):
    """A property in place of the plain attribute `name`: it fires the case's hook when read."""
    key = "hooked " + name

    def get(self):
        type(self).once()
        try:
            return self.__dict__[key]
        except KeyError:
            raise AttributeError(name) from None

    def set_(self, value):
        self.__dict__[key] = value

    def del_(self):
        try:
            del self.__dict__[key]
        except KeyError:
            raise AttributeError(name) from None

    return property(get, set_, del_)


class FiresOnStr:
    def __init__(self, once):
        self.once = once

    def __str__(self):
        self.once()
        return "v"


class FiresOnBool(FiresOnStr):
    def __bool__(self):
        self.once()
        return True


class FiresOnLen:
    """A mapping that is not a dict, whose truth test (its __len__) fires the hook."""

    def __init__(self, once):
        self.once = once

    def __len__(self):
        self.once()
        return 1

    def items(self):
        return [("a", 1)]


class FiresOnIndex:
    def __init__(self, once, value):
        self.once, self.value = once, value

    def __index__(self):
        self.once()
        return int(self.value)

    def __float__(self):
        self.once()
        return float(self.value)


class EqKey:
    """A key of the instance dict that collides with `name` and fires the hook when compared."""

    def __init__(self, once, name):
        self.once, self.name = once, name

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        self.once()
        return False


@contextlib.contextmanager
def profiling(once):
    # at the first Python function called from elsewhere than this file: a socket, a logger, a hook
    sys.setprofile(lambda frame, event, arg: event == "call" and frame.f_code.co_filename != __file__ and once())
    try:
        yield
    finally:
        sys.setprofile(None)


@contextlib.contextmanager
def collecting(once):
    callback = lambda phase, info: once()  # noqa: E731
    threshold = gc.get_threshold()
    gc.callbacks.append(callback)
    gc.set_threshold(1, 1, 1)
    try:
        yield
    finally:
        gc.set_threshold(*threshold)
        gc.callbacks.remove(callback)


# Each site: (hooked attributes of the class, how the call's arguments carry a hook, whether the
# hook fires at the same step in both clients, a context around the call).
SITES = {
    "property statd_available": (["statd_available"], None, True, None),
    "property _prefix": (["_prefix"], None, True, None),
    "property _sock": (["_sock"], None, True, None),
    "property _addr": (["_addr"], None, True, None),
    "tag value __str__": ([], "str", True, None),
    "tag value __bool__": ([], "bool", True, None),
    "mapping __len__": ([], "len", True, None),
    "number __index__ / __float__": ([], "number", True, None),
    "instance dict key __eq__": ([], "eq", False, None),
    "profile hook": ([], None, False, profiling),
    "collection": ([], None, False, collecting),
}

MUTATIONS = {
    "change prefix": lambda c: setattr(c, "_prefix", "new"),
    "delete prefix": lambda c: delattr(c, "_prefix"),
    "silence": lambda c: setattr(c, "statd_available", False),
    "swap socket": lambda c: setattr(c, "_sock", Capture(c._sock.log, "swapped")),
    "delete socket": lambda c: delattr(c, "_sock"),
    "new address": lambda c: setattr(c, "_addr", ("127.0.0.2", 1)),
    "own _build_tag": lambda c: setattr(c, "_build_tag", lambda tag, value: "X"),
    "class _send": lambda c: setattr(type(c), "_send", lambda self, data: self._sock.sendto(b"S:" + data.encode(),
                                                                                           self._addr)),
    "clear dict": lambda c: c.__dict__.clear(),
    "nested metric": lambda c: c.inc("nested"),
}

OPERATIONS = {"inc": 2, "set": -2, "timing": 0.5}


def run_case(base, site, mutation, method, at=1):
    """The outcome of one call on a new client of `base`, the mutation made when a hook fires for
    the `at`-th time: (how it ended, the datagrams sent), and how often the hooks fired."""
    hooked_names, argument, _, context = SITES[site]
    once = Once(MUTATIONS[mutation], at)
    cls = subclass(base, {})
    cls.once = staticmethod(once)
    for name in hooked_names:
        setattr(cls, name, hooked(name))
    log = []
    client = cls("127.0.0.1", 9, "p") if base is StatClient else cls("p", None)
    client._sock = Capture(log)
    if argument == "eq":
        client.__dict__[EqKey(once, "_prefix")] = 0
    number = OPERATIONS[method]
    tags = {"a": 1}
    if argument == "str":
        tags = {"a": FiresOnStr(once)}
    elif argument == "bool":
        tags = {"a": FiresOnBool(once)}
    elif argument == "len":
        tags = FiresOnLen(once)
    elif argument == "number":
        number = FiresOnIndex(once, number)
    once.client = client
    with context(once) if context else contextlib.nullcontext():
        try:
            getattr(client, method)("k", number, tags)
            ended = "returned"
        except Exception as e:  # compared by type with the model's
            ended = type(e).__name__
    return (ended, log), once.fired


@pytest.mark.parametrize("method", sorted(OPERATIONS))
@pytest.mark.parametrize("mutation", sorted(MUTATIONS))
@pytest.mark.parametrize("site", sorted(SITES))
def test_client_under_python_code(site, mutation, method):
    got, _ = run_case(StatClient, site, mutation, method)
    expected, fired = run_case(ModelClient, site, mutation, method)
    if SITES[site][2]:
        assert got == expected
        return
    # The hook fires at other steps in the two clients: the mutation at any step of the model's
    # call, or at none, gives the outcomes the interpreter allows.
    _, steps = run_case(ModelClient, site, mutation, method, at=0)
    allowed = [run_case(ModelClient, site, mutation, method, at=k)[0] for k in range(steps + 2)]
    assert got in allowed


# --- the function objects -------------------------------------------------------------------------

class RebindsDefaults:
    """A port whose __index__ rebinds StatClient.__init__'s defaults while the call binds it."""

    def __index__(self):
        StatClient.__init__.__defaults__ = ("other", 1, True)
        return 9


def test_a_call_keeps_the_defaults_it_was_bound_with():
    # as in the interpreter: the defaults of the call's start are the ones it uses
    saved = StatClient.__init__.__defaults__
    try:
        client = StatClient("127.0.0.1", RebindsDefaults())
        assert (client._prefix, client._maxudpsize, client._sock.family.name) == ("", 512, "AF_INET")
    finally:
        StatClient.__init__.__defaults__ = saved


@pytest.mark.parametrize("call", [
    lambda c: c.inc("k"),
    lambda c: c.inc("k", tags={"a": 1}),
    lambda c: StatClient("127.0.0.1", 9)._maxudpsize,
], ids=["inc", "inc with tags", "construction"])
def test_defaults_rebound_by_another_thread(call):
    # one thread rebinds the defaults of inc and __init__ without pause while another calls
    inc_saved, init_saved = StatClient.inc.__defaults__, StatClient.__init__.__defaults__
    client = StatClient("127.0.0.1", 9)
    client._sock = Capture([])
    stop = threading.Event()

    def rebind():
        while not stop.is_set():
            StatClient.inc.__defaults__ = (5, {"b": 2})
            StatClient.inc.__defaults__ = inc_saved
            StatClient.__init__.__defaults__ = ("p", 600, False)
            StatClient.__init__.__defaults__ = init_saved

    rebinder = threading.Thread(target=rebind)
    rebinder.start()
    try:
        for _ in range(300):
            call(client)
    finally:
        stop.set()
        join_all([rebinder])
        StatClient.inc.__defaults__, StatClient.__init__.__defaults__ = inc_saved, init_saved
    sent = {data for _, data, _ in client._sock.log}
    assert sent <= {b"k:+1|g", b"k,b=2:+5|g", b"k,a=1:+1|g", b"k,a=1:+5|g"}


def test_signature_while_its_defaults_and_annotations_change():
    # every inspect.Parameter call is Python code, here rebinding both at each of them
    func = StatClient._gauge
    saved = func.__defaults__, dict(func.__annotations__)
    flip = [0]

    def rebind(frame, event, arg):
        if event == "call":
            flip[0] += 1
            func.__defaults__ = (False, None) if flip[0] % 2 else None
            func.__annotations__ = {"value": "int"} if flip[0] % 2 else {}

    sys.setprofile(rebind)
    try:
        signature = inspect.signature(func)
    finally:
        sys.setprofile(None)
        func.__defaults__, func.__annotations__ = saved
    assert list(signature.parameters) == ["self", "stat", "value", "delta", "tags"]


# --- the executor ---------------------------------------------------------------------------------

@contextlib.contextmanager
def signal_during(seconds, handler):
    """`handler` as the SIGALRM handler, the signal arriving every `seconds` meanwhile."""
    previous = signal.signal(signal.SIGALRM, lambda *a: handler())
    signal.setitimer(signal.ITIMER_REAL, seconds, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


class Tracked(Collector):
    """Counts the run calls under way, to show that the loops of two starts never overlap, and
    keeps the tasks that hooks added."""
    hooks_off = False

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.inside, self.most_inside = 0, 0
        self.hook_tasks = []
        self.labels = itertools.count()

    def add_from_hook(self):
        # the label from one C call: handlers nest, and one that ran between a len() and the
        # append below would give two tasks the same label
        task = vex.Task(("from a hook", next(self.labels)), {})
        self.hook_tasks.append(task)
        self.add_task(*task.args)

    def run(self, tasks):
        with self.record_lock:
            self.inside += 1
            self.most_inside = max(self.most_inside, self.inside)
        try:
            super().run(tasks)
        finally:
            with self.record_lock:
                self.inside -= 1


def wait_unless_stopped(ex):
    """wait_until_empty, which refuses to wait when a hook has stopped every worker loop."""
    try:
        bounded(ex.wait_until_empty)
    except RuntimeError as e:
        assert "no worker loop is running" in str(e)


def finish(ex, added):
    """Stops the executor, runs what is left, and checks what every executor case must hold."""
    ex.hooks_off = True
    added = list(added) + ex.hook_tasks
    bounded(ex.shutdown)
    ex.add_task("last")
    bounded(ex.wait_until_empty)
    bounded(ex.shutdown)
    taken = [task.args for task in ex.taken()]
    assert len(taken) == len(set(taken)), "a task ran twice"
    assert set(taken) == {task.args for task in added} | {("last",)}, "a task was lost"
    assert ex.most_inside <= ex.num_threads, "the loops of two starts overlapped"
    assert ex._num_running_threads == 0 and not any(t.is_alive() for t in ex.executor._threads)


def hooked_executor(name, action):
    """An executor class whose attribute `name` is a property that runs `action(self)` (once in
    a while, on the main thread) when read."""
    key = "hooked " + name
    calls = [0]

    def get(self):
        calls[0] += 1
        if calls[0] % 7 == 3 and not self.hooks_off and threading.current_thread() is threading.main_thread():
            action(self)
        return self.__dict__[key]

    def set_(self, value):
        self.__dict__[key] = value

    return type("Hooked", (Tracked,), {name: property(get, set_)})


EXECUTOR_ACTIONS = {
    "shutdown": lambda ex: ex.shutdown(),
    "add_task": lambda ex: ex.add_from_hook(),
    "stop flag": lambda ex: setattr(ex, "_is_running", False),
}


@pytest.mark.parametrize("action", sorted(EXECUTOR_ACTIONS))
@pytest.mark.parametrize("name", ["_is_running", "_queue", "_lock", "batch_size", "duration", "num_threads",
                                  "_num_running_threads", "executor"])
def test_executor_attributes_that_run_code(make, name, action):
    ex = make(cls=hooked_executor(name, EXECUTOR_ACTIONS[action]), num_threads=2, batch_size=3)
    for i in range(40):
        ex.add_task(i)
        if i % 10 == 9:
            wait_unless_stopped(ex)
    finish(ex, [vex.Task((i,), {}) for i in range(40)])


@pytest.mark.parametrize("action", sorted(EXECUTOR_ACTIONS))
@pytest.mark.parametrize("hook", ["signal handler", "collection", "profile hook"])
def test_executor_under_handlers_and_hooks(make, hook, action):
    # the hook's code runs on the main thread, in the middle of add_task, a start or a wait
    ex = make(cls=Tracked, num_threads=2, batch_size=3, duration=0.001)
    counter = [0]

    def fire():
        counter[0] += 1
        if counter[0] % 5 == 0:
            EXECUTOR_ACTIONS[action](ex)

    if hook == "signal handler":
        context = signal_during(0.0002, fire)
    elif hook == "collection":
        context = collecting(fire)
    else:
        # at the Python calls made on the main thread, but not inside queue or threading, whose own
        # locks are held there (an add_task there would wait for them, in Python as in C)
        def on_call(frame, event, arg):
            if event == "call" and threading.current_thread() is threading.main_thread() and \
                    not frame.f_code.co_filename.endswith(("queue.py", "threading.py")):
                fire()

        context = contextlib.nullcontext()
        sys.setprofile(on_call)
    try:
        with context:
            for i in range(60):
                ex.add_task(i)
                if i % 20 == 19:
                    with contextlib.suppress(RuntimeError):  # a hook may have stopped every loop
                        ex.wait_until_empty()
    finally:
        sys.setprofile(None)
    finish(ex, [vex.Task((i,), {}) for i in range(60)])


class StopsWhileStarting(ThreadPoolExecutor):
    """A pool whose construction lets the main thread's Python code call shutdown on the executor
    that is being started (as a SIGTERM handler or a finalizer would)."""
    target = None

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        if StopsWhileStarting.target is not None:
            StopsWhileStarting.target.shutdown()


def test_shutdown_from_code_that_the_start_runs(make, monkeypatch):
    # the stop is recorded and the start honours it: nothing waits on itself
    monkeypatch.setattr(vex, "ThreadPoolExecutor", StopsWhileStarting)
    ex = make(cls=Tracked)
    StopsWhileStarting.target = ex
    try:
        bounded(ex.add_task, 1)
    finally:
        StopsWhileStarting.target = None
    assert ex._is_running is False
    finish(ex, [vex.Task((1,), {})])


def test_finalizers_that_shut_down_during_starts(make):
    # weakref.finalize(owner, writer.shutdown), run by an automatic collection while the pool is
    # being made: two thousand owners, nothing forced
    threshold = gc.get_threshold()
    gc.set_threshold(50, 5, 5)
    try:
        def starts():
            for _ in range(2000):
                ex = Tracked(num_threads=1, duration=0.001)
                owner = type("Owner", (), {})()
                owner.cycle = owner
                weakref.finalize(owner, ex.shutdown)
                del owner
                ex.add_task(1)
                ex.shutdown()
        bounded(starts)
    finally:
        gc.set_threshold(*threshold)


def stopped_inside_run(make, release):
    """An executor whose one loop called shutdown() inside run and stays there until `release`."""
    def stop_then_linger(ex, tasks):
        if tasks[0].args == ("first",):
            ex.shutdown()
            release.wait(LIMIT)

    ex = make(cls=Tracked, num_threads=1, hook=stop_then_linger)
    ex.add_task("first")
    deadline = time.monotonic() + LIMIT
    while not ex.executor._shutdown and time.monotonic() < deadline:
        time.sleep(0.001)
    return ex


def test_shutdown_from_run_then_a_new_start(make, monkeypatch):
    # the stopping loop is still in run when a producer's add_task starts again: the new loop
    # waits for it, and a later shutdown waits for both
    release = threading.Event()
    ex = stopped_inside_run(make, release)
    ex.add_task("second")  # starts again while the stopped loop is in run
    stopper = threading.Thread(target=ex.shutdown)
    stopper.start()
    stopper.join(0.2)
    assert stopper.is_alive(), "shutdown returned while a loop of the executor still ran"
    release.set()
    join_all([stopper])
    finish(ex, [vex.Task(("first",), {}), vex.Task(("second",), {})])


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")  # the dead loop reports
def test_a_loop_that_fails_before_it_begins(make, monkeypatch):
    # get_ident (Python code where gevent patched it) raises on the new start's pool thread while
    # the stopped loop is still in run: the new loop is dead, and a wait does not wait for it
    release, failed = threading.Event(), threading.Event()
    ex = stopped_inside_run(make, release)
    first = ex.executor

    def get_ident(real=vex.get_ident):
        thread = threading.current_thread()
        if not failed.is_set() and thread.name.startswith("ThreadPoolExecutor") and thread not in first._threads:
            failed.set()
            raise RuntimeError("no ident")
        return real()

    monkeypatch.setattr(vex, "get_ident", get_ident)
    ex.add_task("second")
    assert failed.wait(LIMIT)
    release.set()
    with pytest.raises(RuntimeError, match="no worker"):
        bounded(ex.wait_until_empty)
    finish(ex, [vex.Task(("first",), {}), vex.Task(("second",), {})])


@pytest.mark.parametrize("where", ["in the pool's wait", "asking for the thread's id"])
def test_second_shutdown_after_an_interrupted_one(make, monkeypatch, where):
    # Ctrl-C in shutdown leaves the loop running: a second shutdown waits for it, and the next
    # start never runs beside it (get_ident is Python code where gevent patched it)
    release = threading.Event()
    armed = threading.Event()

    class Interrupted(ThreadPoolExecutor):
        interrupted = False

        def shutdown(self, *args, **kwargs):
            if not Interrupted.interrupted and kwargs.get("wait", True):
                Interrupted.interrupted = True
                raise KeyboardInterrupt
            return super().shutdown(*args, **kwargs)

    def get_ident(real=vex.get_ident):
        if armed.is_set() and threading.current_thread() is threading.main_thread():
            armed.clear()
            raise KeyboardInterrupt
        return real()

    monkeypatch.setattr(vex, "ThreadPoolExecutor", Interrupted if where == "in the pool's wait" else ThreadPoolExecutor)
    monkeypatch.setattr(vex, "get_ident", get_ident)
    ex = make(cls=Tracked, num_threads=1, hook=lambda ex, tasks: release.wait(LIMIT))
    ex.add_task("first")
    if where == "asking for the thread's id":
        armed.set()
    with pytest.raises(KeyboardInterrupt):
        ex.shutdown()
    second = threading.Thread(target=ex.shutdown)
    second.start()
    second.join(0.2)
    assert second.is_alive(), "the second shutdown returned while the loop still ran"
    ex.add_task("second")
    release.set()
    join_all([second])
    finish(ex, [vex.Task(("first",), {}), vex.Task(("second",), {})])


def test_wait_until_empty_while_the_flag_is_a_slow_property(make):
    # reading _is_running lets the last loop end meanwhile
    class Slow(Tracked):
        @property
        def _is_running(self):
            time.sleep(0.002)
            return self.__dict__["flag"]

        @_is_running.setter
        def _is_running(self, value):
            self.__dict__["flag"] = value

    ex = make(cls=Slow, num_threads=2, duration=0.001)
    for round_ in range(20):
        ex.add_task(round_)
        bounded(ex.wait_until_empty)
        bounded(ex.shutdown)
    finish(ex, [vex.Task((i,), {}) for i in range(20)])
