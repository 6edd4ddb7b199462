"""Property-based tests: random prefixes, keys, tag mappings and numbers, subclasses that replace
random steps, and arbitrary objects in every argument. Each call is run twice: on the compiled
client and on a small pure-Python model of the wire format written here. Both must send the same
datagrams and end the same way (the same exception type, with the same message for argument
errors), so every outcome is a correct line or a clean exception, never a crash."""
import collections
import collections.abc
import contextlib
import decimal
import fractions
import math
import os
import socket
import types
import unittest.mock

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vantor.common.executors as vex
import vantor.common.stat as vstat
from vantor.common.executors import DelayedBatchExecutor, Task
from vantor.common.stat import StatClient

SCALE = float(os.environ.get("VANTOR_STRESS_SCALE", "1.0"))
SETTINGS = settings(max_examples=max(50, int(250 * SCALE)), deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
ADDR = ("127.0.0.1", 9)


# --- the model ---------------------------------------------------------------------------------

class ArgError(TypeError):
    """An argument check of the model; the client's message must match it."""


def type_name(obj):
    """The interpreter's own name of the object's type (its tp_name)."""
    t = type(obj)
    heap, immutable = t.__flags__ & (1 << 9), t.__flags__ & (1 << 8)
    # A class statement's type is named by its bare name; static types and the immutable heap
    # types that extensions build with PyType_FromSpec (decimal.Decimal from 3.13 on) by their full name.
    if (heap and not immutable) or t.__module__ == "builtins":
        return t.__name__
    return f"{t.__module__}.{t.__name__}"


def check_str(obj, name):
    if type(obj) is not str:
        raise ArgError(f"Argument '{name}' has incorrect type (expected str, got {type_name(obj)})")
    return obj


def is_number(obj):
    t = type(obj)
    return isinstance(obj, complex) or any(hasattr(t, m) for m in ("__index__", "__int__", "__float__"))


def to_int(obj, name):
    if type(obj) is int:
        return obj
    if is_number(obj):
        return int(obj)
    raise ArgError(f"Argument '{name}' has incorrect type (expected int, got {type_name(obj)})")


def to_float(obj):
    if isinstance(obj, float):
        return float.__float__(obj)  # a float is taken as it is, whatever its subclass says
    if hasattr(type(obj), "__float__") or hasattr(type(obj), "__index__"):
        return float(obj)
    raise TypeError(f"must be real number, not {type(obj).__name__}")


class ModelClient:
    """The line format and the send path as the requirements describe them, step by step
    through `self`, reading the instance attributes at the same points as the client."""

    def __init__(self, prefix, sock):
        self.statd_available = True
        self._addr = ADDR
        self._sock = sock
        self._prefix = prefix
        self._maxudpsize = 512

    def inc(self, key, count=1, tags=None):
        count = to_int(count, "count")
        check_str(key, "key")
        self._gauge(key, count, delta=True, tags=tags)

    def set(self, key, value, tags=None):
        value = to_int(value, "value")
        check_str(key, "key")
        self._gauge(key, value, delta=False, tags=tags)

    def timing(self, key, delta, tags=None):
        delta = to_float(delta)
        check_str(key, "key")
        self._send_stat(key, "%0.6f|h" % delta, tags=tags)

    def _gauge(self, stat, value, delta=False, tags=None):
        value = to_int(value, "value")
        delta = bool(delta)
        check_str(stat, "stat")
        sign = ("+" if value >= 0 else "") if delta else ("0|g\n" if value < 0 else "")  # reset, then value
        self._send_stat(stat, sign + format(value, "d") + "|g", tags=tags)

    def _send_stat(self, stat, value, tags=None):
        check_str(stat, "stat")
        check_str(value, "value")
        if not self.statd_available:
            return
        texts = value.split("\n")  # one line per value text, in one piece of data
        if type(self)._prepare is ModelClient._prepare and "_prepare" not in self.__dict__:
            head = self._head(stat, tags)
            if "\n" in head:
                raise ValueError("metric line contains a line feed")
            self._after("\n".join(head + text for text in texts))
            return
        lines = []
        for text in texts:
            line = self._prepare(stat, text, tags=tags)
            if isinstance(line, str) and "\n" in line:
                raise ValueError("metric line contains a line feed")
            lines.append(line)
        if len(lines) > 1:
            lines = ["\n".join(line for line in lines if not (isinstance(line, str) and str.__len__(line) == 0))]
        self._after(lines[0])

    def _prepare(self, stat, value, tags=None):
        check_str(stat, "stat")
        check_str(value, "value")
        return self._head(stat, tags) + value

    def _head(self, stat, tags):
        if self._prefix:
            stat = self._prefix + "." + stat
        if tags:
            tag_string = ",".join([self._build_tag(name, v) for name, v in tags.items()])
            return stat + "," + tag_string + ":"
        return stat + ":"

    def _build_tag(self, tag, value):
        check_str(tag, "tag")
        if value:
            return tag + "=" + (value if type(value) is str else str(value))
        return tag

    def _after(self, data):
        check_str(data, "data")
        if data:
            self._send(data)

    def _send(self, data):
        check_str(data, "data")
        sock = self._sock
        encoded = data.encode("ascii")
        sock.sendto(encoded, self._addr)


class Capture:
    def __init__(self, log, name="sock"):
        self.log, self.name = log, name

    def sendto(self, data, addr):
        self.log.append((self.name, data, addr))


def outcome(call):
    """('ok', result) or ('raised', exception)."""
    try:
        return ("ok", call())
    except (Exception, Halt) as e:
        return ("raised", e)


def assert_same(got, expected):
    if expected[0] == "ok":
        assert got[0] == "ok", f"expected {expected[1]!r}, got {got[1]!r}"
        assert type(got[1]) is type(expected[1]) and got[1] == expected[1]
        return
    exp = expected[1]
    assert got[0] == "raised", f"expected {type(exp).__name__}: {exp}, got {got[1]!r}"
    err = got[1]
    want = TypeError if type(exp) is ArgError else type(exp)
    assert type(err) is want, f"expected {type(exp).__name__}: {exp}, got {type(err).__name__}: {err}"
    if isinstance(exp, (ArgError, Boom, Halt)):
        assert str(err).startswith(str(exp)), f"{err} / {exp}"
    if type(exp) is ValueError and "line feed" in str(exp):
        assert "line feed" in str(err)


# --- hostile objects and strategies --------------------------------------------------------------

class Boom(Exception):
    pass


class Halt(BaseException):
    pass


def hostile(name, **methods):
    cls = type(name, (), methods)
    cls.__repr__ = lambda self: name
    return cls()


def _raise(exc):
    def method(self, *args):
        raise exc

    return method


HOSTILE = [
    hostile("StrRaises", __str__=_raise(Boom("__str__"))),
    hostile("StrHalts", __str__=_raise(Halt("__str__"))),
    hostile("StrNotStr", __str__=lambda self: 5),
    hostile("StrNonAscii", __str__=lambda self: "caf\u00e9"),
    hostile("StrLineFeed", __str__=lambda self: "a\nb"),
    hostile("StrSurrogate", __str__=lambda self: "\ud800"),
    hostile("StrNul", __str__=lambda self: "a\x00b"),
    hostile("StrEmpty", __str__=lambda self: ""),
    hostile("BoolRaises", __bool__=_raise(Boom("__bool__"))),
    hostile("BoolNotBool", __bool__=lambda self: 1),
    hostile("LenRaises", __len__=_raise(Boom("__len__"))),
    hostile("LenNegative", __len__=lambda self: -1),
    hostile("IntRaises", __int__=_raise(Boom("__int__"))),
    hostile("IntNotInt", __int__=lambda self: "7"),
    hostile("IndexRaises", __index__=_raise(Boom("__index__"))),
    hostile("IndexNotInt", __index__=lambda self: 7.5),
    hostile("FloatRaises", __float__=_raise(Boom("__float__"))),
    hostile("FloatNotFloat", __float__=lambda self: 7),
    hostile("Falsy", __bool__=lambda self: False, __str__=lambda self: "never"),
    hostile("ItemsRaises", __len__=lambda self: 1, items=_raise(Boom("items"))),
    hostile("ItemsNotIterable", items=lambda self: 5),
    hostile("ItemsTriples", items=lambda self: [("a", 1, 2)]),
    hostile("ItemsStrings", items=lambda self: ["ab", "cd"]),
    hostile("ItemsHalts", items=_raise(Halt("items"))),
]
BY_NAME = {repr(h): h for h in HOSTILE}


class OnlyIndex:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n

    def __repr__(self):
        return f"OnlyIndex({self.n})"


class OnlyFloat:
    def __init__(self, x):
        self.x = x

    def __float__(self):
        return self.x

    def __repr__(self):
        return f"OnlyFloat({self.x})"


class MyInt(int):
    def __str__(self):
        return "my-int"

    __format__ = None


class IntOverridesInt(int):
    def __int__(self):
        return 42


class MyFloat(float):
    def __float__(self):
        return 99.0


class MyStr(str):
    def __str__(self):
        return "my-str"


class Text:
    def __init__(self, s):
        self.s = s

    def __str__(self):
        return self.s

    def __repr__(self):
        return f"Text({self.s!r})"


class SortedItems(dict):
    def items(self):
        return sorted(super().items(), key=repr)


class AbcMapping(collections.abc.Mapping):
    def __init__(self, pairs):
        self.d = dict(pairs)

    def __getitem__(self, k):
        return self.d[k]

    def __iter__(self):
        return iter(self.d)

    def __len__(self):
        return len(self.d)

    def __repr__(self):
        return f"AbcMapping({self.d!r})"


class ItemsOnly:
    """Not a mapping; offers items() with whatever pairs it was given, duplicates included."""

    def __init__(self, pairs):
        self.pairs = list(pairs)

    def items(self):
        return iter(self.pairs)

    def __repr__(self):
        return f"ItemsOnly({self.pairs!r})"


ODD_TEXT = ["", "\n", "a\nb", "\r", "x\r\n", "\x00", "a\x00b", ":", "|", ",", "=", ".", " ", "caf\u00e9",
            "\ud800", "\u2028", "\x7f", "x" * 600, "svc.", "\t"]
def mostly(common, rare, odds=8):
    """`common` about `odds` times as often as `rare`."""
    return st.integers(0, odds).flatmap(lambda i: rare if i == 0 else common)


ascii_text = st.text(alphabet=st.characters(max_codepoint=127), max_size=12)
safe_text = st.text(alphabet=st.characters(min_codepoint=32, max_codepoint=126), max_size=12)
# mostly printable ASCII, else any ASCII, any text, or one of the odd strings above
texts = st.integers(0, 5).flatmap(
    lambda i: [ascii_text, st.text(max_size=8), st.sampled_from(ODD_TEXT)][i] if i < 3 else safe_text)

ODD_FLOATS = [0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308, 1e-7, 1.5e-6, -1e-9, 0.5, 2.9, -0.5,
              1e20, 1e308, -1e308, math.nan, -math.nan, math.inf, -math.inf]
ints = st.one_of(st.integers(-10, 10), st.integers(), st.integers(-(2 ** 300), 2 ** 300),
                 st.sampled_from([2 ** 63, -(2 ** 63) - 1, 2 ** 64, 10 ** 400, -(10 ** 400)]))
numbers = st.one_of(
    ints, st.booleans(),
    st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True), st.sampled_from(ODD_FLOATS),
    ints.map(OnlyIndex), st.floats().map(OnlyFloat), ints.map(MyInt), ints.map(IntOverridesInt),
    st.floats().map(MyFloat), st.fractions(), st.decimals(allow_nan=True, allow_infinity=True),
    st.sampled_from([decimal.Decimal("sNaN"), decimal.Decimal("-0"), fractions.Fraction(-1, 3)]),
    st.complex_numbers(max_magnitude=1e6),
)
plain_objects = st.one_of(
    st.none(), st.binary(max_size=6), st.lists(st.integers(), max_size=3), st.tuples(st.integers()),
    st.builds(object), st.builds(Text, texts), texts.map(MyStr), st.sampled_from(HOSTILE),
)
anything = st.one_of(texts, numbers, plain_objects)
tag_names = mostly(st.one_of(ascii_text, texts), st.one_of(st.integers(), texts.map(MyStr), st.binary(max_size=3),
                                                           st.none(), st.tuples(st.integers())), odds=12)
