"""What the module defines on import, and how its function objects behave as
functions: identity attributes, defaults, annotations, __dict__, binding."""
import abc
import functools
import inspect
import json
import subprocess
import sys
import textwrap
import types
import typing

import pytest

import vantor.common.stat as vstat
from vantor.common.stat import AbstractStatClient, StatClient

GLOBALS_IN_ORDER = [
    "socket", "time", "ABC", "abstractmethod", "wraps", "Any", "Mapping", "Optional",
    "Union", "LogUtils", "logger", "TagValue", "Tags", "AbstractStatClient", "StatClient",
    "timing",
]


class TestModuleGlobals:
    def test_globals_are_bound_in_definition_order(self):
        present = [name for name in vars(vstat) if name in GLOBALS_IN_ORDER]
        assert present == GLOBALS_IN_ORDER

    def test_imported_names_are_the_standard_objects(self):
        import socket
        import time

        from vantor.common.utils import LogUtils

        assert vstat.socket is socket and vstat.time is time
        assert vstat.ABC is abc.ABC and vstat.abstractmethod is abc.abstractmethod
        assert vstat.wraps is functools.wraps
        assert (vstat.Any, vstat.Mapping, vstat.Optional, vstat.Union) == (
            typing.Any, typing.Mapping, typing.Optional, typing.Union)
        assert vstat.LogUtils is LogUtils
        assert vstat.logger.name == "vantor.common.stat"
        assert not hasattr(vstat, "__all__")

    def test_tag_aliases(self):
        assert vstat.TagValue == typing.Optional[typing.Union[str, int, float, bool]]
        assert typing.get_args(vstat.TagValue) == (str, int, float, bool, type(None))
        assert vstat.Tags == typing.Optional[typing.Mapping[str, vstat.TagValue]]


IMPORT_PROBE = textwrap.dedent("""
    import json, sys, types
    calls = []
    class LogUtils:
        @staticmethod
        def get_logger(*args, **kwargs):
            calls.append([list(args), sorted(kwargs)])
            if sys.argv[1] == "raise":
                raise LookupError("no logger today")
            return "the-logger"
    fake = types.ModuleType("vantor.common.utils")
    fake.LogUtils = LogUtils
    sys.modules["vantor.common.utils"] = fake
    try:
        import vantor.common.stat as m
    except LookupError as e:
        print(json.dumps({"error": str(e), "calls": calls}))
    else:
        print(json.dumps({"logger": m.logger, "calls": calls}))
""")


@pytest.mark.parametrize("mode, expected", [
    ("ok", {"logger": "the-logger", "calls": [[["vantor.common.stat"], []]]}),
    ("raise", {"error": "no logger today", "calls": [[["vantor.common.stat"], []]]}),
])
def test_logger_is_fetched_once_at_import(mode, expected):
    out = subprocess.run([sys.executable, "-c", IMPORT_PROBE, mode], capture_output=True,
                         text=True, timeout=60, check=True).stdout
    assert json.loads(out) == expected


