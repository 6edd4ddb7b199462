"""StatClient end to end: construction and address resolution, the metric line
on the wire, the send path, and every step that a subclass may replace."""
import socket
import types

import pytest

import vantor.common.stat as vstat
from conftest import UdpReceiver
from vantor.common.stat import StatClient

WARNING_FORMAT = "Unable to find address for %s:%s. No statsd will be reported."


class FakeSocketModule:
    """Stands in for the `socket` global: records lookups and socket creation."""
    AF_INET, AF_INET6, SOCK_DGRAM = socket.AF_INET, socket.AF_INET6, socket.SOCK_DGRAM
    gaierror = socket.gaierror

    def __init__(self, result=None, lookup_error=None, socket_error=None):
        self.result, self.lookup_error, self.socket_error = result, lookup_error, socket_error
        self.calls = []
        self.made = object()

    def getaddrinfo(self, *args, **kwargs):
        self.calls.append(("getaddrinfo", args, kwargs))
        if self.lookup_error is not None:
            raise self.lookup_error
        return self.result

    def socket(self, *args, **kwargs):
        self.calls.append(("socket", args, kwargs))
        if self.socket_error is not None:
            raise self.socket_error
        return self.made


FAMILY = object()  # whatever the lookup reports is what the socket is made with
TWO_RESULTS = [(FAMILY, 2, 17, "", ("127.0.0.9", 9)), (socket.AF_INET, 2, 17, "", ("127.0.0.8", 8))]


class TestConstruction:
    def test_loopback_client(self, receiver):
        c = StatClient("127.0.0.1", receiver.port)
        assert set(vars(c)) == {"statd_available", "_addr", "_sock", "_prefix", "_maxudpsize"}
        assert c.statd_available is True
        assert c._addr == ("127.0.0.1", receiver.port)
        assert (c._sock.family, c._sock.type) == (socket.AF_INET, socket.SOCK_DGRAM)
        assert c._sock.getsockname() == ("0.0.0.0", 0)  # neither bound nor connected
        with pytest.raises(OSError):
            c._sock.getpeername()
        assert (c._prefix, c._maxudpsize) == ("", 512)

    def test_converted_arguments_are_stored(self, receiver):
        c = StatClient("127.0.0.1", receiver.port + 0.9, "svc", 3.7)
        assert c._addr == ("127.0.0.1", receiver.port)
        assert c._prefix == "svc" and c._maxudpsize == 3 and type(c._maxudpsize) is int
        assert StatClient.__init__(c, "127.0.0.1", receiver.port, "other") is None
        assert c._prefix == "other"

    @pytest.mark.parametrize("args, exc", [
        ((None, 1), TypeError), (("127.0.0.1", "1"), TypeError), (("127.0.0.1", 1, b"p"), TypeError),
        (("127.0.0.1", 0), ValueError), (("127.0.0.1", 65536.5), ValueError),
        (("nonexistent.invalid", 108053), ValueError)])
    def test_rejected_arguments_leave_the_instance_untouched(self, monkeypatch, args, exc):
        monkeypatch.setattr(vstat, "socket", None)  # nothing is looked up either
        blank = StatClient.__new__(StatClient)
        with pytest.raises(exc) as info:
            blank.__init__(*args)
        assert vars(blank) == {}
        if exc is ValueError:
            assert str(info.value) == "port must be in 1..65535, got %d" % args[1]

    def test_ipv6_loopback(self):
        try:
            r = UdpReceiver(socket.AF_INET6, "::1")
        except OSError:
            pytest.skip("no IPv6 loopback on this machine")
        try:
            c = StatClient("::1", r.port, ipv6=True)
            assert c._addr == ("::1", r.port, 0, 0)
            assert c._sock.family == socket.AF_INET6
            c.inc("six")
            assert r.drain() == [b"six:+1|g"]
        finally:
            r.close()

    @pytest.mark.parametrize("host, ipv6", [("nonexistent.invalid", False), ("127.0.0.1", True)])
    def test_unresolvable_host_gives_disabled_client(self, recording_logger, host, ipv6):
        c = StatClient(host, 8125.5, ipv6=ipv6)
        assert vars(c) == {"statd_available": False}
        assert recording_logger.calls == [("warning", (WARNING_FORMAT, host, 8125), {})]
        assert type(recording_logger.calls[0][1][2]) is int

    @pytest.mark.parametrize("ipv6, family", [
        (False, socket.AF_INET), (True, socket.AF_INET6), ("yes", socket.AF_INET6), (1, socket.AF_INET6),
        (None, socket.AF_INET), (0, socket.AF_INET), ("", socket.AF_INET)])
    def test_resolution_goes_through_the_socket_global(self, monkeypatch, recording_logger, ipv6, family):
        fake = FakeSocketModule(result=TWO_RESULTS)
        monkeypatch.setattr(vstat, "socket", fake)
        c = StatClient("db.example", 8125.9, ipv6=ipv6)
        assert fake.calls == [("getaddrinfo", ("db.example", 8125, family, socket.SOCK_DGRAM), {}),
                              ("socket", (FAMILY, socket.SOCK_DGRAM), {})]
        assert type(fake.calls[0][1][1]) is int
        assert c._addr == ("127.0.0.9", 9) and c._sock is fake.made
        assert recording_logger.calls == []

    def test_gaierror_subclass_disables_and_skips_socket(self, monkeypatch, recording_logger):
        class NoName(socket.gaierror):
            pass

        fake = FakeSocketModule(lookup_error=NoName(-2, "nope"))
        monkeypatch.setattr(vstat, "socket", fake)
        c = StatClient("h", 1)
        assert vars(c) == {"statd_available": False}
        assert [call[0] for call in fake.calls] == ["getaddrinfo"]
        assert recording_logger.calls == [("warning", (WARNING_FORMAT, "h", 1), {})]

    @pytest.mark.parametrize("fake, exc", [
        (FakeSocketModule(lookup_error=OSError("resolver broke")), OSError),
        (FakeSocketModule(result=TWO_RESULTS, socket_error=OSError("no family")), OSError),
        (FakeSocketModule(result=[]), IndexError),
        (FakeSocketModule(result=[(1, 2, 3, ("127.0.0.9", 9))]), ValueError),
        (FakeSocketModule(result=[(1, 2, 3, "", ("127.0.0.9", 9), "extra")]), ValueError),
    ], ids=["lookup OSError", "socket OSError", "empty result", "short entry", "long entry"])
    def test_other_failures_propagate_unlogged(self, monkeypatch, recording_logger, fake, exc):
        monkeypatch.setattr(vstat, "socket", fake)
        with pytest.raises(exc) as info:
            StatClient("h", 1)
        if fake.lookup_error is not None:
            assert info.value is fake.lookup_error
        assert recording_logger.calls == []

    def test_logger_failure_propagates(self, monkeypatch):
        def warning(*args):
            raise KeyError("log sink gone")

        monkeypatch.setattr(vstat, "logger", types.SimpleNamespace(warning=warning))
        with pytest.raises(KeyError):
            StatClient("nonexistent.invalid", 1)