tag_values = st.one_of(texts, numbers, st.none(), st.booleans(), plain_objects)
pairs = st.lists(st.tuples(tag_names, tag_values), max_size=5)


def _mapping(kind, items):
    if kind == "dict":
        return dict(items)
    if kind == "OrderedDict":
        return collections.OrderedDict(items)
    if kind == "proxy":
        return types.MappingProxyType(dict(items))
    if kind == "sorted items":
        return SortedItems(items)
    if kind == "abc":
        return AbcMapping(items)
    if kind == "items only":
        return ItemsOnly(items)
    if kind == "defaultdict":
        return collections.defaultdict(int, items)
    if kind == "list of pairs":
        return list(items)
    raise AssertionError(kind)


tag_mappings = mostly(st.builds(dict, pairs), st.one_of(
    st.builds(_mapping, st.sampled_from(["dict", "OrderedDict", "proxy", "sorted items", "abc",
                                         "items only", "defaultdict", "list of pairs"]), pairs),
    st.sampled_from([None, {}, 0, "", 5, "abc", b"", ItemsOnly([])]),
    st.sampled_from(HOSTILE),
), odds=2)


def make_pair(prefix, overrides=None):
    """A compiled client and a model client, each with its own capturing socket."""
    log_c, log_m = [], []
    c_cls, m_cls = subclass(StatClient, overrides), subclass(ModelClient, overrides)
    c = c_cls("127.0.0.1", 9, prefix)
    c._sock = Capture(log_c)
    m = m_cls(prefix, Capture(log_m))
    return (c, log_c), (m, log_m)