class TestAbstractClient:
    @pytest.mark.parametrize("overridden, instantiable", [
        ((), False), (("inc", "set"), False), (("inc", "timing", "set"), True)])
    def test_instantiation_needs_all_three_operations(self, overridden, instantiable):
        sub = type("Sub", (AbstractStatClient,), {n: lambda self, *a: None for n in overridden})
        if instantiable:
            sub()
        else:
            with pytest.raises(TypeError):
                sub()

    def test_class_shapes(self):
        assert type(AbstractStatClient) is abc.ABCMeta
        assert AbstractStatClient.__bases__ == (abc.ABC,)
        assert StatClient.__bases__ == (AbstractStatClient,)
        assert AbstractStatClient.__abstractmethods__ == frozenset({"inc", "timing", "set"})
        assert StatClient.__abstractmethods__ == frozenset()
        for cls in (AbstractStatClient, StatClient):
            assert cls.__module__ == "vantor.common.stat"
            assert cls.__doc__ is None
        assert [n for n in vars(AbstractStatClient) if n in ("inc", "timing", "set")] == [
            "inc", "timing", "set"]
        assert [n for n in vars(StatClient) if n not in ("__module__", "__qualname__", "__doc__",
                                                         "__abstractmethods__", "_abc_impl")] == [
            "__init__", "timing", "inc", "set", "_gauge", "_send_stat", "_prepare",
            "_build_tag", "_after", "_send"]
        assert AbstractStatClient.inc.__isabstractmethod__ is True
        assert getattr(StatClient.inc, "__isabstractmethod__", False) is False

    @pytest.mark.parametrize("name, args, exc", [
        ("inc", ("a",), NotImplementedError),
        ("inc", (1,), TypeError),
        ("inc", ("a", float("nan")), ValueError),
        ("timing", ("a", 0.5), NotImplementedError),
        ("timing", ("a", "slow"), TypeError),
        ("set", ("a", 2), NotImplementedError),
        ("set", ("a", "2"), TypeError),
        ("set", ("a",), TypeError),
    ])
    def test_abstract_bodies_check_arguments_then_raise(self, name, args, exc):
        with pytest.raises(exc) as info:
            getattr(AbstractStatClient, name)(object(), *args)
        if exc is NotImplementedError:
            assert type(info.value) is NotImplementedError and info.value.args == ()

    def test_super_call_from_an_override_reaches_the_abstract_body(self):
        class Sub(AbstractStatClient):
            def inc(self, key, count=1, tags=None):
                return super().inc(key, count, tags=tags)

            timing = set = inc

        with pytest.raises(NotImplementedError):
            Sub().inc("k")
        with pytest.raises(TypeError, match="Argument 'key'"):
            Sub().inc(b"k")


INC_DOC = "统计指标增加count，count可以为负（不推荐）\n\n        :param key: 统计指标名称\n        :type key: str\n        :param count: 指标增加的数量，可以为负\n        :type count: int\n        "
TIMING_DOC = "计时器，同时统计调用次数和总耗时秒数\n\n        :param key: 统计指标名称\n        :type key: str\n        :param delta: 本次调用时间，单位s\n        :type delta: float\n        "
SET_DOC = "统计指标设置为某个值，value可以为任意整数\n\n        :param key: 统计指标名称\n        :type key: str\n        :param value: 指标设置的值\n        :type value: int\n        "
MODULE_TIMING_DOC = "计时装饰器\n\n    :param client: 统计客户端\n    :type client: StatClient\n    :param key: 统计指标名称\n    :type key: str\n    "

TAGGED = [("tags", "Tags", None)]
# (owner, name, [(param, annotation, default or NODEFAULT)], return annotation, doc)
NODEFAULT = object()
INTROSPECTION = [
    (AbstractStatClient, "inc", [("key", "str", NODEFAULT), ("count", "int", 1)] + TAGGED, "None", INC_DOC),
    (AbstractStatClient, "timing", [("key", "str", NODEFAULT), ("delta", "float", NODEFAULT)] + TAGGED, "None", TIMING_DOC),
    (AbstractStatClient, "set", [("key", "str", NODEFAULT), ("value", "int", NODEFAULT)] + TAGGED, "None", SET_DOC),
    (StatClient, "__init__", [("host", "str", NODEFAULT), ("port", "int", NODEFAULT), ("prefix", "str", ""),
                              ("maxudpsize", "int", 512), ("ipv6", "bool", False)], "None", "建立一个statsd client."),
    (StatClient, "timing", [("key", "str", NODEFAULT), ("delta", "float", NODEFAULT)] + TAGGED, "None",
     "summary使用标记ms，histogram使用标记h"),
    (StatClient, "inc", [("key", "str", NODEFAULT), ("count", "int", 1)] + TAGGED, "None", None),
    (StatClient, "set", [("key", "str", NODEFAULT), ("value", "int", NODEFAULT)] + TAGGED, "None", None),
    (StatClient, "_gauge", [("stat", "str", NODEFAULT), ("value", "int", NODEFAULT), ("delta", "bool", False)] + TAGGED,
     "None", "设定gauge类型的值"),
    (StatClient, "_send_stat", [("stat", "str", NODEFAULT), ("value", "str", NODEFAULT)] + TAGGED, "None", None),
    (StatClient, "_prepare", [("stat", "str", NODEFAULT), ("value", "str", NODEFAULT)] + TAGGED, "str", None),
    (StatClient, "_build_tag", [("tag", "str", NODEFAULT), ("value", "TagValue", NODEFAULT)], "str", None),
    (StatClient, "_after", [("data", "str", NODEFAULT)], "None", None),
    (StatClient, "_send", [("data", "str", NODEFAULT)], "None", "发送信息到statsd."),
    (vstat, "timing", [("client", "StatClient", NODEFAULT), ("key", "str", NODEFAULT)] + TAGGED, "Any",
     MODULE_TIMING_DOC),
]