ALL_TAGS = {"region": "eu", "retry": True, "shard": 0, "note": None, "ratio": 0.5}


class SortedItems(dict):
    def items(self):
        return sorted(super().items())


class Pairs:
    """Not a mapping, but offers items(), which is all a tag source needs."""

    def __init__(self, pairs):
        self.pairs = pairs

    def items(self):
        return iter(self.pairs)


WIRE_CASES = [
    ("", "inc", ("requests",), [b"requests:+1|g"]),
    ("svc", "inc", ("requests", 5), [b"svc.requests:+5|g"]),
    ("svc", "inc", ("requests", -2), [b"svc.requests:-2|g"]),
    ("svc", "inc", ("requests", 0), [b"svc.requests:+0|g"]),
    ("svc", "set", ("queue.depth", 7), [b"svc.queue.depth:7|g"]),
    ("svc", "set", ("queue.depth", 0), [b"svc.queue.depth:0|g"]),
    ("svc", "set", ("queue.depth", -3), [b"svc.queue.depth:0|g\nsvc.queue.depth:-3|g"]),
    ("svc", "set", ("q", -0.5), [b"svc.q:0|g"]),
    ("", "set", ("k", -1, {"a": "b"}), [b"k,a=b:0|g\nk,a=b:-1|g"]),
    ("", "set", ("k", -10 ** 20), [b"k:0|g\nk:-100000000000000000000|g"]),
    ("", "_gauge", ("g", -1), [b"g:0|g\ng:-1|g"]),
    ("", "_gauge", ("g", -1, True), [b"g:-1|g"]),
    ("svc", "timing", ("db.query", 0.25), [b"svc.db.query:0.250000|h"]),
    ("svc", "timing", ("db.query", 1.23456789), [b"svc.db.query:1.234568|h"]),
    ("svc", "timing", ("db.query", 2), [b"svc.db.query:2.000000|h"]),
    ("", "timing", ("db", 1e-07), [b"db:0.000000|h"]),
    ("", "timing", ("db", 1.5e-06), [b"db:0.000002|h"]),
    ("", "timing", ("db", -0.5), [b"db:-0.500000|h"]),
    ("", "timing", ("db", -1e-09), [b"db:-0.000000|h"]),
    ("", "timing", ("db", float("nan")), [b"db:nan|h"]),
    ("", "timing", ("db", float("inf")), [b"db:inf|h"]),
    ("", "timing", ("db", float("-inf")), [b"db:-inf|h"]),
    ("", "timing", ("db", 1e20), [b"db:100000000000000000000.000000|h"]),
    ("svc", "inc", ("requests", 1, ALL_TAGS), [b"svc.requests,region=eu,retry=True,shard,note,ratio=0.5:+1|g"]),
    ("svc", "inc", ("requests", 1, {}), [b"svc.requests:+1|g"]),
    ("svc.", "inc", ("requests",), [b"svc..requests:+1|g"]),
    ("", "inc", ("k", 1, {"flag": False, "text": "False"}), [b"k,flag,text=False:+1|g"]),
    ("", "inc", ("k", 1, {"big": 1e20, "n": -7, "z": 0.0, "e": ""}), [b"k,big=1e+20,n=-7,z,e:+1|g"]),
    ("", "inc", ("a:b|c", 1, {"x,y": "p=q", "s p": " v "}), [b"a:b|c,x,y=p=q,s p= v :+1|g"]),
    ("", "inc", ("a\rb",), [b"a\rb:+1|g"]),
    ("p", "timing", ("k", 1, SortedItems(b=2, a=1)), [b"p.k,a=1,b=2:1.000000|h"]),
    ("", "inc", ("k", 1, types.MappingProxyType({"b": 2, "a": 1})), [b"k,b=2,a=1:+1|g"]),
    ("", "inc", ("k", 1, Pairs([("x", 1), ("x", 2)])), [b"k,x=1,x=2:+1|g"]),
    ("", "inc", ("x" * 600,), [b"x" * 600 + b":+1|g"]),
]


