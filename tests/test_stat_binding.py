"""Argument binding: the exact TypeError messages for counts, keywords and types,
the order of the checks, and the conversions that annotations ask for."""
from decimal import Decimal
from fractions import Fraction

import pytest

import vantor.common.stat as vstat
from vantor.common.stat import StatClient

SUBCLASS_NOTE = ". Subclasses of built-in types are not accepted."


class MyStr(str):
    pass


class MyInt(int):
    pass


class Index:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


class Boom(Exception):
    pass


class BadBool:
    def __bool__(self):
        raise Boom("truth test")


class BadInt:
    def __int__(self):
        raise Boom("int conversion")


def incorrect(arg, expected, got, note=""):
    return f"Argument '{arg}' has incorrect type (expected {expected}, got {got}){note}"


COUNT_CASES = [
    ("inc()", lambda c: c.inc(), "inc() takes at least 2 positional arguments (1 given)"),
    ("inc(count=)", lambda c: c.inc(count=2), "inc() takes at least 2 positional arguments (1 given)"),
    ("inc(foo=)", lambda c: c.inc(foo=1), "inc() takes at least 2 positional arguments (1 given)"),
    ("inc 4 args", lambda c: c.inc("k", 1, None, 4), "inc() takes at most 4 positional arguments (5 given)"),
    ("unbound inc()", lambda c: StatClient.inc(), "inc() takes at least 2 positional arguments (0 given)"),
    ("timing(k)", lambda c: c.timing("k"), "timing() takes at least 3 positional arguments (2 given)"),
    ("timing(delta=)", lambda c: c.timing(delta=1.0), "timing() takes at least 3 positional arguments (1 given)"),
    ("timing(k, key=)", lambda c: c.timing("k", key="j"), "timing() takes at least 3 positional arguments (2 given)"),
    ("timing(key=)", lambda c: c.timing(key="k"), "timing() takes at least 3 positional arguments (2 given)"),
    ("set(k)", lambda c: c.set("k"), "set() takes at least 3 positional arguments (2 given)"),
    ("set(value=)", lambda c: c.set(value=1), "set() takes at least 3 positional arguments (1 given)"),
    ("_gauge(k)", lambda c: c._gauge("k"), "_gauge() takes at least 3 positional arguments (2 given)"),
    ("_gauge 5 args", lambda c: c._gauge("k", 1, True, None, 5), "_gauge() takes at most 5 positional arguments (6 given)"),
    ("_send_stat(k)", lambda c: c._send_stat("k"), "_send_stat() takes at least 3 positional arguments (2 given)"),
    ("_prepare 4 args", lambda c: c._prepare("k", "1|g", None, 1), "_prepare() takes at most 4 positional arguments (5 given)"),
    ("_build_tag(t)", lambda c: c._build_tag("t"), "_build_tag() takes exactly 3 positional arguments (2 given)"),
    ("_build_tag 3 args", lambda c: c._build_tag("t", 1, 2), "_build_tag() takes exactly 3 positional arguments (4 given)"),
    ("_build_tag(value=)", lambda c: c._build_tag(value=1), "_build_tag() takes exactly 3 positional arguments (1 given)"),
    ("_build_tag(tag=)", lambda c: c._build_tag(tag="t"), "_build_tag() takes exactly 3 positional arguments (2 given)"),
    ("_after()", lambda c: c._after(), "_after() takes exactly 2 positional arguments (1 given)"),
    ("_after(bogus=)", lambda c: c._after(bogus="x"), "_after() takes exactly 2 positional arguments (1 given)"),
    ("_send 2 args", lambda c: c._send("a", "b"), "_send() takes exactly 2 positional arguments (3 given)"),
    ("StatClient()", lambda c: StatClient(), "__init__() takes at least 3 positional arguments (1 given)"),
    ("StatClient(h)", lambda c: StatClient("127.0.0.1"), "__init__() takes at least 3 positional arguments (2 given)"),
    ("StatClient(port=)", lambda c: StatClient(port=1), "__init__() takes at least 3 positional arguments (1 given)"),
    ("StatClient(host=)", lambda c: StatClient(host="h"), "__init__() takes at least 3 positional arguments (2 given)"),
    ("StatClient 6 args", lambda c: StatClient("127.0.0.1", 1, "", 512, False, 7),
     "__init__() takes at most 6 positional arguments (7 given)"),
    ("timing module()", lambda c: vstat.timing(), "timing() takes at least 2 positional arguments (0 given)"),
    ("timing module 4 args", lambda c: vstat.timing(c, "k", None, 1), "timing() takes at most 3 positional arguments (4 given)"),
    ("decorator()", lambda c: vstat.timing(c, "k")(), "timing_decorator() takes exactly 1 positional argument (0 given)"),
    ("decorator(fn=)", lambda c: vstat.timing(c, "k")(fn=len), "timing_decorator() takes exactly 1 positional argument (0 given)"),
    ("decorator 2 args", lambda c: vstat.timing(c, "k")(len, len), "timing_decorator() takes exactly 1 positional argument (2 given)"),
]

