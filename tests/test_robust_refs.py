"""Nothing leaks under abuse: the reference counts of argument objects stay put over many
calls of every operation and error path (hostile objects, failing sockets and loggers), dropped
clients, executors and function objects are collected (cycles included), and memory stays flat
over a long mixed run. Counts scale with VANTOR_STRESS_SCALE (0.1 under the sanitizer build)."""
import collections.abc
import decimal
import errno
import fractions
import gc
import itertools
import os
import socket
import sys
import threading
import types
import weakref

import pytest

from leak_helpers import assert_refcounts_stable as _stable, raising
import vantor.common.executors as vex
import vantor.common.stat as vstat
from executor_helpers import bounded
from vantor.common.executors import DelayedBatchExecutor
from vantor.common.stat import StatClient

SCALE = float(os.environ.get("VANTOR_STRESS_SCALE", "1.0"))
CALLS = max(500, int(10_000 * SCALE))


# --- hostile objects ---------------------------------------------------------------------------
# All are heap types: an instance that leaks (the object itself, or an exception raised from it)
# keeps a reference to its type, so the type's refcount is watched along with the arguments.

class Boom(Exception):
    pass


class Halt(BaseException):
    """Not an Exception: ends a worker loop."""


class StrRaises:
    def __str__(self):
        raise Boom("__str__")


class BoolRaises:
    def __bool__(self):
        raise Boom("__bool__")


class IntRaises:
    def __int__(self):
        raise Boom("__int__")


class IndexRaises:
    def __index__(self):
        raise Boom("__index__")


class FloatRaises:
    def __float__(self):
        raise Boom("__float__")


class EqRaises:
    def __eq__(self, other):
        raise Boom("__eq__")

    __hash__ = object.__hash__


class ItemsRaises:
    def __len__(self):
        return 1

    def items(self):
        raise Boom("items")


class OnlyIndex:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


class OnlyFloat:
    def __init__(self, x):
        self.x = x

    def __float__(self):
        return self.x


class Text:
    """A tag value rendered through a Python-level __str__."""

    def __init__(self, s):
        self.s = s

    def __str__(self):
        return self.s


class MyInt(int):
    def __str__(self):
        return "not-this"


class MyStr(str):
    def __str__(self):
        return "".join(["sub", "text"])


class Tags(collections.abc.Mapping):
    def __init__(self, d):
        self.d = d

    def __getitem__(self, k):
        return self.d[k]

    def __iter__(self):
        return iter(self.d)

    def __len__(self):
        return len(self.d)


class ItemsOnly:
    def __init__(self, pairs):
        self.pairs = pairs

    def items(self):
        return iter(self.pairs)


class FailingSock:
    def sendto(self, data, addr):
        raise OSError(errno.ENETUNREACH, "network is unreachable")


class NullSock:
    def sendto(self, data, addr):
        return len(data)


HEAP_TYPES = (Boom, Halt, StrRaises, BoolRaises, IntRaises, IndexRaises, FloatRaises, EqRaises, ItemsRaises,
              OnlyIndex, OnlyFloat, Text, MyInt, MyStr, Tags, ItemsOnly, FailingSock)


def fresh(s):
    """A new, non-interned copy of a string."""
    return "".join([s[:1], s[1:]])


def assert_refcounts_stable(call, *objs, calls=CALLS):
    _stable(call, *objs, calls=calls)


# --- metrics client ----------------------------------------------------------------------------