@pytest.mark.parametrize("prefix, method, args, expected", WIRE_CASES)
def test_lines_on_the_wire(make_client, receiver, prefix, method, args, expected):
    c = make_client(prefix=prefix)
    assert getattr(c, method)(*args) is None
    assert receiver.drain() == expected


# One tags dict used again and again, changed in every way between uses: each line must show
# the dict as it is at that call.
TAG_CHANGES = [
    (lambda t: None, b"k,a=x,n=3,ok=True:+1|g"),
    (lambda t: t.update(a="y"), b"k,a=y,n=3,ok=True:+1|g"),
    (lambda t: t.__setitem__("n", 4), b"k,a=y,n=4,ok=True:+1|g"),
    (lambda t: t.__setitem__("n", 4), b"k,a=y,n=4,ok=True:+1|g"),  # same value stored again
    (lambda t: t.__setitem__("ok", False), b"k,a=y,n=4,ok:+1|g"),
    (lambda t: t.pop("a"), b"k,n=4,ok:+1|g"),
    (lambda t: t.__setitem__("a", "x"), b"k,n=4,ok,a=x:+1|g"),
    (lambda t: t.__setitem__("f", 0.5), b"k,n=4,ok,a=x,f=0.5:+1|g"),  # a value that takes str()
    (lambda t: t.pop("f"), b"k,n=4,ok,a=x:+1|g"),
    (lambda t: (t.clear(), t.update(n=4, ok=False, a="x")), b"k,n=4,ok,a=x:+1|g"),
    (lambda t: t.update(a="\u00e9"), UnicodeEncodeError),
    (lambda t: t.update(a="x", n=2 ** 70), b"k,n=1180591620717411303424,ok,a=x:+1|g"),
]