KEYWORD_CASES = [
    ("inc foo", lambda c: c.inc("k", foo=1), "inc() got an unexpected keyword argument 'foo'"),
    ("inc all kw + foo", lambda c: c.inc(key="k", count=1, foo=1), "inc() got an unexpected keyword argument 'foo'"),
    ("inc dup key", lambda c: c.inc("k", key="j"), "inc() got multiple values for keyword argument 'key'"),
    ("inc dup count", lambda c: c.inc("k", 1, count=2), "inc() got multiple values for keyword argument 'count'"),
    ("_send_stat dup", lambda c: c._send_stat("k", "1|g", stat="k"), "_send_stat() got multiple values for keyword argument 'stat'"),
    ("init bogus", lambda c: StatClient("127.0.0.1", 1, bogus=1), "__init__() got an unexpected keyword argument 'bogus'"),
    ("init dup host", lambda c: StatClient("127.0.0.1", 1, host="x"), "__init__() got multiple values for keyword argument 'host'"),
    ("module timing tag", lambda c: vstat.timing(c, "k", tag=None), "timing() got an unexpected keyword argument 'tag'"),
]

TYPE_CASES = [
    ("inc None key", lambda c: c.inc(None), incorrect("key", "str", "NoneType")),
    ("inc bytes key", lambda c: c.inc(b"k"), incorrect("key", "str", "bytes")),
    ("inc str subclass", lambda c: c.inc(MyStr("k")), incorrect("key", "str", "MyStr", SUBCLASS_NOTE)),
    ("inc None count", lambda c: c.inc("k", None), incorrect("count", "int", "NoneType")),
    ("inc str count", lambda c: c.inc("k", "1"), incorrect("count", "int", "str")),
    ("inc list count", lambda c: c.inc("k", [1]), incorrect("count", "int", "list")),
    ("set str value", lambda c: c.set("k", "7"), incorrect("value", "int", "str")),
    ("timing int key", lambda c: c.timing(1, 0.5), incorrect("key", "str", "int")),
    ("_gauge bytes value", lambda c: c._gauge("k", b"1"), incorrect("value", "int", "bytes")),
    ("_send_stat int value", lambda c: c._send_stat("k", 5), incorrect("value", "str", "int")),
    ("_send_stat subclass stat", lambda c: c._send_stat(MyStr("k"), "1|g"), incorrect("stat", "str", "MyStr", SUBCLASS_NOTE)),
    ("_prepare None value", lambda c: c._prepare("k", None), incorrect("value", "str", "NoneType")),
    ("_build_tag int tag", lambda c: c._build_tag(1, "v"), incorrect("tag", "str", "int")),
    ("_after bytes", lambda c: c._after(b"x"), incorrect("data", "str", "bytes")),
    ("_send subclass", lambda c: c._send(MyStr("x")), incorrect("data", "str", "MyStr", SUBCLASS_NOTE)),
    ("init host subclass", lambda c: StatClient(MyStr("127.0.0.1"), 1), incorrect("host", "str", "MyStr", SUBCLASS_NOTE)),
    ("init port str", lambda c: StatClient("127.0.0.1", "8125"), incorrect("port", "int", "str")),
    ("init prefix None", lambda c: StatClient("127.0.0.1", 1, None), incorrect("prefix", "str", "NoneType")),
    ("init maxudpsize str", lambda c: StatClient("127.0.0.1", 1, maxudpsize="512"), incorrect("maxudpsize", "int", "str")),
    ("module timing int key", lambda c: vstat.timing(c, 5), incorrect("key", "str", "int")),
    ("module timing subclass key", lambda c: vstat.timing(c, MyStr("k")), incorrect("key", "str", "MyStr", SUBCLASS_NOTE)),
    # Numeric conversions run first, in parameter order; only then the exact-type checks.
    ("count before key", lambda c: c.inc(None, "x"), incorrect("count", "int", "str")),
    ("value before delta", lambda c: c._gauge("k", "x", BadBool()), incorrect("value", "int", "str")),
    ("port before host", lambda c: StatClient(None, "x"), incorrect("port", "int", "str")),
    ("maxudpsize before host", lambda c: StatClient(None, 1, None, "x"), incorrect("maxudpsize", "int", "str")),
    ("port before maxudpsize", lambda c: StatClient("h", "p", "", "m"), incorrect("port", "int", "str")),
    ("host before prefix", lambda c: StatClient(MyStr("h"), 1, None), incorrect("host", "str", "MyStr", SUBCLASS_NOTE)),
]


