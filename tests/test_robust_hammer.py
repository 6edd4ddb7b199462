"""Hammer tests: many threads on one client or one executor, bounded in count and time (every
blocking call has a limit, so a hang fails its test). Nothing here measures speed. Counts
scale with VANTOR_STRESS_SCALE (0.1 under the sanitizer build)."""
import collections
import functools
import os
import sys
import threading

import pytest

import vantor.common.executors as vex
import vantor.common.stat as vstat
from executor_helpers import LIMIT, bounded, executor_maker, run_threads
from vantor.common.executors import DelayedBatchExecutor
from vantor.common.stat import StatClient

SCALE = float(os.environ.get("VANTOR_STRESS_SCALE", "1.0"))


def scaled(n, least=200):
    return max(least, int(n * SCALE))


@pytest.fixture
def busy_switching():
    """Switch threads far more often than usual, so interleavings inside a call show up."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(old)


# --- metrics client ----------------------------------------------------------------------------

class Capture:
    """Stands in for a client's socket: keeps every datagram (list.append is atomic)."""

    def __init__(self):
        self.lines = []

    def sendto(self, data, addr):
        self.lines.append(data)


class Text:
    """A tag value rendered by Python code, so a thread switch can happen mid-line."""

    def __init__(self, s):
        self.s = s

    def __str__(self):
        return self.s


class FixedClock:
    @staticmethod
    def time():
        return 5.0


def tag_text(tags):
    return "".join("," + (k if not v else f"{k}={v}") for k, v in tags.items())