@pytest.fixture
def o():
    """Fresh argument objects, none of them interned or shared with other tests."""
    return types.SimpleNamespace(
        key=fresh("metric.name"), count=10 ** 30 + 1, neg=-(10 ** 30), delta=0.125 * 5,
        tags={fresh("region"): fresh("eu"), fresh("big"): 10 ** 40, fresh("off"): None},
        odd_tags=Tags({fresh("t"): Text(fresh("v")), fresh("u"): MyStr("s"), fresh("b"): b"x"}),
        pairs=ItemsOnly([(fresh("x"), 1), (fresh("x"), 2.5)]),
        my_int=MyInt(7), only_index=OnlyIndex(12), only_float=OnlyFloat(0.5), frac=fractions.Fraction(7, 2),
        dec=decimal.Decimal("2.75"), fsub=type("F", (float,), {})(1.5), obj=object(),
        str_raises=StrRaises(), bool_raises=BoolRaises(), int_raises=IntRaises(), index_raises=IndexRaises(),
        float_raises=FloatRaises(), items_raises=ItemsRaises(), sub_key=MyStr("k"), bytes_key=bytes([107, 107]),
        non_ascii=fresh("caf\u00e9"), line_feed=fresh("a\nb"), huge=10 ** 400, text_seven=fresh("7"),
    )


def watched(c, o):
    return (c, *vars(o).values(), *HEAP_TYPES)


SUCCESS = [
    ("inc", lambda c, o: c.inc(o.key, o.count, o.tags)),
    ("inc negative", lambda c, o: c.inc(o.key, o.neg, o.odd_tags)),
    ("set negative, two lines", lambda c, o: c.set(o.key, o.neg, o.tags)),
    ("set int subclass", lambda c, o: c.set(o.key, o.my_int, o.pairs)),
    ("inc __index__ only", lambda c, o: c.inc(o.key, o.only_index, o.odd_tags)),
    ("inc Fraction", lambda c, o: c.inc(o.key, o.frac)),
    ("inc Decimal", lambda c, o: c.inc(key=o.key, count=o.dec, tags=o.pairs)),
    ("timing __float__ only", lambda c, o: c.timing(o.key, o.only_float, o.odd_tags)),
    ("timing __index__ only", lambda c, o: c.timing(o.key, o.only_index, o.tags)),
    ("timing float subclass", lambda c, o: c.timing(o.key, o.fsub, o.pairs)),
    ("timing huge int", lambda c, o: c.timing(o.key, o.count)),
    ("_gauge object delta", lambda c, o: c._gauge(o.key, o.neg, o.obj, o.odd_tags)),
    ("_send_stat", lambda c, o: c._send_stat(o.key, o.text_seven, tags=o.odd_tags)),
    ("_prepare", lambda c, o: c._prepare(o.key, o.text_seven, o.pairs)),
    ("_build_tag object", lambda c, o: c._build_tag(o.key, o.obj)),
    ("_build_tag str subclass", lambda c, o: c._build_tag(o.key, o.sub_key)),
    ("_after", lambda c, o: c._after(o.key)),
    ("_send", lambda c, o: c._send(o.key)),
    ("line with a carriage return", lambda c, o: c.inc(o.key + "\r", 1, o.tags)),
]


@pytest.mark.parametrize("name, call", SUCCESS, ids=[s[0] for s in SUCCESS])
def test_success_paths(make_client, o, name, call):
    c = make_client(prefix=fresh("px"))
    assert_refcounts_stable(lambda: call(c, o), *watched(c, o))