def compare(c_pair, m_pair, method, args, kwargs):
    (c, log_c), (m, log_m) = c_pair, m_pair
    expected = outcome(lambda: getattr(m, method)(*args, **kwargs))
    got = outcome(lambda: getattr(c, method)(*args, **kwargs))
    assert_same(got, expected)
    assert log_c == log_m
    if expected[0] == "raised" and method not in ("set", "_gauge"):
        assert log_c == []  # a failed metric sends nothing
    return got


# --- properties of the line format --------------------------------------------------------------

@SETTINGS
@given(prefix=texts, method=st.sampled_from(["inc", "set", "timing"]), key=mostly(ascii_text, texts, odds=2),
       number=numbers, tags=tag_mappings, keywords=st.booleans())
def test_operations_match_the_model(prefix, method, key, number, tags, keywords):
    c_pair, m_pair = make_pair(prefix)
    if keywords:
        name = {"inc": "count", "set": "value", "timing": "delta"}[method]
        compare(c_pair, m_pair, method, (), {"key": key, name: number, "tags": tags})
    else:
        compare(c_pair, m_pair, method, (key, number, tags), {})


@SETTINGS
@given(prefix=safe_text, key=safe_text.filter(bool),
       items=st.lists(st.tuples(safe_text, st.one_of(safe_text, st.integers(), st.floats(), st.booleans(),
                                                     st.none())), max_size=6))
