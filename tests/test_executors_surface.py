"""What vantor.common.executors defines on import, how its functions present
themselves and bind their arguments, the constructor, and the task records
that add_task queues."""
import abc
import collections
import concurrent.futures
import pickle
import queue
import threading
import time
import types
import typing
from decimal import Decimal

import pytest

import vantor.common.executors as vex
from vantor.common.executors import DelayedBatchExecutor, Task

GLOBALS_IN_ORDER = [
    "ABC", "abstractmethod", "namedtuple", "ThreadPoolExecutor", "Empty", "Queue", "Lock",
    "get_ident", "sleep", "time", "Any", "List", "LogUtils", "logger", "Task",
    "DelayedBatchExecutor",
]


class Ex(DelayedBatchExecutor):
    def run(self, tasks):
        pass


@pytest.fixture
def queued_only():
    """An executor that believes it is running, so add_task only queues."""
    ex = Ex()
    ex._is_running = True
    return ex


class TestModule:
    def test_globals_are_bound_in_order(self):
        assert [n for n in vars(vex) if n in GLOBALS_IN_ORDER] == GLOBALS_IN_ORDER

    def test_imported_names_are_the_standard_objects(self):
        from vantor.common.utils import LogUtils

        assert (vex.ABC, vex.abstractmethod) == (abc.ABC, abc.abstractmethod)
        assert vex.namedtuple is collections.namedtuple
        assert vex.ThreadPoolExecutor is concurrent.futures.ThreadPoolExecutor
        assert (vex.Empty, vex.Queue) == (queue.Empty, queue.Queue)
        assert (vex.Lock, vex.get_ident) == (threading.Lock, threading.get_ident)
        # `time` is the clock function here, not the module
        assert (vex.sleep, vex.time) == (time.sleep, time.time)
        assert (vex.Any, vex.List) == (typing.Any, typing.List)
        assert vex.LogUtils is LogUtils
        assert vex.logger.name == "vantor.common.executors"
        assert vex.__doc__ is None

    def test_task_record(self):
        assert Task.__name__ == "Task" and Task.__module__ == "vantor.common.executors"
        assert Task._fields == ("args", "kwargs")
        t = Task((1, 2), {"x": 3})
        assert t == ((1, 2), {"x": 3}) and t.args == (1, 2) and t.kwargs == {"x": 3}
        assert pickle.loads(pickle.dumps(t)) == t
        assert type(pickle.loads(pickle.dumps(t))) is Task


class TestClass:
    def test_shape(self):
        assert type(DelayedBatchExecutor) is abc.ABCMeta
        assert DelayedBatchExecutor.__bases__ == (abc.ABC,)
        assert DelayedBatchExecutor.__module__ == "vantor.common.executors"
        assert DelayedBatchExecutor.__qualname__ == "DelayedBatchExecutor"
        assert DelayedBatchExecutor.__doc__ is None
        assert DelayedBatchExecutor.__abstractmethods__ == frozenset({"run"})
        assert "__slots__" not in vars(DelayedBatchExecutor)
        own = [n for n in vars(DelayedBatchExecutor) if n != "_abc_impl"]
        assert [n for n in own if not n.startswith("__") or n == "__init__"] == [
            "__init__", "add_task", "wait_until_empty", "shutdown", "_batch", "run"]

    def test_only_a_subclass_with_run_can_be_instantiated(self):
        with pytest.raises(TypeError, match="abstract"):
            DelayedBatchExecutor()
        with pytest.raises(TypeError, match="abstract"):
            type("NoRun", (DelayedBatchExecutor,), {})()
        ex = Ex()
        ex.extra = "subclasses keep their own attributes"
        assert vars(ex)["extra"] == ex.extra

    def test_fresh_instance(self):
        ex = Ex()
        assert list(vars(ex)) == ["_queue", "_is_running", "num_threads", "batch_size", "duration",
                                  "_num_running_threads", "_lock"]
        assert (ex.num_threads, ex.batch_size, ex.duration) == (1, 100, 0.1)
        assert ex._is_running is False and ex._num_running_threads == 0
        assert type(ex._queue) is queue.Queue and ex._queue.empty() and ex._queue.maxsize == 0
        assert type(ex._lock) is type(threading.Lock()) and not ex._lock.locked()
        assert not hasattr(ex, "executor")

    def test_constructor_uses_the_current_module_globals(self, monkeypatch):
        class MyQueue(queue.Queue):
            pass

        locks = []
        monkeypatch.setattr(vex, "Queue", MyQueue)
        monkeypatch.setattr(vex, "Lock", lambda: locks.append(threading.Lock()) or locks[-1])
        ex = Ex()
        assert type(ex._queue) is MyQueue and locks == [ex._lock]