ERRORS = [
    # wrong types
    ("int key", lambda c, o: c.inc(o.count, 1, o.tags), TypeError),
    ("None key", lambda c, o: c.set(None, o.count, o.tags), TypeError),
    ("str subclass key", lambda c, o: c.timing(o.sub_key, o.delta, o.tags), TypeError),
    ("str count", lambda c, o: c.inc(o.key, o.text_seven, o.tags), TypeError),
    ("object value", lambda c, o: c.set(o.key, o.obj, o.tags), TypeError),
    ("str delta", lambda c, o: c.timing(o.key, o.text_seven, o.tags), TypeError),
    ("bytes _send_stat value", lambda c, o: c._send_stat(o.key, o.bytes_key, o.tags), TypeError),
    ("str subclass _after", lambda c, o: c._after(o.sub_key), TypeError),
    ("int tag name", lambda c, o: c.inc(o.key, 1, {o.count: o.obj}), TypeError),
    ("str subclass tag name", lambda c, o: c.inc(o.key, 1, {o.sub_key: o.obj}), TypeError),
    ("list of pairs as tags", lambda c, o: c.inc(o.key, 1, [(o.key, o.obj)]), AttributeError),
    ("too many arguments", lambda c, o: c.set(o.key, 1, o.tags, o.obj), TypeError),
    ("unknown keyword", lambda c, o: c.timing(o.key, 1.0, bogus=o.obj), TypeError),
    # numbers that are not numbers enough
    ("nan count", lambda c, o: c.inc(o.key, float("nan"), o.tags), ValueError),
    ("huge delta", lambda c, o: c.timing(o.key, o.huge, o.tags), OverflowError),
    ("__float__ only count", lambda c, o: c.inc(o.key, o.only_float, o.tags), TypeError),
    # objects whose conversions raise
    ("__int__ raises", lambda c, o: c.inc(o.key, o.int_raises, o.tags), Boom),
    ("__index__ raises (count)", lambda c, o: c.set(o.key, o.index_raises, o.tags), Boom),
    ("__index__ raises (delta)", lambda c, o: c.timing(o.key, o.index_raises, o.tags), Boom),
    ("__float__ raises", lambda c, o: c.timing(o.key, o.float_raises, o.tags), Boom),
    ("__bool__ raises (_gauge delta)", lambda c, o: c._gauge(o.key, 1, o.bool_raises, o.tags), Boom),
    ("__bool__ raises (tag value)", lambda c, o: c.inc(o.key, 1, {o.key: o.bool_raises}), Boom),
    ("__str__ raises (tag value)", lambda c, o: c.set(o.key, o.neg, {o.key: o.str_raises, "x": o.obj}), Boom),
    ("items() raises", lambda c, o: c.inc(o.key, 1, o.items_raises), Boom),
    ("raising tag after good ones", lambda c, o: c.inc(o.key, 1, Tags({"a": o.obj, "b": o.str_raises})), Boom),
    # text that cannot go on the wire
    ("non-ascii key", lambda c, o: c.inc(o.non_ascii, 1, o.tags), UnicodeEncodeError),
    ("non-ascii tag value", lambda c, o: c.set(o.key, o.neg, {o.key: o.non_ascii}), UnicodeEncodeError),
    ("non-ascii _send", lambda c, o: c._send(o.non_ascii), UnicodeEncodeError),
    ("line feed key", lambda c, o: c.inc(o.line_feed, 1, o.tags), ValueError),
    ("line feed tag", lambda c, o: c.timing(o.key, 1.0, {o.key: o.line_feed}), ValueError),
    ("line feed _send_stat", lambda c, o: c._send_stat(o.line_feed, o.text_seven, o.odd_tags), ValueError),
]


@pytest.mark.parametrize("name, call, exc", ERRORS, ids=[e[0] for e in ERRORS])
def test_error_paths(make_client, receiver, o, name, call, exc):
    c = make_client(prefix=fresh("px"))
    assert_refcounts_stable(raising(lambda: call(c, o), exc), *watched(c, o))
    assert receiver.drain() == []


@pytest.mark.parametrize("breaker", ["python sendto raises", "closed socket", "datagram too large"])
def test_failing_socket(make_client, o, breaker):
    c = make_client(prefix=fresh("px"))
    key = o.key
    if breaker == "python sendto raises":
        c._sock = FailingSock()
    elif breaker == "closed socket":
        c._sock.close()
    else:
        key = "x" * 70000  # over the largest UDP payload: the kernel refuses it
    calls = [lambda: c.inc(key, o.count, o.tags), lambda: c.set(key, o.neg, o.odd_tags),
             lambda: c.timing(key, o.only_float, o.pairs)]
    for call in calls:
        assert_refcounts_stable(raising(call, OSError), *watched(c, o), key)


@pytest.fixture
def quiet_logger(monkeypatch):
    class Quiet:
        def __getattr__(self, name):
            return lambda *a, **kw: None

    monkeypatch.setattr(vstat, "logger", Quiet())
    monkeypatch.setattr(vex, "logger", Quiet())