def test_clean_input_always_gives_one_line(prefix, key, items):
    # the common case spelt out: printable ASCII and well-behaved values always give one line
    (c, log), _ = make_pair(prefix)
    tags = dict(items)
    c.inc(key, 3, tags)
    rendered = "".join("," + (n if not v else n + "=" + (v if type(v) is str else str(v))) for n, v in tags.items())
    assert log == [("sock", ((prefix + "." if prefix else "") + key + rendered + ":+3|g").encode(), ADDR)]


@SETTINGS
@given(prefix=texts, number=numbers, delta=anything, tags=tag_mappings)
def test_gauge_matches_the_model(prefix, number, delta, tags):
    c_pair, m_pair = make_pair(prefix)
    compare(c_pair, m_pair, "_gauge", ("k", number, delta, tags), {})


@SETTINGS
@given(prefix=texts, method=st.sampled_from(["_send_stat", "_prepare", "_build_tag", "_after", "_send"]),
       first=mostly(texts, anything, odds=4), second=mostly(texts, anything, odds=4), tags=tag_mappings,
       available=st.sampled_from([True, False, 1, 0, "", "yes", None, BY_NAME["BoolRaises"]]))
def test_internal_steps_match_the_model(prefix, method, first, second, tags, available):
    c_pair, m_pair = make_pair(prefix)
    c_pair[0].statd_available = m_pair[0].statd_available = available
    args = {"_send_stat": (first, second, tags), "_prepare": (first, second, tags), "_build_tag": (first, second),
            "_after": (first,), "_send": (first,)}[method]
    compare(c_pair, m_pair, method, args, {})