def Index(v):
    return type("Index", (), {"__index__": lambda self: v})()


IntSub = type("IntSub", (int,), {})
CONVERSIONS = [
    ({}, (1, 100, 0.1)),
    ({"num_threads": 2.9}, (2, 100, 0.1)),
    ({"num_threads": -2.9}, (-2, 100, 0.1)),
    ({"batch_size": True}, (1, 1, 0.1)),
    ({"num_threads": IntSub(4), "batch_size": Decimal("7.9")}, (4, 7, 0.1)),
    ({"num_threads": Index(5)}, (5, 100, 0.1)),
    ({"batch_size": 2 ** 70}, (1, 2 ** 70, 0.1)),
    ({"num_threads": 0, "batch_size": -5, "duration": -1.5}, (0, -5, -1.5)),
    ({"duration": 1}, (1, 100, 1.0)),
    ({"duration": True}, (1, 100, 1.0)),
    ({"duration": Index(3)}, (1, 100, 3.0)),
]


@pytest.mark.parametrize("kwargs, expected", CONVERSIONS)
def test_constructor_conversions(kwargs, expected):
    positional = [kwargs.get(n, d) for n, d in zip(("num_threads", "batch_size", "duration"), expected)]
    for ex in (Ex(**kwargs), Ex(*positional)):
        got = (ex.num_threads, ex.batch_size, ex.duration)
        assert got == expected and [type(v) for v in got] == [int, int, float]


CONSTRUCTOR_ERRORS = [
    ({"num_threads": "3"}, TypeError,
     "Argument 'num_threads' has incorrect type (expected int, got str)"),
    ({"num_threads": None}, TypeError,
     "Argument 'num_threads' has incorrect type (expected int, got NoneType)"),
    ({"batch_size": [1]}, TypeError,
     "Argument 'batch_size' has incorrect type (expected int, got list)"),
    ({"num_threads": "x", "batch_size": "y"}, TypeError,
     "Argument 'num_threads' has incorrect type (expected int, got str)"),
    ({"num_threads": 2, "batch_size": 3, "duration": "0.5"}, TypeError, None),
    ({"duration": None}, TypeError, None),
    ({"num_threads": float("nan")}, ValueError, None),
    ({"bogus": 1}, TypeError, "__init__() got an unexpected keyword argument 'bogus'"),
]


@pytest.mark.parametrize("kwargs, exc, message", CONSTRUCTOR_ERRORS)
def test_constructor_errors_store_nothing(kwargs, exc, message):
    ex = Ex.__new__(Ex)
    with pytest.raises(exc) as info:
        ex.__init__(**kwargs)
    if message is not None:
        assert str(info.value) == message
    assert vars(ex) == {}


BINDING = [
    (lambda ex: Ex(1, 2, 3, 4), "__init__() takes at most 4 positional arguments (5 given)"),
    (lambda ex: Ex(2, num_threads=3), "__init__() got multiple values for keyword argument 'num_threads'"),
    (lambda ex: DelayedBatchExecutor.__init__(), "__init__() takes at least 1 positional argument (0 given)"),
    (lambda ex: ex.add_task(1, self=2), "add_task() got multiple values for keyword argument 'self'"),
    (lambda ex: DelayedBatchExecutor.add_task(), "add_task() takes at least 1 positional argument (0 given)"),
    (lambda ex: ex.wait_until_empty(1), "wait_until_empty() takes exactly 1 positional argument (2 given)"),
    (lambda ex: ex.wait_until_empty(timeout=1), "wait_until_empty() got an unexpected keyword argument 'timeout'"),
    (lambda ex: ex.shutdown(True), "shutdown() takes exactly 1 positional argument (2 given)"),
    (lambda ex: ex._batch(None), "_batch() takes exactly 1 positional argument (2 given)"),
    (lambda ex: DelayedBatchExecutor.run(ex), "run() takes exactly 2 positional arguments (1 given)"),
    (lambda ex: DelayedBatchExecutor.run(ex, (1,)),
     "Argument 'tasks' has incorrect type (expected list, got tuple)"),
    (lambda ex: DelayedBatchExecutor.run(ex, None),
     "Argument 'tasks' has incorrect type (expected list, got NoneType)"),
    (lambda ex: DelayedBatchExecutor.run(ex, type("MyList", (list,), {})()),
     "Argument 'tasks' has incorrect type (expected list, got MyList)."
     " Subclasses of built-in types are not accepted."),
]