class FakeSocketModule:
    """Stands in for the `socket` global: every name fails to resolve, without asking DNS."""
    AF_INET, AF_INET6, SOCK_DGRAM, gaierror = socket.AF_INET, socket.AF_INET6, socket.SOCK_DGRAM, socket.gaierror

    @staticmethod
    def getaddrinfo(*args):
        raise socket.gaierror(socket.EAI_NONAME, "unknown")


def test_construction_paths(monkeypatch, receiver, quiet_logger, o):
    host, prefix = fresh("127.0.0.1"), fresh("px")
    held = (host, prefix, *vars(o).values(), StatClient, *HEAP_TYPES)
    cases = [
        (lambda: StatClient(host, receiver.port, prefix, o.only_index, o.obj), None),
        (lambda: StatClient(host, o.my_int, prefix, o.frac, o.tags), None),
        (lambda: StatClient(host, receiver.port, o.sub_key), TypeError),
        (lambda: StatClient(o.bytes_key, receiver.port), TypeError),
        (lambda: StatClient(host, o.text_seven), TypeError),
        (lambda: StatClient(host, o.index_raises), Boom),
        (lambda: StatClient(host, o.neg), ValueError),
        (lambda: StatClient(host, receiver.port, maxudpsize=o.int_raises), Boom),
        (lambda: StatClient(host, receiver.port, ipv6=o.bool_raises), Boom),
    ]
    for call, exc in cases:
        assert_refcounts_stable(call if exc is None else raising(call, exc), *held)

    # unresolvable: a disabled client and a warning, or the logger's own failure
    monkeypatch.setattr(vstat, "socket", FakeSocketModule)
    assert_refcounts_stable(lambda: StatClient(host, o.my_int, prefix), *held)

    def warning(*args):
        raise Boom(args)

    monkeypatch.setattr(vstat, "logger", types.SimpleNamespace(warning=warning))
    assert_refcounts_stable(raising(lambda: StatClient(host, o.my_int, prefix), Boom), *held)


def test_disabled_client_paths(monkeypatch, quiet_logger, o):
    monkeypatch.setattr(vstat, "socket", FakeSocketModule)
    c = StatClient(fresh("h"), 1)
    assert c.statd_available is False
    monkeypatch.undo()
    for call in (lambda: c.inc(o.key, o.count, {o.count: o.str_raises}),
                 lambda: c.set(o.non_ascii, o.neg, o.items_raises),
                 lambda: c.timing(o.line_feed, o.only_float, o.obj)):
        assert_refcounts_stable(call, *watched(c, o))
    for call, exc in ((lambda: c.inc(o.sub_key, o.count), TypeError),
                      (lambda: c.set(o.key, o.index_raises, o.tags), Boom),
                      (lambda: c._prepare(o.key, o.text_seven, o.tags), AttributeError)):
        assert_refcounts_stable(raising(call, exc), *watched(c, o))


def test_decorator_paths(client, o):
    class Rec:
        def timing(self, key, delta, tags=None):
            pass

    class RecFails:
        def timing(self, key, delta, tags=None):
            raise Boom(key, tags)

    result = object()

    def func(*args, **kwargs):
        return result

    def fail(*args, **kwargs):
        raise Boom(args, kwargs)

    async def afail(*args, **kwargs):
        raise Boom(args, kwargs)

    rec, rec_fails = Rec(), RecFails()
    deco = vstat.timing(rec, o.key, o.tags)
    held = (rec, rec_fails, result, func, fail, afail, deco, client, *vars(o).values(), *HEAP_TYPES)
    cases = [
        (lambda: deco(afail)(o.count, x=o.obj).send(None), Boom),  # timed, then raising through
        (lambda: vstat.timing(rec_fails, o.key, o.tags)(afail)(o.obj).send(None), Boom),
        (lambda: deco(func)(o.count, x=o.obj), None),
        (lambda: vstat.timing(client, o.key, o.odd_tags)(func)(o.obj), None),
        (lambda: deco(fail)(o.count, x=o.obj), Boom),
        (lambda: vstat.timing(rec_fails, o.key, o.tags)(func)(o.obj), Boom),
        (lambda: vstat.timing(client, o.non_ascii, o.tags)(func)(o.obj), UnicodeEncodeError),
        (lambda: vstat.timing(client, o.key, {o.key: o.str_raises})(func)(), Boom),
        (lambda: vstat.timing(None, o.key)(func)(), AttributeError),
        (lambda: vstat.timing(rec, o.sub_key, o.tags), TypeError),
        (lambda: deco(func, fail), TypeError),
    ]
    for call, exc in cases:
        assert_refcounts_stable(call if exc is None else raising(call, exc), *held)