@SETTINGS
@given(method=st.sampled_from(["inc", "set", "timing", "_gauge", "_send_stat", "_prepare", "_build_tag",
                               "_after", "_send"]),
       args=st.lists(mostly(texts, anything, odds=2), min_size=1, max_size=4),
       kwargs=mostly(st.just({}), st.dictionaries(st.sampled_from(["tags", "delta", "key", "bogus"]), anything,
                                                  min_size=1, max_size=2), odds=3))
def test_any_objects_in_any_argument(method, args, kwargs):
    # arity errors, duplicate or unknown keywords and any object anywhere: the model's outcome
    c_pair, m_pair = make_pair("p")
    compare(c_pair, m_pair, method, tuple(args), kwargs)


# --- subclasses replacing random steps -----------------------------------------------------------

def _override(step, mode, owner):
    base = lambda self: super(owner, self)  # noqa: E731

    if mode == "not callable":
        return None
    if step == "_gauge":
        def _gauge(self, stat, value, delta=False, tags=None):
            if mode == "negate":
                return base(self)._gauge(stat, -value, delta=delta, tags=tags)
            if mode == "raise":
                raise Boom("_gauge")
            return base(self)._gauge(stat, value, delta=delta, tags=tags)
        return _gauge
    if step == "_send_stat":
        def _send_stat(self, stat, value, tags=None):
            if mode == "drop":
                return None
            if mode == "retag":
                return base(self)._send_stat(stat, value, tags={"over": "ridden"})
            return base(self)._send_stat(stat, value, tags=tags)
        return _send_stat
    if step == "_prepare":
        def _prepare(self, stat, value, tags=None):
            line = base(self)._prepare(stat, value, tags=tags)
            return {"delegate": line, "suffix": line + "!", "empty": "", "int": 7, "line feed": line + "\n",
                    "non-ascii": line + "\u00e9", "str subclass": MyStr(line)}.get(mode, line)
        return _prepare
    if step == "_build_tag":
        def _build_tag(self, tag, value):
            if mode == "raise":
                raise Boom("_build_tag")
            text = base(self)._build_tag(tag, value)
            return {"delegate": text, "wrap": "<" + text + ">", "int": 7, "str subclass": MyStr(text)}.get(mode)
        return _build_tag
    if step == "_after":
        def _after(self, data):
            if mode == "drop":
                return None
            base(self)._after(data)
            if mode == "twice":
                base(self)._after(data)
        return _after
    if step == "_send":
        def _send(self, data):
            if mode == "raise":
                raise Boom("_send")
            return base(self)._send(data.upper() if mode == "upper" else data)
        return _send
    raise AssertionError(step)


STEP_MODES = {
    "_gauge": ["delegate", "negate", "raise", "not callable"],
    "_send_stat": ["delegate", "drop", "retag", "not callable"],
    "_prepare": ["delegate", "suffix", "empty", "int", "line feed", "non-ascii", "str subclass", "not callable"],
    "_build_tag": ["delegate", "wrap", "int", "str subclass", "raise", "not callable"],
    "_after": ["delegate", "drop", "twice", "not callable"],
    "_send": ["delegate", "upper", "raise", "not callable"],
}