@pytest.mark.parametrize("owner, name, params, ret, doc", INTROSPECTION,
                         ids=[f"{o.__name__}.{n}" for o, n, *_ in INTROSPECTION])
class TestIntrospection:
    def test_identity_and_doc(self, owner, name, params, ret, doc):
        f = vars(owner)[name]
        assert f.__name__ == name
        assert f.__qualname__ == (name if owner is vstat else f"{owner.__name__}.{name}")
        assert f.__module__ == "vantor.common.stat"
        assert f.__doc__ == doc

    def test_defaults_and_annotations(self, owner, name, params, ret, doc):
        f = vars(owner)[name]
        defaults = tuple(d for _, _, d in params if d is not NODEFAULT)
        assert f.__defaults__ == (defaults or None)
        if defaults:
            assert [type(d) for d in f.__defaults__] == [type(d) for d in defaults]
        expected = [(p, a) for p, a, _ in params] + [("return", ret)]
        assert list(f.__annotations__.items()) == expected

    def test_signature(self, owner, name, params, ret, doc):
        sig = inspect.signature(vars(owner)[name])
        names = [p for p, _, _ in params] if owner is vstat else ["self"] + [p for p, _, _ in params]
        assert list(sig.parameters) == names
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
        assert sig.return_annotation == ret


class TestBinding:
    METHODS = ["__init__", "timing", "inc", "set", "_gauge", "_send_stat", "_prepare",
               "_build_tag", "_after", "_send"]

    @pytest.mark.parametrize("name", METHODS)
    def test_functions_bind_like_plain_functions(self, name, client):
        f = vars(StatClient)[name]
        assert getattr(StatClient, name) is f
        assert f.__get__(None, StatClient) is f
        bound = getattr(client, name)
        assert isinstance(bound, types.MethodType)
        assert bound.__self__ is client and bound.__func__ is f

    def test_module_function_binds_when_stored_on_a_class(self):
        class Holder:
            make = vstat.timing

        h = Holder()
        decorator = h.make("k")  # the instance becomes `client`
        calls = []
        h.timing = lambda *a, **kw: calls.append((a, kw))
        assert decorator(lambda: 7)() == 7
        assert len(calls) == 1 and calls[0][0][0] == "k"


def _plain_gauge(self, stat: "str", value: "int", delta: "bool" = False, tags: "Tags" = None) -> "None":
    """设定gauge类型的值"""


_plain_gauge.__name__ = "_gauge"
_plain_gauge.__qualname__ = "StatClient._gauge"
_plain_gauge.__module__ = "vantor.common.stat"