class Overrides(StatClient):
    """Every step replaced by a Python method that delegates: the slow path throughout."""

    def _gauge(self, stat, value, delta=False, tags=None):
        return super()._gauge(stat, value, delta=delta, tags=tags)

    def _send_stat(self, stat, value, tags=None):
        return super()._send_stat(stat, value, tags=tags)

    def _prepare(self, stat, value, tags=None):
        return super()._prepare(stat, value, tags=tags)

    def _build_tag(self, tag, value):
        return super()._build_tag(tag, value)

    def _after(self, data):
        return super()._after(data)

    def _send(self, data):
        return super()._send(data)


def test_overridden_steps(make_client, o):
    c = make_client(Overrides, prefix=fresh("px"))
    for call in (lambda: c.inc(o.key, o.count, o.odd_tags), lambda: c.set(o.key, o.neg, o.tags),
                 lambda: c.timing(o.key, o.only_float, o.pairs)):
        assert_refcounts_stable(call, *watched(c, o))
    for call, exc in ((lambda: c.inc(o.key, 1, {o.key: o.str_raises}), Boom),
                      (lambda: c.set(o.non_ascii, o.neg, o.tags), UnicodeEncodeError),
                      (lambda: c.timing(o.line_feed, 1.0, o.tags), ValueError)):
        assert_refcounts_stable(raising(call, exc), *watched(c, o))


# --- executor ----------------------------------------------------------------------------------