def thread_ops(c, t, n):
    """The calls one thread makes, and the lines they must produce, in order."""
    tags = {"thread": t, "region": "eu", "py": Text(f"x{t}"), "off": None, "ratio": 0.5}
    tt = tag_text(tags)
    wrapped = vstat.timing(c, f"t{t}.wrapped", tags)(abs)
    keys = [f"t{t}.{name}" for name in ("inc", "set", "timing", "wrapped")]

    def calls(start=0, stop=n):
        for i in range(start, stop):
            op = i % 4
            if op == 0:
                c.inc(keys[0], i - n // 2, tags)
            elif op == 1:
                c.set(keys[1], -i, tags)
            elif op == 2:
                c.timing(keys[2], i / 8, tags)
            else:
                wrapped(-i)

    def expected(prefix):
        out = []
        for i in range(n):
            op = i % 4
            if op == 0:
                v = i - n // 2
                out.append(f"{prefix}{keys[0]}{tt}:{'+' if v >= 0 else ''}{v}|g")
            elif op == 1:
                out.append(f"{prefix}{keys[1]}{tt}:0|g\n{prefix}{keys[1]}{tt}:{-i}|g")
            elif op == 2:
                out.append(f"{prefix}{keys[2]}{tt}:{i / 8:0.6f}|h")
            else:
                out.append(f"{prefix}{keys[3]}{tt}:0.000000|h")
        return [line.encode("ascii") for line in out]

    return calls, expected


def split_by_thread(lines, prefix):
    by_thread = collections.defaultdict(list)
    start = len(prefix)
    for line in lines:
        by_thread[int(line[start:line.index(b".", start)])].append(line)
    return by_thread


def test_eight_threads_on_one_client(receiver, monkeypatch, busy_switching):
    # eight threads report through one client at once: every line arrives whole, once, in each
    # thread's own order, through the client's own socket
    monkeypatch.setattr(vstat, "time", FixedClock)
    n = scaled(100_000)
    c = StatClient("127.0.0.1", receiver.port, "svc")
    c._sock = Capture()
    plans = [thread_ops(c, t, n) for t in range(8)]
    gate = threading.Barrier(8)

    def go(calls):
        gate.wait(LIMIT)
        calls()

    run_threads([functools.partial(go, calls) for calls, _ in plans], timeout=600)
    got = split_by_thread(c._sock.lines, b"svc.t")
    assert sorted(got) == list(range(8))
    for t, (_, expected) in enumerate(plans):
        assert got[t] == expected("svc."), f"thread {t}"


class Relay(StatClient):
    """A Python-level step in the middle of the send path."""

    def _after(self, data):
        return super()._after(data)


def test_threads_across_several_clients(receiver, monkeypatch, busy_switching):
    # the clients' cached lookups are shared per module: lines must still leave through the
    # right client's socket with the right prefix while threads switch between clients
    monkeypatch.setattr(vstat, "time", FixedClock)
    n = scaled(25_000)
    clients = [StatClient("127.0.0.1", receiver.port, "a"), StatClient("127.0.0.1", receiver.port, "bb"),
               Relay("127.0.0.1", receiver.port, "ccc"), StatClient("127.0.0.1", receiver.port)]
    for c in clients:
        c._sock = Capture()
    plans = [[thread_ops(c, t, n) for c in clients] for t in range(4)]

    def go(per_client):
        # a hundred calls at a time on each client in turn
        for start in range(0, n, 100):
            for calls, _ in per_client:
                calls(start, min(n, start + 100))

    run_threads([functools.partial(go, per_client) for per_client in plans], timeout=600)
    for k, (c, prefix) in enumerate(zip(clients, ("a.", "bb.", "ccc.", ""))):
        got = split_by_thread(c._sock.lines, prefix.encode() + b"t")
        assert sorted(got) == list(range(4))
        for t in range(4):
            assert got[t] == plans[t][k][1](prefix), f"client {prefix!r}, thread {t}"


# --- executor ----------------------------------------------------------------------------------

class Boom(Exception):
    pass


class Halt(BaseException):
    """Not an Exception: ends the worker loop that `run` raised it in."""


class Tally(DelayedBatchExecutor):
    """Counts every payload handed to `run` and the worker loops alive. A batch holding a
    multiple of `halt_every` ends its worker loop; one holding a multiple of `fail_every` raises."""

    def __init__(self, *args, halt_every=0, fail_every=0, **kwargs):
        super().__init__(*args, **kwargs)
        self.lock = threading.Lock()
        self.seen = collections.Counter()
        self.live = 0
        self.halt_every, self.fail_every = halt_every, fail_every
        self.halts = self.fails = 0

    def _batch(self):
        with self.lock:
            self.live += 1
        try:
            return super()._batch()
        finally:
            with self.lock:
                self.live -= 1

    def run(self, tasks):
        payloads = [t.args[0] for t in tasks]
        with self.lock:
            self.seen.update(payloads)
            halt = self.halt_every and any(p % self.halt_every == 0 for p in payloads)
            fail = self.fail_every and any(p % self.fail_every == 0 for p in payloads)
            self.halts += bool(halt)
            self.fails += bool(fail and not halt)
        if halt:
            raise Halt(payloads)
        if fail:
            raise Boom(payloads)


class CountingLogger:
    def __init__(self):
        self.exceptions = 0
        self.lock = threading.Lock()

    def debug(self, text):
        pass

    def exception(self, msg):
        assert msg == "" and isinstance(sys.exc_info()[1], Boom)
        with self.lock:
            self.exceptions += 1


@pytest.fixture
def log(monkeypatch):
    lg = CountingLogger()
    monkeypatch.setattr(vex, "logger", lg)
    return lg


@pytest.fixture
def pools(monkeypatch):
    made = []

    class CountingPool(vex.ThreadPoolExecutor):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self.stopped = False
            made.append(self)

        def shutdown(self, *args, **kwargs):
            self.stopped = True
            return super().shutdown(*args, **kwargs)

    monkeypatch.setattr(vex, "ThreadPoolExecutor", CountingPool)
    return made


@pytest.fixture
def make():
    make, stop_all = executor_maker(Tally, 0.001)
    yield make
    stop_all()


def drain(ex, stop=True):
    """Deliver whatever is queued, restarting the executor when no worker loop is left, then
    stop it; returns the number of restarts. Only this thread starts or stops the executor
    meanwhile."""
    for restarts in range(1000):
        try:
            bounded(ex.wait_until_empty)
            break
        except RuntimeError as e:
            assert "no worker" in str(e)
            bounded(ex.shutdown)
            ex.add_task(-1)  # restarts; the left-over tasks are taken first
    else:
        raise AssertionError("the queue was never drained")
    assert ex._queue.empty()
    if stop:
        bounded(ex.shutdown)
        assert ex.live == 0 and ex._num_running_threads == 0 and not ex._lock.locked()
    return restarts


def assert_each_once(ex, payloads):
    extra = ex.seen.pop(-1, 0)  # restart markers, any number of them
    assert ex.seen == collections.Counter(payloads)
    return extra


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")  # dying loops report
def test_producers_against_failing_run(make, log, pools):
    # eight producers; run raises now and then, and sometimes ends its worker loop for good.
    # Between rounds the queue is drained, restarting the executor once every worker loop has
    # died (which sixteen deaths among three workers make certain): every payload reaches run
    # exactly once, the tasks left queued by the dead workers included
    n = scaled(100_000, least=2000)
    rounds = 8
    total = 8 * n
    ex = make(num_threads=3, batch_size=50, halt_every=max(500, total // 16), fail_every=97)
    gate = threading.Barrier(8)

    def produce(p, r):
        gate.wait(LIMIT)
        per_round = n // rounds
        start = p * n + r * per_round
        stop = (p + 1) * n if r == rounds - 1 else start + per_round
        for i in range(start, stop):
            ex.add_task(i)

    restarts = 0
    for r in range(rounds):
        run_threads([functools.partial(produce, p, r) for p in range(8)], timeout=600)
        restarts += drain(ex, stop=r == rounds - 1)
    assert_each_once(ex, range(total))
    assert ex.halts >= 3 and restarts > 0 and len(pools) == 1 + restarts
    assert log.exceptions == ex.fails > 0  # each caught failure logged once, with its exception


def test_start_shutdown_cycles_under_load(make, log, pools):
    # a hundred starts and stops, each stop landing while the workers are busy and tasks are
    # still queued; two threads keep waiting meanwhile: no hang, nothing lost or run twice
    cycles = 100
    burst = scaled(400, least=50)
    ex = make(num_threads=2, batch_size=8, fail_every=13)
    waiting = threading.Event()
    waiting.set()
    refusals = []

    def wait():
        while waiting.is_set():
            try:
                ex.wait_until_empty()
            except RuntimeError as e:  # stopped with tasks queued: nobody can take them
                assert "no worker" in str(e)
                refusals.append(e)

    waiters = [threading.Thread(target=wait) for _ in range(2)]
    for t in waiters:
        t.start()
    try:
        for c in range(cycles):
            for i in range(c * burst, (c + 1) * burst):
                ex.add_task(i)  # the first of each burst starts the executor
            bounded(ex.shutdown)
            assert ex._is_running is False and ex.live == 0
    finally:
        waiting.clear()
        for t in waiters:
            t.join(LIMIT)
    assert not any(t.is_alive() for t in waiters)
    assert len(pools) == cycles
    drain(ex)
    assert_each_once(ex, range(cycles * burst))


class Gate:
    """Holds a start of the executor inside its pool's constructor or its first submit."""

    def __init__(self, where):
        self.where = where
        self.armed = False
        self.reached, self.go = threading.Event(), threading.Event()

    def hold(self, where):
        if self.armed and where == self.where:
            self.armed = False
            self.reached.set()
            assert self.go.wait(LIMIT)


@pytest.fixture
def gated_pools(monkeypatch):
    made, state = [], {}

    class GatedPool(vex.ThreadPoolExecutor):
        def __init__(self, *args, **kwargs):
            state["gate"].hold("creating the pool")
            super().__init__(*args, **kwargs)
            self.stopped = False
            self.first = True
            made.append(self)

        def submit(self, fn, *args, **kwargs):
            if self.first:
                self.first = False
                state["gate"].hold("submitting")
            return super().submit(fn, *args, **kwargs)

        def shutdown(self, *args, **kwargs):
            self.stopped = True
            return super().shutdown(*args, **kwargs)

    def arm(where):
        state["gate"] = gate = Gate(where)
        return gate

    state["gate"] = Gate(None)
    monkeypatch.setattr(vex, "ThreadPoolExecutor", GatedPool)
    return made, arm


@pytest.mark.parametrize("where", ["creating the pool", "submitting"])
@pytest.mark.parametrize("history", ["first start", "restart"])
def test_shutdown_during_a_start(make, log, gated_pools, where, history):
    # a shutdown that arrives while add_task is starting the workers: both calls succeed, the
    # shutdown without waiting for the start (which may be waiting for the shutdown's thread), and
    # the start stops what it made as it ends
    made, arm = gated_pools
    ex = make(num_threads=2)
    if history == "restart":
        ex.add_task(-1)
        drain(ex)
    gate = arm(where)
    gate.armed = True
    outcome = {}

    def call(name, fn):
        try:
            outcome[name] = fn()
        except Exception as e:
            outcome[name] = e
        if name == "shutdown":
            outcome["start still held when shutdown returned"] = not gate.go.is_set()

    starter = threading.Thread(target=call, args=("add_task", lambda: ex.add_task(1)))
    starter.start()
    assert gate.reached.wait(LIMIT)
    stopper = threading.Thread(target=call, args=("shutdown", ex.shutdown))
    stopper.start()
    stopper.join(LIMIT)
    gate.go.set()
    starter.join(LIMIT)
    assert not starter.is_alive() and not stopper.is_alive()
    assert outcome == {"add_task": None, "shutdown": None, "start still held when shutdown returned": True}
    # the stop won: the start left the executor stopped, its pool shut down
    assert ex._is_running is False and made[-1].stopped
    bounded(ex.shutdown)
    assert ex.live == 0
    drain(ex)
    assert_each_once(ex, [1])


def test_shutdown_racing_add_task(make, log, pools, busy_switching):
    # in every round, four producers (whose first call restarts the executor) and three
    # stoppers are let go at the same moment, while one thread keeps waiting on the executor:
    # no call fails, no worker loop outlives the last shutdown, no task is lost or run twice
    rounds = scaled(200, least=20)
    burst = 25
    ex = make(num_threads=2, batch_size=5, duration=0.0005)
    gate = threading.Barrier(7)
    done = threading.Event()

    def produce(p):
        for r in range(rounds):
            gate.wait(LIMIT)
            base = (r * 4 + p) * burst
            for i in range(base, base + burst):
                ex.add_task(i)

    def stop():
        for r in range(rounds):
            gate.wait(LIMIT)
            ex.shutdown()

    def wait():
        while not done.is_set():
            try:
                ex.wait_until_empty()
            except RuntimeError as e:  # stopped with tasks queued: nobody can take them
                assert "no worker" in str(e)

    waiter = threading.Thread(target=wait)
    waiter.start()
    try:
        run_threads([functools.partial(produce, p) for p in range(4)] + [stop] * 3, timeout=600)
    finally:
        done.set()
        waiter.join(LIMIT)
    assert not waiter.is_alive()
    bounded(ex.shutdown)
    assert ex.live == 0 and ex._is_running is False
    assert ex._num_running_threads == 0 and not ex._lock.locked()
    assert all(pool.stopped for pool in pools)  # no pool was left running unstopped
    assert len(pools) >= 2
    total = rounds * 4 * burst
    assert sum(ex.seen.values()) + ex._queue.qsize() == total
    drain(ex)
    assert_each_once(ex, range(total))