def subclass(base, overrides):
    cls = type("Sub" + base.__name__, (base,), {})
    for step, mode in (overrides or {}).items():
        setattr(cls, step, _override(step, mode, cls))
    return cls


overrides_strategy = st.dictionaries(st.sampled_from(sorted(STEP_MODES)), st.just(None), max_size=6).flatmap(
    lambda d: st.fixed_dictionaries({step: st.sampled_from(STEP_MODES[step]) for step in d}))


@SETTINGS
@given(overrides=overrides_strategy, prefix=texts, method=st.sampled_from(["inc", "set", "timing"]),
       key=texts, number=numbers, tags=tag_mappings, late=st.booleans())
def test_subclasses_replacing_random_steps(overrides, prefix, method, key, number, tags, late):
    if late:
        # the steps are replaced after the client has been used once
        c_pair, m_pair = make_pair(prefix)
        for (client, log) in (c_pair, m_pair):
            outcome(lambda: client.inc("warm"))  # whatever the prefix makes of it
            log.clear()
            client.__class__ = subclass(type(client), overrides)
    else:
        c_pair, m_pair = make_pair(prefix, overrides)
    compare(c_pair, m_pair, method, (key, number, tags), {})


@pytest.mark.parametrize("later", ["fine", "raises"])
def test_every_tag_is_rendered_before_the_join(later):
    # a subclass's _build_tag sees every tag, in order, before the texts are joined: a result
    # that cannot be joined fails the join only after all tags were rendered
    outcomes = []
    for base in (StatClient, ModelClient):
        calls = []

        class Render(base):
            def _build_tag(self, tag, value):
                calls.append(tag)
                if tag == "c" and later == "raises":
                    raise Boom("c")
                return 7 if tag == "a" else super()._build_tag(tag, value)

        log = []
        c = Render("127.0.0.1", 9) if base is StatClient else Render("", None)
        c._sock = Capture(log)
        outcomes.append((outcome(lambda: c.inc("k", 1, {"a": 1, "b": 2, "c": 3})), calls, log))
    (got, got_calls, got_log), (expected, expected_calls, expected_log) = outcomes
    assert expected_calls == ["a", "b", "c"] and got_log == expected_log == []
    assert_same(got, expected)
    assert got_calls == expected_calls


# --- tag values that change the client while its line is being built ----------------------------

class Mutator:
    """A tag value whose rendering changes the client it belongs to."""

    def __init__(self, action):
        self.action, self.client = action, None

    def __str__(self):
        self.action(self.client)
        return "m"


def _swap_socket(c):
    c._sock = Capture(c._sock.log, "swapped")  # the old socket is freed here


def _replace_send(c):
    type(c)._send = lambda self, data: self._sock.sendto(b"replaced:" + data.encode(), self._addr)


MUTATIONS = {
    "swap socket": _swap_socket,
    "delete socket": lambda c: delattr(c, "_sock"),
    "delete address": lambda c: delattr(c, "_addr"),
    "new address": lambda c: setattr(c, "_addr", ("127.0.0.1", len(str(c._addr)))),
    "change prefix": lambda c: setattr(c, "_prefix", "new"),
    "silence": lambda c: setattr(c, "statd_available", False),
    "replace _send on the class": _replace_send,
    "clear instance dict": lambda c: c.__dict__.clear(),
    "grow the tags": lambda c: c.current_tags.setdefault("extra", 1),
}


@pytest.mark.parametrize("first", [True, False], ids=["first tag", "last tag"])
@pytest.mark.parametrize("method, args", [("inc", ("k", 1)), ("set", ("k", -2)), ("timing", ("k", 0.5))])
@pytest.mark.parametrize("mutation", sorted(MUTATIONS))
def test_tag_values_that_change_the_client(mutation, method, args, first):
    # whatever a tag value does to its client while the line is built, the outcome is the one
    # the model gives, attribute reads happening at the same steps; nothing is used after it is freed
    outcomes = []
    for base in (StatClient, ModelClient):
        log = []
        cls = subclass(base, {})
        c = cls("127.0.0.1", 9, "p") if base is StatClient else cls("p", None)
        c._sock = Capture(log)
        value = Mutator(MUTATIONS[mutation])
        value.client = c
        tags = {"a": value, "b": 2} if first else {"b": 2, "a": value}
        c.current_tags = tags
        for _ in range(2):  # and the client is still usable afterwards, or fails cleanly
            outcomes.append((outcome(lambda: getattr(c, method)(*args, tags)), list(log)))
    got, expected = outcomes[:2], outcomes[2:]
    for (g, g_log), (e, e_log) in zip(got, expected):
        assert_same(g, e)
        assert g_log == e_log


