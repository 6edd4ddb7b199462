"""Reference counts of the objects passed in stay put across many calls,
on success and on every error path; clients and wrappers are freed."""
import gc
import sys
import weakref

import pytest

import vantor.common.stat as vstat
from leak_helpers import assert_refcounts_stable as _stable, raising
from vantor.common.stat import StatClient

CALLS = 1000


def assert_refcounts_stable(call, *objs):
    _stable(call, *objs, calls=CALLS)


class MyStr(str):
    pass


@pytest.fixture
def objs():
    """Fresh, non-interned argument objects."""
    return {
        "key": "".join(["metric", ".", "name"]),
        "tags": {"".join(["re", "gion"]): "".join(["e", "u"]), "n": 10 ** 30},
        "count": 10 ** 25,
        "delta": 0.125 * 3,
        "bad": bytes([107]),
        "sub": MyStr("key"),
        "obj": object(),
    }


@pytest.mark.parametrize("name, call", [
    ("inc", lambda c, o: c.inc(o["key"], o["count"], o["tags"])),
    ("inc kw", lambda c, o: c.inc(key=o["key"], count=o["count"], tags=o["tags"])),
    ("set", lambda c, o: c.set(o["key"], o["count"], tags=o["tags"])),
    ("set negative", lambda c, o: c.set(o["key"], -o["count"], tags=o["tags"])),
    ("timing", lambda c, o: c.timing(o["key"], o["delta"], o["tags"])),
    ("_gauge", lambda c, o: c._gauge(o["key"], o["count"], o["obj"], o["tags"])),
    ("_prepare", lambda c, o: c._prepare(o["key"], o["key"], o["tags"])),
    ("_build_tag", lambda c, o: c._build_tag(o["key"], o["obj"])),
])
def test_success_paths(make_client, objs, name, call):
    c = make_client(prefix="".join(["p", "x"]))
    assert_refcounts_stable(lambda: call(c, objs), c, *objs.values())


@pytest.mark.parametrize("name, call, exc", [
    ("bytes key", lambda c, o: c.inc(o["bad"], o["count"], o["tags"]), TypeError),
    ("subclass key", lambda c, o: c.inc(o["sub"], o["count"]), TypeError),
    ("bad count", lambda c, o: c.inc(o["key"], o["obj"], o["tags"]), TypeError),
    ("too many", lambda c, o: c.inc(o["key"], o["count"], o["tags"], o["obj"]), TypeError),
    ("missing", lambda c, o: c.timing(o["key"], tags=o["tags"]), TypeError),
    ("unexpected kw", lambda c, o: c.inc(o["key"], bogus=o["obj"]), TypeError),
    ("duplicate kw", lambda c, o: c.inc(o["key"], key=o["key"]), TypeError),
    ("bad tag name", lambda c, o: c.inc(o["key"], 1, {o["count"]: o["obj"]}), TypeError),
    ("line feed", lambda c, o: c.inc(o["key"] + "\n", 1, o["tags"]), ValueError),
    ("non-ascii", lambda c, o: c.set(o["key"], 1, {"t": "é"}), UnicodeEncodeError),
    ("overflow", lambda c, o: c.inc(o["key"], float("inf"), o["tags"]), OverflowError),
    ("bad module key", lambda c, o: vstat.timing(c, o["bad"], o["tags"]), TypeError),
])
def test_error_paths(make_client, objs, name, call, exc):
    c = make_client(prefix="".join(["p", "x"]))
    assert_refcounts_stable(raising(lambda: call(c, objs), exc), c, *objs.values())


def test_disabled_client_paths(disabled_client, objs):
    c = disabled_client
    assert_refcounts_stable(lambda: c.inc(objs["key"], objs["count"], {objs["obj"]: 1}), c, *objs.values())
    assert_refcounts_stable(raising(lambda: c.set(objs["sub"], objs["count"], objs["tags"]), TypeError),
                            c, *objs.values())


def test_construction(receiver, objs):
    host, prefix = "".join(["127.0.0", ".1"]), "".join(["p", "x"])
    assert_refcounts_stable(lambda: StatClient(host, receiver.port, prefix, objs["count"]), host, prefix,
                            objs["count"], StatClient)
    assert_refcounts_stable(raising(lambda: StatClient(host, receiver.port, objs["sub"]), TypeError),
                            host, objs["sub"], StatClient)


def test_decorator_and_wrapper(objs):
    class Rec:
        def timing(self, key, delta, tags=None):
            pass

    client, result = Rec(), objs["obj"]

    def func(*args, **kwargs):
        return result

    def fail(*args, **kwargs):
        raise KeyError(args[0])

    deco = vstat.timing(client, objs["key"], objs["tags"])
    wrapped, failing = deco(func), deco(fail)
    held = (client, result, func, fail, deco, wrapped, *objs.values())
    assert_refcounts_stable(lambda: wrapped(objs["count"], x=objs["delta"]), *held)
    assert_refcounts_stable(raising(lambda: failing(objs["count"], x=objs["delta"]), KeyError), *held)
    assert_refcounts_stable(lambda: vstat.timing(client, objs["key"], objs["tags"])(func), *held)


class TestLifetimes:
    def test_client_and_its_socket_are_freed(self, receiver):
        c = StatClient("127.0.0.1", receiver.port)
        c.inc("x")
        ref, sock_ref = weakref.ref(c), weakref.ref(c._sock)
        del c
        gc.collect()
        assert ref() is None and sock_ref() is None

    def test_cycle_through_a_wrapper_is_collected(self):
        class Holder:
            def timing(self, *a, **kw):
                pass

        h = Holder()
        h.wrapped = vstat.timing(h, "k")(lambda: h)  # h -> wrapper -> closure -> h
        ref = weakref.ref(h)
        del h
        gc.collect()
        assert ref() is None

    def test_decorator_dropped_with_its_captures(self):
        class Client:
            def timing(self, *a, **kw):
                pass

        c = Client()
        ref = weakref.ref(c)
        deco = vstat.timing(c, "k")
        wrapped = deco(len)
        del c, deco
        assert ref() is not None  # the wrapper keeps the client alive
        del wrapped
        gc.collect()
        assert ref() is None
