# What a user's tools see: type checking, signatures, type hints, pickling and copying.
import copy
import inspect
import pathlib
import pickle
import pydoc
import shutil
import subprocess
import sys
import typing

import pytest

from vantor.common import executors, stat

ROOT = pathlib.Path(__file__).resolve().parent.parent

PUBLIC_FUNCTIONS = [
    stat.AbstractStatClient.inc,
    stat.AbstractStatClient.timing,
    stat.AbstractStatClient.set,
    *(getattr(stat.StatClient, name) for name in (
        "__init__", "timing", "inc", "set", "_gauge", "_send_stat", "_prepare", "_build_tag", "_after", "_send")),
    stat.timing,
    *(getattr(executors.DelayedBatchExecutor, name) for name in (
        "__init__", "add_task", "wait_until_empty", "shutdown", "_batch", "run")),
]


@pytest.mark.skipif(shutil.which("mypy") is None and not (pathlib.Path(sys.executable).parent / "mypy").exists(),
                    reason="mypy is not installed (it comes with the [test] extra)")
def test_mypy_strict_accepts_the_examples_and_typed_usage(tmp_path):
    files = [ROOT / "examples" / "demo.py", ROOT / "tests" / "typed_usage.py"]
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path), *map(str, files)],
        capture_output=True, text=True, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("func, expected", [
    (stat.StatClient.inc, "(self, key: 'str', count: 'int' = 1, tags: 'Tags' = None) -> 'None'"),
    (stat.StatClient.__init__,
     "(self, host: 'str', port: 'int', prefix: 'str' = '', maxudpsize: 'int' = 512, ipv6: 'bool' = False) -> 'None'"),
    (stat.StatClient._build_tag, "(self, tag: 'str', value: 'TagValue') -> 'str'"),
    (stat.timing, "(client: 'StatClient', key: 'str', tags: 'Tags' = None) -> 'Any'"),
    (executors.DelayedBatchExecutor.add_task, "(self, *args: 'Any', **kwargs: 'Any') -> 'None'"),
    (executors.DelayedBatchExecutor.run, "(self, tasks: 'List') -> 'Any'"),
    (executors.DelayedBatchExecutor.__init__,
     "(self, num_threads: 'int' = 1, batch_size: 'int' = 100, duration: 'float' = 0.1) -> 'None'"),
])
def test_signature_shows_parameters_defaults_and_annotations(func, expected):
    assert str(inspect.signature(func)) == expected


def test_signature_follows_defaults_and_binding():
    client = stat.StatClient("127.0.0.1", 8125)
    assert str(inspect.signature(client.inc)) == "(key: 'str', count: 'int' = 1, tags: 'Tags' = None) -> 'None'"

    @stat.timing(client, "k")
    def work(a: int, b: str = "x") -> bool:
        return True

    # As with functools.wraps around a Python function, the wrapped function's signature shows.
    assert str(inspect.signature(work)) == "(a: int, b: str = 'x') -> bool"


def test_help_renders_every_method():
    # as this interpreter's pydoc renders a Python function with the same signature
    text = pydoc.render_doc(stat.StatClient, renderer=pydoc.plaintext)
    twin = {}
    exec("def inc(self, key: 'str', count: 'int' = 1, tags: 'Tags' = None) -> 'None': pass", twin)
    assert pydoc.plaintext.document(twin["inc"]).splitlines()[0] in text
    assert "建立一个statsd client." in text


@pytest.mark.parametrize("func", [stat.StatClient.inc, stat.StatClient._gauge, stat.AbstractStatClient.set,
                                  stat.timing, executors.DelayedBatchExecutor.__init__])
def test_type_hints_resolve_in_the_module_namespace(func):
    hints = typing.get_type_hints(func)
    assert hints["return"] in (type(None), typing.Any)
    if "tags" in hints:
        assert hints["tags"] == stat.Tags
    # and the annotations stay the text they were written as, for every reader of them
    get_annotations = getattr(__import__("importlib").import_module("annotationlib")
                              if sys.version_info >= (3, 14) else inspect, "get_annotations")
    assert get_annotations(func) == func.__annotations__
    assert all(type(text) is str for text in func.__annotations__.values())
    assert getattr(func, "__annotate__", None) is None


@pytest.mark.parametrize("func", PUBLIC_FUNCTIONS, ids=lambda f: f.__qualname__)
def test_functions_pickle_and_copy_by_reference(func):
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(func, protocol)) is func
    assert copy.copy(func) is func
    assert copy.deepcopy(func) is func


def test_task_pickles():
    task = executors.Task(args=(1, "a"), kwargs={"k": 2})
    assert pickle.loads(pickle.dumps(task)) == task


@pytest.mark.parametrize("func", [stat.StatClient.inc, executors.DelayedBatchExecutor.run])
def test_the_function_type_is_closed(func):
    kind = type(func)
    with pytest.raises(TypeError):
        kind()  # an instance without a body would crash when called
    with pytest.raises(TypeError):
        kind.extra = 1