def test_a_reused_tags_dict_is_rendered_as_it_is_now(client, receiver):
    tags = {"a": "x", "n": 3, "ok": True}
    other = {"b": "z"}
    for change, expected in TAG_CHANGES:
        change(tags)
        for _ in range(2):
            if isinstance(expected, type):
                with pytest.raises(expected):
                    client.inc("k", tags=tags)
            else:
                client.inc("k", tags=tags)
        client.inc("k", tags=other)  # another dict in between
        got = receiver.drain()
        if not isinstance(expected, type):
            assert got == [expected, expected, b"k,b=z:+1|g"]


def test_tags_that_are_an_objects_attributes(client, receiver):
    # the instance dict of an object, whose attributes the interpreter's specialised stores change:
    # every metric carries them as they are now
    class Where:
        pass

    where = Where()
    where.region = "eu"
    tags = vars(where)
    regions = ["eu", "us", "asia"] * 6
    for region in regions:
        where.region = region
        client.inc("k", tags=tags)
    assert receiver.drain() == [b"k,region=%s:+1|g" % r.encode() for r in regions]


def test_a_reused_tags_dict_still_goes_through_an_added_build_tag(make_client, receiver):
    Late = _subclass("LateTag")
    c = make_client(Late)
    tags = {"a": "x"}
    c.inc("k", tags=tags)
    Late._build_tag = lambda self, tag, value: f"{tag}:{value}"
    c.inc("k", tags=tags)
    assert receiver.drain() == [b"k,a=x:+1|g", b"k,a:x:+1|g"]


def test_datagrams_come_from_the_client_socket(client, receiver):
    client.inc("a")
    data, sender = receiver.recv()
    assert data == b"a:+1|g" and sender[1] == client._sock.getsockname()[1]


def test_maxudpsize_limits_nothing(make_client, receiver):
    make_client(maxudpsize=1).set("queue", 1000, {"t": "v" * 100})
    assert receiver.drain() == [b"queue,t=" + b"v" * 100 + b":1000|g"]


class Mutating:
    """A tag value whose truth test grows the mapping being rendered."""

    def __init__(self, tags):
        self.tags = tags

    def __bool__(self):
        self.tags["added"] = 1
        return True


class BadStr:
    def __str__(self):
        raise LookupError("no text")


def _mutating_tags():
    tags = {"a": None, "b": 1}
    tags["a"] = Mutating(tags)
    return tags


@pytest.mark.parametrize("prefix, key, tags, exc", [
    ("", "k", {1: "x"}, TypeError),
    ("", "k", [("a", "b")], AttributeError),
    ("", "k", Pairs([("a", "b", "c")]), ValueError),
    ("", "k", _mutating_tags(), RuntimeError),
    ("", "k", {"a": BadStr()}, LookupError),
    ("", "é", None, UnicodeEncodeError),
    ("", "k", {"t": "é"}, UnicodeEncodeError),
    ("pré", "k", None, UnicodeEncodeError),
], ids=["int tag name", "list of pairs", "triple item", "resized dict", "raising str", "non-ascii key",
        "non-ascii tag", "non-ascii prefix"])
def test_failures_on_the_send_path_send_nothing(make_client, receiver, prefix, key, tags, exc):
    c = make_client(prefix=prefix)
    with pytest.raises(exc) as info:
        c.inc(key, 1, tags)
    if exc is TypeError:
        assert str(info.value) == "Argument 'tag' has incorrect type (expected str, got int)"
    assert receiver.drain() == []


class TestLineFeed:
    @pytest.mark.parametrize("prefix, key, tags", [
        ("", "a\nb", None), ("", "k", {"t": "x\ny"}), ("", "k", {"a\nb": 1}), ("p\n", "k", None),
        ("", "k\r\n", None)])
    def test_line_feed_anywhere_is_rejected(self, make_client, receiver, prefix, key, tags):
        with pytest.raises(ValueError, match="(?i)line feed"):
            make_client(prefix=prefix).inc(key, 1, tags)
        assert receiver.drain() == []

    def test_prepare_itself_passes_line_feeds_through(self, client):
        assert client._prepare("a\nb", "+1|g", tags={"t": "x\ny"}) == "a\nb,t=x\ny:+1|g"

    def test_rejected_line_never_reaches_after(self, make_client, receiver):
        seen = []

        class Spy(StatClient):
            def _after(self, data):
                seen.append(data)

        c = make_client(Spy)
        for call in (lambda: c.set("a\nb", -4), lambda: c.set("é\n", -4), lambda: c.timing("t", 1.0, {"x": "\n"})):
            with pytest.raises(ValueError):
                call()
        assert seen == [] and receiver.drain() == []

    @pytest.mark.parametrize("returned, sent", [("x\ny:1|g", None), ("clean:1|g", [b"clean:1|g"])])
    def test_check_applies_to_what_prepare_returned(self, make_client, receiver, returned, sent):
        class Custom(StatClient):
            def _prepare(self, stat, value, tags=None):
                return returned

        c = make_client(Custom)
        if sent is None:
            with pytest.raises(ValueError):
                c.inc("clean")
            assert receiver.drain() == []
        else:
            c.inc("dirty\nkey")
            assert receiver.drain() == sent


