"""The timing decorator: what it reports, on which clock, what it hands back,
and what it looks like to introspection."""
import asyncio
import contextlib
import functools
import gc
import inspect

import pytest

import vantor.common.stat as vstat
from vantor.common.stat import StatClient

try:  # what tools read annotations with: annotationlib from 3.14 on
    from annotationlib import get_annotations
except ImportError:
    from inspect import get_annotations


class FakeClock:
    def __init__(self, *values):
        self.values = list(values)
        self.reads = 0

    def time(self):
        self.reads += 1
        return self.values.pop(0)


@pytest.fixture
def clock(monkeypatch):
    def install(*values):
        fake = FakeClock(*values)
        monkeypatch.setattr(vstat, "time", fake)
        return fake

    return install


class RecordingClient:
    def __init__(self, raises=None):
        self.calls, self.raises = [], raises

    def timing(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.raises is not None:
            raise self.raises


@pytest.fixture
def rec():
    return RecordingClient()


class TestReporting:
    def test_reports_the_clock_difference(self, clock, rec):
        clock(100.0, 100.25)
        tags = {"a": "b"}
        assert vstat.timing(rec, "k", tags)(lambda: "r")() == "r"
        assert rec.calls == [(("k", 0.25), {"tags": tags})]
        assert rec.calls[0][1]["tags"] is tags

    def test_through_a_real_client(self, clock, client, receiver):
        clock(100.0, 100.25, 7.0, 6.5)
        wrapped = vstat.timing(client, "k", {"a": "b"})(lambda: None)
        wrapped()
        wrapped()  # a clock that steps back is reported as it comes
        assert receiver.drain() == [b"k,a=b:0.250000|h", b"k,a=b:-0.500000|h"]

    def test_disabled_client_still_returns_the_result(self, disabled_client):
        marker = object()
        assert vstat.timing(disabled_client, "k", {1: 2})(lambda: marker)() is marker

    @pytest.mark.parametrize("result", [None, object(), [1, 2]])
    def test_returns_the_very_result(self, clock, rec, result):
        clock(1.0, 2.0)
        assert vstat.timing(rec, "k")(lambda: result)() is result
        assert rec.calls == [(("k", 1.0), {"tags": None})]

    def test_arguments_are_passed_on_unchanged(self, clock, rec):
        clock(1.0, 2.0)
        seen = []
        vstat.timing(rec, "k")(lambda *a, **kw: seen.append((a, kw)))(1, 2, x=3)
        assert seen == [((1, 2), {"x": 3})]

    def test_raising_function_reports_nothing(self, clock, rec):
        fake = clock(1.0, 2.0)
        err = ValueError("inner")

        def fail():
            raise err

        with pytest.raises(ValueError) as info:
            vstat.timing(rec, "k")(fail)()
        assert info.value is err
        assert rec.calls == [] and fake.reads == 1

    def test_report_failure_propagates_after_the_call(self, clock):
        clock(1.0, 2.0)
        ran = []
        wrapped = vstat.timing(None, "k")(lambda: ran.append(1) or "lost")
        with pytest.raises(AttributeError):
            wrapped()
        assert ran == [1]

    def test_bad_tags_fail_only_when_encoded(self, clock, client, receiver):
        clock(1.0, 2.0)
        wrapped = vstat.timing(client, "k", 5)(lambda: None)
        with pytest.raises(AttributeError):
            wrapped()
        assert receiver.drain() == []

    def test_clock_global_is_looked_up_per_call(self, clock, rec):
        wrapped = vstat.timing(rec, "k")(lambda: None)
        clock(1.0, 2.0)
        wrapped()
        clock(10.0, 10.5)
        wrapped()
        assert [a[1] for a, _ in rec.calls] == [1.0, 0.5]

    def test_nested_calls_report_their_own_durations(self, clock, rec):
        clock(0.0, 1.0, 3.0, 6.0)
        deco = vstat.timing(rec, "k")
        inner = deco(lambda: None)
        outer = deco(lambda: inner())
        outer()
        assert [a[1] for a, _ in rec.calls] == [2.0, 6.0]

    def test_one_decorator_two_functions_and_live_tags(self, clock, rec):
        clock(0.0, 1.0, 0.0, 2.0)
        tags = {"a": 1}
        deco = vstat.timing(rec, "k", tags)
        f, g = deco(lambda: "f"), deco(lambda: "g")
        assert f is not g
        f()
        tags["b"] = 2
        g()
        assert rec.calls == [(("k", 1.0), {"tags": tags}), (("k", 2.0), {"tags": tags})]
        assert all(kw["tags"] is tags for _, kw in rec.calls)

    def test_key_is_checked_at_once(self, rec):
        with pytest.raises(TypeError, match="Argument 'key'"):
            vstat.timing(rec, b"k")
        vstat.timing(rec, "k", tags=5)  # tags are not checked here


async def returns_five():
    await asyncio.sleep(0)
    return 5


async def job(outcome):
    await asyncio.sleep(60 if outcome == "cancelled" else 0)
    if outcome == "raises":
        raise KeyError("inner")
    return 5


async def run_as_task(coroutine, cancel):
    task = asyncio.ensure_future(coroutine)
    await asyncio.sleep(0)
    if cancel:
        task.cancel()
    return await task


async def awaited_in_place(coroutine, cancel):
    return await coroutine


def closed_while_waiting(coroutine, cancel):
    assert coroutine.send(None) is None  # at asyncio.sleep(0)'s yield
    coroutine.close()
    return "closed"


def left_waiting(coroutine, cancel):
    coroutine.send(None)  # then freed by the test: closed, as the interpreter's coroutines are
    return "closed"


SHARED = KeyError("shared")


async def stubborn():
    try:
        await asyncio.sleep(0)
    except GeneratorExit:
        await asyncio.sleep(0)  # yields again when closed


async def raises_shared():
    await asyncio.sleep(0)
    raise SHARED


class Steps:
    """What a function marked as a coroutine function may return: an awaitable whose iterator has
    no throw() or close()."""
    def __await__(self):
        return iter([None])


def finished(c):
    with pytest.raises(StopIteration):
        c.send(None)
    return c


# (function, what is done to the coroutine after its first step): each row run on a timed
# coroutine and on the coroutine of the same wrapper written in Python, reporting in its finally
STEPS = {
    "throw into an ended one": (returns_five, lambda c: finished(c).throw(KeyError("late"))),
    "throw a bad argument into an ended one": (returns_five, lambda c: finished(c).throw(KeyError("a"), "b")),
    "throw GeneratorExit: closes what it awaits": (returns_five, lambda c: c.throw(GeneratorExit)),
    "throw GeneratorExit: the await ignores it": (stubborn, lambda c: c.throw(GeneratorExit)),
    "the report raises the exception in flight": (raises_shared, lambda c: c.send(None)),
    "throw an instance with a value past an await without throw":
        (Steps, lambda c: c.throw(KeyError("a"), "b")),
    "throw with a bad traceback past an await without throw": (Steps, lambda c: c.throw(KeyError, None, 5)),
}


def python_async_timing(client, key):
    """The coroutine function's wrapper written in Python: it reports in a finally."""
    def decorator(func):
        async def wrapped():
            try:
                return await func()
            finally:
                client.timing(key, 0.0)
        return wrapped
    return decorator


def outcome_of(make, step):
    c = make()
    c.send(None)
    SHARED.__context__ = None
    try:
        return "returned", step(c)
    except BaseException as e:  # compared below, whatever it is
        return type(e), str(e), e.__context__ is e
    finally:
        del c
        gc.collect()


DRIVERS = {"task": lambda c, cancel: asyncio.run(run_as_task(c, cancel)),
           "await": lambda c, cancel: asyncio.run(awaited_in_place(c, cancel)),
           "closed": closed_while_waiting, "freed": left_waiting}


class TestGeneratorsAndCoroutines:
    @pytest.mark.parametrize("driver, outcome, result", [
        ("task", "returns", 5), ("task", "raises", KeyError), ("task", "cancelled", asyncio.CancelledError),
        ("await", "returns", 5), ("await", "raises", KeyError),
        ("closed", "returns", "closed"), ("freed", "returns", "closed")])
    def test_coroutine_is_timed_from_the_call_until_its_await_ends(self, clock, rec, driver, outcome, result):
        fake = clock(0.0, 1.0)
        wrapped = vstat.timing(rec, "k")(job)
        assert inspect.iscoroutinefunction(wrapped)
        c = wrapped(outcome)
        assert fake.reads == 1 and inspect.isawaitable(c) and asyncio.iscoroutine(c)
        with pytest.raises(result) if isinstance(result, type) else contextlib.nullcontext():
            assert DRIVERS[driver](c, outcome == "cancelled") == result
        del c
        assert rec.calls == [(("k", 1.0), {"tags": None})] and fake.reads == 2

    @pytest.mark.filterwarnings("ignore:the \\(type, exc, tb\\) signature:DeprecationWarning")  # 3.12 on
    @pytest.mark.parametrize("row", list(STEPS))
    def test_coroutine_steps_as_the_wrapper_written_in_python(self, row):
        func, step = STEPS[row]
        if func is Steps:
            if not hasattr(inspect, "markcoroutinefunction"):
                pytest.skip("a function is marked as a coroutine function from 3.12 on")
            func = inspect.markcoroutinefunction(lambda: Steps())
        outcomes = []
        for timed in (vstat.timing, python_async_timing):
            client = RecordingClient(SHARED if func is raises_shared else None)
            outcomes.append((outcome_of(timed(client, "k")(func), step), len(client.calls)))
        assert outcomes[0] == outcomes[1]

    @pytest.mark.skipif(not hasattr(inspect, "markcoroutinefunction"), reason="from 3.12 on")
    def test_coroutine_of_an_awaitable_is_named_after_the_function(self, rec):
        def make_steps():
            return Steps()

        c = vstat.timing(rec, "k")(inspect.markcoroutinefunction(make_steps))()
        assert "make_steps" in repr(c) and c.__qualname__.endswith("make_steps")
        c.close()

    @pytest.mark.parametrize("ending", ["dropped", "closed"])
    def test_coroutine_never_awaited_is_not_timed(self, clock, rec, ending):
        fake = clock(0.0)
        c = vstat.timing(rec, "k")(job)("returns")
        if ending == "closed":
            c.close()
            del c
        else:
            with pytest.warns(RuntimeWarning, match="coroutine 'job' was never awaited"):
                del c
                gc.collect()
        assert rec.calls == [] and fake.reads == 1

    def test_generator_is_timed_at_creation_only(self, clock, rec):
        fake = clock(0.0, 1.0)

        def gen():
            yield 1
            yield 2

        async def agen():
            yield 1

        wrapped = vstat.timing(rec, "k")(gen)
        it = wrapped()
        assert inspect.isgenerator(it) and fake.reads == 2
        assert list(it) == [1, 2] and fake.reads == 2
        assert rec.calls == [(("k", 1.0), {"tags": None})]
        assert not inspect.isgeneratorfunction(wrapped)
        assert not inspect.iscoroutinefunction(vstat.timing(rec, "k")(agen))  # timed at the call too


def sync_target(a: int, b: "str" = "x") -> float:
    """Target doc."""


async def async_target(a: int, b: "str" = "x") -> float:
    """Target doc."""


class TestShape:
    @pytest.mark.parametrize("target", [sync_target, async_target])
    def test_wrapper_takes_over_the_function_identity(self, rec, target):
        target.extra = "kept"
        wrapped = vstat.timing(rec, "k")(target)
        assert inspect.iscoroutinefunction(wrapped) is inspect.iscoroutinefunction(target)
        assert inspect.signature(wrapped) == inspect.signature(target)
        # from 3.14 on functools.wraps copies __annotate__, from which __annotations__ then come
        lazy = ("__annotate__",) if hasattr(target, "__annotate__") else ()
        for attr in ("__name__", "__qualname__", "__doc__", "__module__", "__annotations__") + lazy:
            assert getattr(wrapped, attr) == getattr(target, attr)
        assert wrapped.__wrapped__ is target and wrapped.extra == "kept"
        assert get_annotations(wrapped) == get_annotations(target) == {"a": int, "b": "str", "return": float}

    def test_wrapper_identity_when_the_callable_has_none(self, rec):
        part = functools.partial(max, 3)
        wrapped = vstat.timing(rec, "k")(part)
        assert wrapped.__name__ == "wrapped_function"
        assert wrapped.__qualname__ == "timing.<locals>.timing_decorator.<locals>.wrapped_function"
        assert wrapped.__annotations__ == {"args": "Any", "kwargs": "Any", "return": "Any"}
        assert wrapped.__wrapped__ is part and wrapped(5) == 5

    def test_decorator_identity(self, rec):
        deco = vstat.timing(rec, "k")
        assert deco.__name__ == "timing_decorator"
        assert deco.__qualname__ == "timing.<locals>.timing_decorator"
        assert deco.__module__ == "vantor.common.stat"
        assert deco.__doc__ is None
        assert deco.__annotations__ == {"func": "Any", "return": "Any"}
        assert deco is not vstat.timing(rec, "k")

    @pytest.mark.parametrize("target, result", [(lambda: 4, 4), (returns_five, 5)],
                             ids=["function", "coroutine function"])
    def test_wraps_global_is_looked_up_when_decorating(self, monkeypatch, rec, target, result):
        seen = []

        def fake_wraps(func):
            seen.append(func)
            return lambda wrapper: ("marked", wrapper)

        monkeypatch.setattr(vstat, "wraps", fake_wraps)
        tag, raw = vstat.timing(rec, "k")(target)
        assert seen == [target] and tag == "marked"
        assert raw.__name__ == "wrapped_function" and raw.__doc__ is None and raw.__module__ == "vantor.common.stat"
        assert raw.__qualname__ == "timing.<locals>.timing_decorator.<locals>.wrapped_function"
        assert get_annotations(raw) == {"args": "Any", "kwargs": "Any", "return": "Any"}
        assert (asyncio.run(raw()) if inspect.iscoroutinefunction(raw) else raw()) == result

    def test_decorated_methods_bind_their_instance(self, clock, rec):
        clock(0.0, 1.0)

        class Service:
            @vstat.timing(rec, "svc.call")
            def call(self, x):
                return (self, x)

        s = Service()
        assert vars(Service)["call"] is Service.call
        assert s.call.__self__ is s
        assert s.call(7) == (s, 7)
        assert rec.calls == [(("svc.call", 1.0), {"tags": None})]

    def test_stat_client_methods_can_be_wrapped(self, clock, client, receiver):
        clock(0.0, 0.5)
        timed_inc = vstat.timing(client, "outer")(StatClient.inc)
        assert timed_inc.__qualname__ == "StatClient.inc"
        timed_inc(client, "inner")
        assert receiver.drain() == [b"inner:+1|g", b"outer:0.500000|h"]