@pytest.mark.parametrize("call, message", BINDING, ids=[m.split(" ")[0] + str(i) for i, (_, m) in enumerate(BINDING)])
def test_binding_errors(queued_only, call, message):
    with pytest.raises(TypeError) as info:
        call(queued_only)
    assert str(info.value) == message
    # a rejected call has no effect on the executor
    assert queued_only._queue.empty() and queued_only._is_running is True


def test_class_run_raises_not_implemented_for_a_list():
    class Super(DelayedBatchExecutor):
        def run(self, tasks):
            return super().run(tasks)

    for call in (lambda: DelayedBatchExecutor.run(Ex(), []), lambda: Super().run([Task((), {})])):
        with pytest.raises(NotImplementedError) as info:
            call()
        assert type(info.value) is NotImplementedError and info.value.args == ()


# name -> (annotations in order, __defaults__)
INTROSPECTION = {
    "__init__": ({"num_threads": "int", "batch_size": "int", "duration": "float", "return": "None"},
                 (1, 100, 0.1)),
    "add_task": ({"args": "Any", "kwargs": "Any", "return": "None"}, None),
    "wait_until_empty": ({"return": "None"}, None),
    "shutdown": ({"return": "None"}, None),
    "_batch": ({"return": "None"}, None),
    "run": ({"tasks": "List", "return": "Any"}, None),
}


@pytest.mark.parametrize("name", list(INTROSPECTION))
def test_introspection(name):
    annotations, defaults = INTROSPECTION[name]
    f = vars(DelayedBatchExecutor)[name]
    assert (f.__name__, f.__qualname__) == (name, f"DelayedBatchExecutor.{name}")
    assert f.__module__ == "vantor.common.executors"
    assert f.__doc__ is None
    assert list(f.__annotations__.items()) == list(annotations.items())
    assert f.__defaults__ == defaults
    if defaults:
        assert [type(d) for d in f.__defaults__] == [int, int, float]
    assert getattr(f, "__isabstractmethod__", False) is (name == "run")
    ex = Ex()
    bound = getattr(ex, name) if name != "run" else DelayedBatchExecutor.run.__get__(ex)
    assert isinstance(bound, types.MethodType) and bound.__func__ is f and bound.__self__ is ex


class TestTaskIntake:
    @pytest.mark.parametrize("args, kwargs", [
        ((), {}),
        ((1, 2), {"x": 3}),
        ((None,), {"args": 1, "kwargs": 2}),  # the star parameters' own names are ordinary keys
    ])
    def test_queued_record(self, queued_only, args, kwargs):
        assert queued_only.add_task(*args, **kwargs) is None
        task = queued_only._queue.get_nowait()
        assert type(task) is Task and task == (args, kwargs)
        assert type(task.args) is tuple and type(task.kwargs) is dict
        assert queued_only._queue.empty()

    def test_keyword_dict_is_new_per_call(self, queued_only):
        given = {"a": 1}
        queued_only.add_task(**given)
        queued_only.add_task(**given)
        given["a"] = 2
        first, second = queued_only._queue.get_nowait(), queued_only._queue.get_nowait()
        assert first.kwargs == second.kwargs == {"a": 1}
        assert first.kwargs is not second.kwargs

    def test_task_global_is_looked_up_per_call(self, monkeypatch, queued_only):
        calls = []
        monkeypatch.setattr(vex, "Task", lambda *a, **kw: calls.append((a, kw)) or "record")
        queued_only.add_task(7, y=8)
        assert calls == [((), {"args": (7,), "kwargs": {"y": 8}})]
        assert queued_only._queue.get_nowait() == "record"


    def test_a_changed_task_type_is_called(self, monkeypatch, queued_only):
        # the record is made as Task's own __new__ makes it, whatever it has become
        monkeypatch.setattr(vex.Task, "__new__", lambda cls, args, kwargs: tuple.__new__(cls, ("new", kwargs)))
        queued_only.add_task(7, y=8)
        assert tuple(queued_only._queue.get_nowait()) == ("new", {"y": 8})