class TestDisabledClient:
    @pytest.mark.parametrize("call", [
        lambda c: c.inc("k", 1, {1: object()}),
        lambda c: c.set("k", -3, [("not", "a mapping")]),
        lambda c: c.timing("k", float("nan"), 5),
        lambda c: c.inc("a\nb", 1, {"é": "x\ny"}),
        lambda c: c._send_stat("k", "1|g", tags=5),
    ])
    def test_drops_silently(self, disabled_client, call):
        assert call(disabled_client) is None

    @pytest.mark.parametrize("call, exc", [
        (lambda c: c.inc(None), TypeError),
        (lambda c: c.set("k", "1"), TypeError),
        (lambda c: c.inc("k", float("inf")), OverflowError),
        (lambda c: c._send_stat("k", b"1|g"), TypeError),
        (lambda c: c._prepare("k", "1|g"), AttributeError),
    ])
    def test_still_checks_arguments(self, disabled_client, call, exc):
        with pytest.raises(exc):
            call(disabled_client)

    def test_enabled_client_can_be_silenced_and_resumed(self, client, receiver):
        client.statd_available = False
        client.inc("off")
        client.statd_available = True
        client.inc("on")
        assert receiver.drain() == [b"on:+1|g"]


class Sink:
    def __init__(self, log, name):
        self.log, self.name = log, name

    def sendto(self, data, addr):
        self.log.append((self.name, data, addr))


# Stores made between calls by the interpreter's own (specialised, after a few rounds) attribute
# path, each seen by the next call: on some 3.13 releases such stores bypass the watchers of the
# instance dict.
@pytest.mark.parametrize("attribute, make_values, sent", [
    ("_prefix", lambda log: ["a", "b"], [("s", b"a.k:+1|g", 9), ("s", b"b.k:+1|g", 9)]),
    ("_addr", lambda log: [1, 2], [("s", b"k:+1|g", 1), ("s", b"k:+1|g", 2)]),
    ("_sock", lambda log: [Sink(log, "x"), Sink(log, "y")], [("x", b"k:+1|g", 9), ("y", b"k:+1|g", 9)]),
    ("statd_available", lambda log: [False, True], [("s", b"k:+1|g", 9)]),
    ("_send", lambda log: [lambda data: log.append(("f", data, 0)), log.append],
     [("f", "k:+1|g", 0), "k:+1|g"]),
])
@pytest.mark.parametrize("extra", [0, 8], ids=["own attributes", "8 more"])
def test_attributes_stored_between_calls_are_seen(client, attribute, make_values, sent, extra):
    log = []
    client._sock, client._addr = Sink(log, "s"), 9
    for i in range(extra):
        setattr(client, f"extra{i}", i)
    client.inc("warm up")
    values = make_values(log)
    namespace = {}
    exec(f"def store(c, v):\n    c.{attribute} = v", namespace)
    del log[:]
    for _ in range(10):
        for value in values:
            namespace["store"](client, value)
            client.inc("k")
    assert log == sent * 10


def test_after_drops_empty_and_sends_the_rest(client, receiver):
    client._after("")
    client._after("raw")
    client._send("rawer")
    assert receiver.drain() == [b"raw", b"rawer"]


def _subclass(name, **methods):
    return type(name, (StatClient,), methods)