@pytest.mark.parametrize("call, message", [c[1:] for c in COUNT_CASES + KEYWORD_CASES + TYPE_CASES],
                         ids=[c[0] for c in COUNT_CASES + KEYWORD_CASES + TYPE_CASES])
def test_exact_type_error_messages(client, receiver, call, message):
    with pytest.raises(TypeError) as info:
        call(client)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert receiver.drain() == []


@pytest.mark.parametrize("call, exc", [
    (lambda c: c.inc(None, float("inf")), OverflowError),
    (lambda c: c.set(b"k", float("nan")), ValueError),
    (lambda c: c.inc(None, BadInt()), Boom),
    (lambda c: c._gauge(None, 1, BadBool()), Boom),
    (lambda c: StatClient(None, 1, ipv6=BadBool()), Boom),
    (lambda c: c.inc("k", 1j), TypeError),
    (lambda c: c.timing("k", 10 ** 400), OverflowError),
    (lambda c: c.timing(None, "slow"), TypeError),
], ids=["inf count", "nan value", "raising __int__", "raising __bool__", "raising ipv6 truth", "complex",
        "huge delta", "delta before key"])
def test_conversion_errors_propagate_before_str_checks(client, receiver, call, exc):
    with pytest.raises(exc) as info:
        call(client)
    assert not str(info.value).startswith("Argument '")
    assert receiver.drain() == []


class Recorder(StatClient):
    def _send_stat(self, *args, **kwargs):
        self.sent.append((args, kwargs))


@pytest.fixture
def rec(make_client):
    r = make_client(Recorder)
    r.sent = []
    return r


@pytest.mark.parametrize("method, args, value", [
    ("inc", ("k", 2.9), "+2|g"),
    ("inc", ("k", -0.5), "+0|g"),
    ("inc", ("k", True), "+1|g"),
    ("inc", ("k", False), "+0|g"),
    ("inc", ("k", MyInt(5)), "+5|g"),
    ("inc", ("k", Fraction(7, 2)), "+3|g"),
    ("inc", ("k", Decimal("-2.5")), "-2|g"),
    ("inc", ("k", Index(9)), "+9|g"),
    ("set", ("k", 7.99), "7|g"),
    ("set", ("k", 10 ** 20), "100000000000000000000|g"),
    ("timing", ("k", 2), "2.000000|h"),
    ("timing", ("k", True), "1.000000|h"),
    ("timing", ("k", Fraction(1, 4)), "0.250000|h"),
    ("timing", ("k", Index(3)), "3.000000|h"),
    ("_gauge", ("k", 4), "4|g"),
    ("_gauge", ("k", 4, "yes"), "+4|g"),
    ("_gauge", ("k", 4, ""), "4|g"),
    ("_gauge", ("k", 4, [0]), "+4|g"),
    ("_gauge", ("k", 4.5, None), "4|g"),
])
def test_conversions_reach_the_value_text(rec, method, args, value):
    getattr(rec, method)(*args)
    assert rec.sent == [(("k", value), {"tags": None})]


def test_all_keyword_call_binds_by_name(rec):
    tags = {"a": "b"}
    rec.inc(tags=tags, count=-2, key="k")
    rec.timing(delta=0.5, key="t")
    rec.set(value=3, key="s", tags=None)
    assert rec.sent == [(("k", "-2|g"), {"tags": tags}), (("t", "0.500000|h"), {"tags": None}),
                        (("s", "3|g"), {"tags": None})]
    assert rec.sent[0][1]["tags"] is tags


def test_int_parameters_hand_on_an_exact_int(make_client):
    seen = []

    class GaugeSpy(StatClient):
        def _gauge(self, stat, value, delta=False, tags=None):
            seen.append(value)

    spy = make_client(GaugeSpy)
    big = 10 ** 30
    spy.inc("k", True)
    spy.inc("k", MyInt(5))
    spy.set("k", 2.5)
    spy.set("k", big)
    assert seen == [1, 5, 2, big]
    assert [type(v) for v in seen] == [int] * 4
    assert seen[3] is big


def test_decorator_accepts_func_by_keyword(rec):
    wrapper = vstat.timing(rec, "k")(func=lambda: "r")
    assert wrapper() == "r"
    assert len(rec.sent) == 1