# --- construction, the decorator and the executor with random arguments -------------------------

class FakeSocketModule:
    """The `socket` global during the construction properties: no name ever reaches a resolver."""
    AF_INET, AF_INET6, SOCK_DGRAM, gaierror = socket.AF_INET, socket.AF_INET6, socket.SOCK_DGRAM, socket.gaierror

    def __init__(self):
        self.calls = []

    def getaddrinfo(self, host, port, family, kind):
        self.calls.append((host, port, family, kind))
        if host != "127.0.0.1":
            raise socket.gaierror(socket.EAI_NONAME, "not resolved in tests")
        return [(family, kind, 17, "", (host, port))]

    def socket(self, family, kind):
        return ("socket", family, kind)


class QuietLogger:
    def __init__(self):
        self.warnings = []

    def warning(self, *args):
        self.warnings.append(args)


def model_construct(host, port, prefix="", maxudpsize=512, ipv6=False):
    port = to_int(port, "port")
    maxudpsize = to_int(maxudpsize, "maxudpsize")
    ipv6 = bool(ipv6)
    check_str(host, "host")
    check_str(prefix, "prefix")
    if not 1 <= port <= 65535:
        raise ValueError(f"port must be in 1..65535, got {port}")
    family = socket.AF_INET6 if ipv6 else socket.AF_INET
    if host != "127.0.0.1":
        return {"statd_available": False}, ("Unable to find address for %s:%s. No statsd will be reported.",
                                            host, port)
    return {"statd_available": True, "_addr": (host, port), "_sock": ("socket", family, socket.SOCK_DGRAM),
            "_prefix": prefix, "_maxudpsize": maxudpsize}, None


@SETTINGS
@given(host=st.one_of(st.just("127.0.0.1"), texts, anything), port=st.one_of(st.integers(1, 65535), numbers, anything),
       prefix=st.one_of(texts, anything), maxudpsize=st.one_of(numbers, anything), ipv6=anything,
       keywords=st.booleans())
def test_construction_with_random_arguments(host, port, prefix, maxudpsize, ipv6, keywords):
    fake, log = FakeSocketModule(), QuietLogger()
    args = (host, port, prefix, maxudpsize, ipv6)
    kwargs = {}
    if keywords:
        args, kwargs = (host, port), {"prefix": prefix, "maxudpsize": maxudpsize, "ipv6": ipv6}
    expected = outcome(lambda: model_construct(*args, **kwargs))
    with unittest.mock.patch.object(vstat, "socket", fake), unittest.mock.patch.object(vstat, "logger", log):
        got = outcome(lambda: StatClient(*args, **kwargs))
    if expected[0] == "raised":
        assert_same(got, expected)
        assert fake.calls == [] and log.warnings == []  # rejected before anything happened
        return
    assert got[0] == "ok", got
    attrs, warning = expected[1]
    assert vars(got[1]) == attrs
    if attrs["statd_available"]:
        assert fake.calls == [(host, attrs["_addr"][1], attrs["_sock"][1], socket.SOCK_DGRAM)]
    assert all(type(vars(got[1])[k]) is type(v) for k, v in attrs.items())
    assert log.warnings == ([warning] if warning else [])


class FixedClock:
    @staticmethod
    def time():
        return 7.0


@SETTINGS
@given(key=st.one_of(texts, anything), tags=tag_mappings, func_raises=st.booleans(),
       call_args=st.lists(anything, max_size=3))