MISSING = object()
ATTR_OPS = [
    ("__name__", "set", "renamed"), ("__name__", "set", 5), ("__name__", "del", None),
    ("__qualname__", "set", "Q.renamed"), ("__qualname__", "set", None), ("__qualname__", "del", None),
    ("__doc__", "set", "other doc"), ("__doc__", "set", 5), ("__doc__", "del", None),
    ("__module__", "set", "elsewhere"), ("__module__", "set", None), ("__module__", "del", None),
    ("__defaults__", "set", (True, None)), ("__defaults__", "set", None),
    ("__defaults__", "set", [True, None]), ("__defaults__", "set", 5), ("__defaults__", "del", None),
    ("__annotations__", "set", {"x": "int"}), ("__annotations__", "set", None),
    ("__annotations__", "set", 5), ("__annotations__", "del", None),
    ("__dict__", "set", {"k": 1}), ("__dict__", "set", 5), ("__dict__", "del", None),
    ("custom", "set", 1), ("custom", "del", None), ("__wrapped__", "set", len),
]


@pytest.fixture
def our_gauge():
    """StatClient._gauge, with every writable attribute restored afterwards."""
    f = StatClient._gauge
    saved = {a: getattr(f, a) for a in ("__name__", "__qualname__", "__doc__", "__module__", "__defaults__")}
    saved_ann, saved_dict = dict(f.__annotations__), dict(f.__dict__)
    yield f
    for a, v in saved.items():
        setattr(f, a, v)
    f.__annotations__ = saved_ann
    f.__dict__ = saved_dict


def _apply(f, attr, op, value):
    try:
        setattr(f, attr, value) if op == "set" else delattr(f, attr)
        outcome = None
    except Exception as e:  # the type is what is compared
        outcome = type(e)
    return outcome, getattr(f, attr, MISSING)


@pytest.mark.parametrize("attr, op, value", ATTR_OPS)
def test_attribute_parity_with_plain_function(our_gauge, attr, op, value):
    plain = types.FunctionType(_plain_gauge.__code__, {}, "_gauge", _plain_gauge.__defaults__)
    for a in ("__qualname__", "__module__", "__doc__", "__annotations__"):
        value_ = getattr(_plain_gauge, a)
        setattr(plain, a, dict(value_) if isinstance(value_, dict) else value_)
    assert _apply(our_gauge, attr, op, value) == _apply(plain, attr, op, value)


class TestLiveAttributes:
    @pytest.fixture
    def recorder(self, make_client):
        class Rec(StatClient):
            def _send_stat(self, stat, value, tags=None):
                self.sent.append(value)

        rec = make_client(Rec)
        rec.sent = []
        return rec

    def test_defaults_are_read_at_call_time(self, our_gauge, recorder):
        recorder._gauge("k", 4)
        our_gauge.__defaults__ = (True, None)
        recorder._gauge("k", 4)
        assert recorder.sent == ["4|g", "+4|g"]

    def test_deleting_defaults_makes_the_arguments_required(self, our_gauge, recorder):
        del our_gauge.__defaults__
        with pytest.raises(TypeError) as info:
            recorder._gauge("k", 4)
        assert str(info.value) == "_gauge() takes exactly 5 positional arguments (3 given)"
        recorder._gauge("k", 4, True, None)
        assert recorder.sent == ["+4|g"]

    def test_rejected_setter_keeps_old_value(self, our_gauge):
        for attr, bad in (("__name__", 5), ("__defaults__", 5), ("__annotations__", 5)):
            before = getattr(our_gauge, attr)
            with pytest.raises(TypeError):
                setattr(our_gauge, attr, bad)
            assert getattr(our_gauge, attr) == before

    def test_dict_is_a_real_writable_namespace(self, our_gauge):
        our_gauge.note = "x"
        assert our_gauge.__dict__ == {"note": "x"}
        wrapped = functools.wraps(our_gauge)(lambda: None)
        assert wrapped.__wrapped__ is our_gauge and wrapped.note == "x"
        assert wrapped.__name__ == "_gauge" and wrapped.__qualname__ == "StatClient._gauge"