class Sink(DelayedBatchExecutor):
    """`run` does what `mode` says with each batch, and keeps nothing."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.mode = "ok"
        self.handed = 0
        self.count_lock = threading.Lock()

    def run(self, tasks):
        with self.count_lock:
            self.handed += len(tasks)
        if self.mode == "exception":
            raise Boom(tasks)
        if self.mode == "halt":
            raise Halt(tasks)


class LoopLogger:
    """The executors' logger for a worker loop driven on the test thread: the end text clears
    the flag, so `_batch()` returns after one iteration. `fail_on` makes one method raise."""

    def __init__(self):
        self.ex = None
        self.fail_on = None

    def debug(self, text):
        if self.fail_on == "start" and "start" in text:
            raise Boom(text)
        if " queue loop end. " in text:
            self.ex._is_running = False
            if self.fail_on == "end":
                raise Boom(text)

    def exception(self, *args):
        if self.fail_on == "exception":
            raise Boom(args)


@pytest.fixture
def loop_logger(monkeypatch):
    lg = LoopLogger()
    monkeypatch.setattr(vex, "logger", lg)
    return lg


def make_sink(loop_logger, **kwargs):
    ex = Sink(num_threads=1, batch_size=2, duration=0.0, **kwargs)
    loop_logger.ex = ex
    return ex


def one_iteration(ex, exc, args, kwargs):
    """Queue three tasks (a full batch and a remainder) and drive one worker iteration here."""
    def call():
        ex._is_running = True  # pretend started: add_task only queues
        ex.add_task(1, 2)  # the worker loop never looks inside its tasks
        ex.add_task(*args, **kwargs)
        ex.add_task(args=args)
        if exc is None:
            assert ex._batch() is None
        else:
            with pytest.raises(exc):
                ex._batch()
        ex._is_running = False
        # a dying worker loop still counts itself out and leaves the lock free
        assert ex._num_running_threads == 0 and not ex._lock.locked()
        ex._queue.queue.clear()  # what a dead loop left behind

    return call


@pytest.mark.parametrize("mode, fail_on, exc, taken", [
    ("ok", None, None, 3),
    ("exception", None, None, 3),  # caught and logged; the iteration goes on
    ("exception", "exception", Boom, 2),  # the logger fails inside the handler
    ("halt", None, Halt, 2),  # not an Exception: the worker loop ends
    ("ok", "end", Boom, 3),
    ("ok", "start", Boom, 0),  # ends before taking anything
], ids=["ok", "run raises", "logger.exception raises", "run raises BaseException", "debug raises at the end",
        "debug raises at the start"])
def test_worker_loop_paths(loop_logger, mode, fail_on, exc, taken):
    ex = make_sink(loop_logger)
    ex.mode, loop_logger.fail_on = mode, fail_on
    a, b, kw_value = object(), [fresh("x")], fresh("kw")
    call = one_iteration(ex, exc, (a, b), {fresh("name"): kw_value})
    call()
    assert ex.handed == taken
    assert_refcounts_stable(call, ex, a, b, kw_value, *HEAP_TYPES)


@pytest.mark.parametrize("attr, value", [("batch_size", EqRaises()), ("duration", fresh("0.1"))],
                         ids=["batch_size comparison raises", "duration not a number"])
def test_worker_loop_broken_attributes(loop_logger, attr, value):
    ex = make_sink(loop_logger)
    setattr(ex, attr, value)
    exc = Boom if attr == "batch_size" else TypeError
    a = object()

    def call():
        ex._is_running = True
        ex.add_task(a)
        with pytest.raises(exc):
            ex._batch()
        assert ex._num_running_threads == 0 and not ex._lock.locked()

    assert_refcounts_stable(call, ex, a, value, *HEAP_TYPES)


def test_executor_call_errors(loop_logger):
    ex = make_sink(loop_logger)
    a, name = object(), fresh("k")
    held = (ex, a, name, Sink, *HEAP_TYPES)
    cases = [
        (lambda: ex.add_task(a, self=a), TypeError),  # nothing is queued
        (lambda: ex.add_task(a, **{name: a, "self": a}), TypeError),
        (lambda: ex._batch(a), TypeError),
        (lambda: ex.wait_until_empty(a), TypeError),
        (lambda: ex.shutdown(a), TypeError),
        (lambda: DelayedBatchExecutor.run(ex, (a,)), TypeError),
        (lambda: DelayedBatchExecutor.run(ex, [a]), NotImplementedError),
        (lambda: Sink(a), TypeError),
        (lambda: Sink(batch_size=name), TypeError),
        (lambda: Sink(IntRaises()), Boom),
        (lambda: Sink(batch_size=IndexRaises()), Boom),
        (lambda: Sink(duration=FloatRaises()), Boom),
        (lambda: Sink(duration=name), TypeError),
        (lambda: Sink(1, 2, 3, a), TypeError),
    ]
    for call, exc in cases:
        assert_refcounts_stable(raising(call, exc), *held)
    assert ex._queue.empty()
    # constructor conversions on the way in
    assert_refcounts_stable(lambda: Sink(OnlyIndex(2), MyInt(3), OnlyFloat(0.5)), *held)


def test_real_workers_release_everything(monkeypatch):
    # tasks through real pool threads, some batches failing; after the shutdown nothing is held
    monkeypatch.setattr(vex, "logger", types.SimpleNamespace(debug=len, exception=lambda *a: None))
    ex = Sink(num_threads=2, batch_size=7, duration=0.001)
    a, kw_value = object(), fresh("v")
    n = max(1000, int(10_000 * SCALE))
    before = (sys.getrefcount(a), sys.getrefcount(kw_value), sys.getrefcount(Boom))
    try:
        for i in range(n):
            ex.mode = "exception" if i % 97 == 0 else "ok"
            ex.add_task(a, i, k=kw_value)
        bounded(ex.wait_until_empty)
    finally:
        bounded(ex.shutdown)
    assert ex.handed == n
    gc.collect()
    assert (sys.getrefcount(a), sys.getrefcount(kw_value), sys.getrefcount(Boom)) == before


# --- collection --------------------------------------------------------------------------------

def assert_collected(make):
    """`make()` returns the objects to watch; after dropping them and a collection, all are gone."""
    refs = [weakref.ref(x) for x in make()]
    gc.collect()
    alive = [r() for r in refs if r() is not None]
    assert alive == []


class MyClient(StatClient):
    pass


@pytest.mark.parametrize("cls", [StatClient, MyClient])
@pytest.mark.parametrize("how", ["plain", "in its own tags", "tags hold its send method", "prefix cycle"])
def test_clients_are_collected(receiver, cls, how):
    def make():
        c = cls("127.0.0.1", receiver.port, "p")
        if how == "in its own tags":
            c.tags = {"me": c, "again": [c]}
            c.inc("k", 1, c.tags)
            c.set("k", -1, c.tags)
        elif how == "tags hold its send method":
            c.tags = {"send": c._send}
            c.timing("k", 0.5, c.tags)
        elif how == "prefix cycle":
            c.keep = c
            c._prefix = "q"  # an attribute changed after use: cached lookups must not pin anything
            c.inc("k")
        c.inc("k", 1, {"n": 1})
        return c, c._sock

    assert_collected(make)
    receiver.drain()


def test_disabled_client_in_its_own_tags_is_collected(monkeypatch, quiet_logger):
    monkeypatch.setattr(vstat, "socket", FakeSocketModule)

    def make():
        c = StatClient("h", 1)
        c.tags = {"me": c}
        c.inc("k", 1, c.tags)
        return (c,)

    assert_collected(make)


@pytest.mark.parametrize("how", ["closure", "own __dict__", "annotations", "captured tags", "captured client",
                                 "method of a class", "decorator captures itself"])
def test_function_objects_are_collected(how):
    class Client:
        def timing(self, key, delta, tags=None):
            pass

    def make():
        client, tags = Client(), {"t": 1}
        deco = vstat.timing(client, "k", tags)
        box = []

        def func(*args):
            return box

        wrapped = deco(func)
        if how == "closure":
            box.append(wrapped)
        elif how == "own __dict__":
            wrapped.me = wrapped
        elif how == "annotations":
            wrapped.__annotations__["r"] = wrapped
        elif how == "captured tags":
            tags["w"] = wrapped
            tags["d"] = deco
        elif how == "captured client":
            client.deco, client.wrapped = deco, wrapped
        elif how == "method of a class":
            holder = type("Holder", (), {"m": wrapped})
            holder.self = holder
            holder().m()
            box.append(holder)
        elif how == "decorator captures itself":
            tags["deco"] = deco
        wrapped(1)
        return deco, wrapped, func, client

    assert_collected(make)


def test_executor_referenced_from_its_tasks_is_collected(monkeypatch):
    monkeypatch.setattr(vex, "logger", types.SimpleNamespace(debug=len, exception=lambda *a: None))
    monkeypatch.setattr(sys, "unraisablehook", lambda args: None)  # the dying loop's report

    class Keeper(DelayedBatchExecutor):
        def run(self, tasks):
            self.kept = tasks  # executor -> list -> task -> executor
            if tasks[0].kwargs.get("halt"):
                raise Halt(self)  # lands in a future the pool drops

    def ran_and_stopped():
        ex = Keeper(num_threads=2, duration=0.001)
        ex.add_task(ex, run=ex.run)
        bounded(ex.wait_until_empty)
        bounded(ex.shutdown)
        return ex, ex.executor

    def failed_start():
        ex = Keeper(num_threads=0)
        with pytest.raises(ValueError):
            ex.add_task(ex)  # stays queued: executor -> queue -> task -> executor
        return (ex,)

    def workers_died():
        ex = Keeper(num_threads=1, duration=0.001)
        ex.add_task(ex, halt=True)
        pool = ex.executor
        bounded(pool.shutdown)  # returns once the only worker loop is gone
        ex.add_task(ex)  # marked running, so only queued: nobody will take it
        bounded(ex.shutdown)
        return ex, pool

    for make in (ran_and_stopped, failed_start, workers_died):
        assert_collected(make)


# --- memory over a long mixed run --------------------------------------------------------------

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def mixed_calls(receiver, loop_logger):
    c = StatClient("127.0.0.1", receiver.port, "svc")  # real datagrams, dropped once the buffer fills
    n = StatClient("127.0.0.1", receiver.port, "svc")
    n._sock = NullSock()
    f = StatClient("127.0.0.1", receiver.port)
    f._sock = FailingSock()
    o = Overrides("127.0.0.1", receiver.port)
    o._sock = NullSock()
    tags = {"region": "eu", "n": 10 ** 20, "x": None, "t": Text("v"), "f": 0.25}
    odd = Tags({"a": OnlyIndex(3), "b": MyStr("s")})
    bad = {"t": StrRaises()}
    wrapped = vstat.timing(n, "w", tags)(len)
    ex = Sink(duration=0.0, batch_size=3)
    loop_logger.ex = ex  # the worker loop is driven on this thread; its end text stops it

    def drive_executor():
        ex._is_running = True
        ex.add_task(1, k=tags)
        ex.add_task(2)
        ex.add_task(3)
        ex.add_task(4)
        ex.mode = "exception"
        ex._batch()

    def expect(call, exc):
        try:
            call()
        except exc:
            pass

    common = [
        lambda: n.inc("requests", 10 ** 30, tags),
        lambda: n.set("depth", -7, odd),
        lambda: n.timing("db", 0.125, tags),
        lambda: n.timing("db", OnlyFloat(1.5)),
        lambda: wrapped("abc"),
        lambda: n._build_tag("t", 1.5),
    ]
    rare = [
        lambda: c.inc("requests", 1, tags),
        lambda: o.inc("over", 2, odd),
        lambda: o.set("over", -3, tags),
        lambda: expect(lambda: f.inc("fail", 1, tags), OSError),
        lambda: expect(lambda: n.inc("caf\u00e9", 1, tags), UnicodeEncodeError),
        lambda: expect(lambda: n.set("a\nb", -1), ValueError),
        lambda: expect(lambda: n.inc("k", 1, bad), Boom),
        lambda: expect(lambda: n.inc("k", IndexRaises()), Boom),
        lambda: expect(lambda: n.inc(b"k"), TypeError),
        lambda: expect(lambda: n.inc("k", 1, {1: 2}), TypeError),
        lambda: expect(lambda: o.timing("k", "x"), TypeError),
        lambda: expect(lambda: StatClient("127.0.0.1", "x"), TypeError),
        lambda: expect(lambda: Sink(duration=FloatRaises()), Boom),
        drive_executor,
    ]
    # mostly the common operations, every rare path once in each round
    return [call for r in rare for call in (*common, r)]


def test_memory_is_flat_over_a_long_mixed_run(receiver, loop_logger):
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the sanitizer's quarantine holds freed memory; its leak checker covers this build")
    calls = mixed_calls(receiver, loop_logger)

    def run(n):
        for call in itertools.islice(itertools.cycle(calls), n):
            call()

    total = max(len(calls) * 100, int(1_000_000 * SCALE))
    run(total // 10)  # warm-up: caches, freelists and arenas settle
    gc.collect()
    rss0, blocks0 = rss(), sys.getallocatedblocks()
    run(total)
    gc.collect()
    grown, blocks = rss() - rss0, sys.getallocatedblocks() - blocks0
    # a leak of one small object per call would be megabytes here
    assert blocks < 2000, f"{blocks} more memory blocks after {total} calls"
    assert grown < 8 * 2 ** 20, f"RSS grew by {grown / 2 ** 20:.1f} MiB over {total} calls"