class TestOverrides:
    def test_gauge(self, make_client, receiver):
        calls, tags = [], {"t": 1}
        c = make_client(_subclass("G", _gauge=lambda self, *a, **kw: calls.append((a, kw))))
        c.inc("a")
        c.set("a", 2, tags)
        c.set("a", -2)
        assert calls == [(("a", 1), {"delta": True, "tags": None}), (("a", 2), {"delta": False, "tags": tags}),
                         (("a", -2), {"delta": False, "tags": None})]
        assert calls[1][1]["tags"] is tags
        assert receiver.drain() == []

    def test_send_stat(self, make_client, receiver):
        calls, t = [], {"t": 1}
        c = make_client(_subclass("S", _send_stat=lambda self, *a, **kw: calls.append((a, kw))))
        c.inc("a", 5, t)
        c.set("a", 7, t)
        c.timing("a", 0.25, t)
        c.inc("a", -5, t)
        c.set("a", -3, t)
        c._gauge("a", -5)
        assert [a for a, _ in calls] == [("a", "+5|g"), ("a", "7|g"), ("a", "0.250000|h"), ("a", "-5|g"),
                                         ("a", "0|g\n-3|g"), ("a", "0|g\n-5|g")]
        assert [set(kw) for _, kw in calls] == [{"tags"}] * 6
        assert all(kw["tags"] is t for _, kw in calls[:5])
        assert calls[5][1]["tags"] is None
        assert receiver.drain() == []

    def test_prepare(self, make_client, receiver):
        calls, t = [], {"t": 1}

        def prepare(self, *a, **kw):
            calls.append((a, kw))
            return "custom:1|c"

        make_client(_subclass("P", _prepare=prepare)).inc("a", 1, t)
        assert calls == [(("a", "+1|g"), {"tags": t})] and calls[0][1]["tags"] is t
        assert receiver.drain() == [b"custom:1|c"]

    def test_build_tag(self, make_client, receiver):
        calls = []

        def build(self, *a, **kw):
            calls.append((a, kw))
            return f"{a[0]}~{a[1]}"

        make_client(_subclass("B", _build_tag=build), prefix="p").inc("a", 1, {"x": 1, "y": None})
        assert calls == [(("x", 1), {}), (("y", None), {})]
        assert receiver.drain() == [b"p.a,x~1,y~None:+1|g"]

    def test_after_receives_lines_in_order(self, make_client, receiver):
        lines = []
        c = make_client(_subclass("A", _after=lambda self, *a, **kw: lines.append((a, kw))))
        c.inc("a")
        c.set("b", -2)
        c.timing("c", 1)
        c.set("é", -3, {"t": "ü"})
        assert lines == [(("a:+1|g",), {}), (("b:0|g\nb:-2|g",), {}), (("c:1.000000|h",), {}),
                         (("é,t=ü:0|g\né,t=ü:-3|g",), {})]
        assert receiver.drain() == []

    def test_send_with_super(self, make_client, receiver):
        seen = []

        class Tee(StatClient):
            def _send(self, data):
                seen.append(data)
                super()._send(data.upper())

        make_client(Tee).inc("a", 1, {"t": "v"})
        assert seen == ["a,t=v:+1|g"]
        assert receiver.drain() == [b"A,T=V:+1|G"]

    def test_instance_attribute_shadows_the_method(self, client, receiver):
        seen = []
        client._send = seen.append
        client.inc("a")
        del client._send
        client.inc("b")
        assert seen == ["a:+1|g"]
        assert receiver.drain() == [b"b:+1|g"]

    def test_override_added_after_first_use(self, make_client, receiver):
        Late = _subclass("Late")
        c = make_client(Late)
        c.inc("before")
        seen = []
        Late._send = lambda self, data: seen.append(data)
        c.inc("after")
        del Late._send
        c.inc("again")
        assert seen == ["after:+1|g"]
        assert receiver.drain() == [b"before:+1|g", b"again:+1|g"]


# Seconds are formatted in exact integer arithmetic below 2**100 and by the library above it;
# both must agree with the interpreter's "%0.6f" everywhere, ties to even included.
@pytest.mark.parametrize("seconds", [
    0.0, -0.0, 5e-7, 4.999999999e-7, 1.5e-6, 2.5e-6, 0.0078125, 0.0234375, 123456.0000005, 1e-320,
    2.0 ** -1074, 0.1, 2.0 ** 99, 2.0 ** 100 - 2.0 ** 47, 2.0 ** 100, 1e30, 1.7976931348623157e308,
])
@pytest.mark.parametrize("sign", [1, -1])
def test_seconds_format_as_the_interpreter_does(vstat, seconds, sign):
    lines = []

    class Collect(vstat.StatClient):
        def _after(self, data):
            lines.append(data)

    Collect("127.0.0.1", 9).timing("t", sign * seconds)
    assert lines == ["t:" + "%0.6f|h" % (sign * seconds)]