def test_decorator_with_random_arguments(key, tags, func_raises, call_args):
    c_pair, m_pair = make_pair("d")
    result, seen = object(), []

    def func(*args):
        seen.append(args)
        if func_raises:
            raise Boom("func")
        return result

    def model_timing(client):
        check_str(key, "key")

        def deco(f):
            def wrapped(*args):
                start = FixedClock.time()
                res = f(*args)
                client.timing(key, FixedClock.time() - start, tags=tags)
                return res

            return wrapped

        return deco

    with unittest.mock.patch.object(vstat, "time", FixedClock):
        outcomes = []
        for (client, log), make in ((m_pair, model_timing), (c_pair, lambda cl: vstat.timing(cl, key, tags))):
            deco = outcome(lambda: make(client))
            if deco[0] == "ok":
                outcomes.append((outcome(lambda: deco[1](func)(*call_args)), list(log)))
            else:
                outcomes.append((deco, list(log)))
    (expected, e_log), (got, g_log) = outcomes
    assert_same(got, expected)
    assert g_log == e_log
    if got[0] == "ok":
        assert got[1] is result
    assert all(len(a) == len(call_args) and all(x is y for x, y in zip(a, call_args)) for a in seen)


class Drive(DelayedBatchExecutor):
    """Runs its worker loop on the calling thread for one iteration, recording the batches."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.batches = []

    def run(self, tasks):
        self.batches.append(tasks)
        self._is_running = False  # one iteration, then the loop ends


@contextlib.contextmanager
def quiet_executor_logger():
    with unittest.mock.patch.object(vex, "logger", types.SimpleNamespace(debug=len, exception=print)):
        yield


def model_executor(num_threads=1, batch_size=100, duration=0.1):
    return to_int(num_threads, "num_threads"), to_int(batch_size, "batch_size"), to_float(duration)


@SETTINGS
@given(args=st.lists(st.one_of(numbers, anything), max_size=4),
       kwargs=st.dictionaries(st.sampled_from(["num_threads", "batch_size", "duration", "other"]),
                              st.one_of(numbers, anything), max_size=2))
def test_executor_construction_with_random_arguments(args, kwargs):
    expected = outcome(lambda: model_executor(*args, **kwargs))
    got = outcome(lambda: Drive(*args, **kwargs))
    if expected[0] == "raised":
        assert_same(got, expected)
        return
    assert got[0] == "ok", got
    ex, (num_threads, batch_size, duration) = got[1], expected[1]
    assert type(ex.num_threads) is int and ex.num_threads == num_threads
    assert type(ex.batch_size) is int and ex.batch_size == batch_size
    assert type(ex.duration) is float and repr(ex.duration) == repr(duration)
    assert ex._is_running is False and ex._num_running_threads == 0 and ex._queue.empty()


keyword_names = st.one_of(st.sampled_from(["self", "args", "kwargs", "tasks", "a b", "", "caf\u00e9"]),
                          st.text(max_size=5))


@SETTINGS
@given(args=st.lists(anything, max_size=4), kwargs=st.dictionaries(keyword_names, anything, max_size=3),
       batch_size=st.integers(-2, 3))
def test_any_task_reaches_run_intact(args, kwargs, batch_size):
    # whatever the arguments, add_task queues exactly them and run receives exactly that record;
    # the one keyword that cannot be carried is refused and nothing is queued
    ex = Drive(batch_size=batch_size, duration=0.0)
    ex._is_running = True  # pretend started: add_task only queues
    with quiet_executor_logger():
        got = outcome(lambda: ex.add_task(*args, **kwargs))
        if "self" in kwargs:
            assert got[0] == "raised" and type(got[1]) is TypeError and "'self'" in str(got[1])
            assert ex._queue.empty()
            return
        assert got == ("ok", None)
        assert ex._batch() is None
    assert len(ex.batches) == 1 and len(ex.batches[0]) == 1
    task = ex.batches[0][0]
    assert type(task) is Task and task == Task(tuple(args), kwargs)
    assert all(a is b for a, b in zip(task.args, args))
    assert all(task.kwargs[k] is v for k, v in kwargs.items())
    assert ex._num_running_threads == 0 and not ex._lock.locked() and ex._queue.empty()
