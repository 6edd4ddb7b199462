"""The client against real statsd daemons: what collectd and netdata make of
the lines it sends.

collectd's statsd plugin keeps a gauge's tags as part of its name
(``svc.conn,region=eu``), reads a leading sign as a change of the gauge, and
splits a datagram at line feeds; the controls below show that on raw lines, so
that the client cases prove something.  netdata's statsd listener charts each
histogram in a private chart of its own.

Each daemon runs from a folder of its own on 127.0.0.1 (see daemon_helpers);
the tests skip, saying why, where the daemon is not installed.
"""
import os
import subprocess
import sys
import threading
import time

import pytest

from daemon_helpers import Collectd, DaemonUnavailable, Netdata, NotInstalled, poll, send_raw, set_in_turn
from vantor.common.stat import StatClient

pytestmark = pytest.mark.daemon

LOOPBACK = "127.0.0.1"


def _start(daemon, skip_when):
    try:
        daemon.start()
    except skip_when as exc:
        daemon.stop()
        pytest.skip(str(exc))
    except BaseException:
        daemon.stop()
        raise
    return daemon


@pytest.fixture(scope="module")
def collectd(tmp_path_factory):
    # Only a missing program skips: collectd failing to start is a failure.
    daemon = _start(Collectd(tmp_path_factory.mktemp("collectd")), NotInstalled)
    yield daemon
    daemon.stop()


@pytest.fixture(scope="module")
def netdata(tmp_path_factory):
    # netdata may not start in every environment: then its tests skip, with its log.
    daemon = _start(Netdata(tmp_path_factory.mktemp("netdata")), DaemonUnavailable)
    yield daemon
    daemon.stop()


def case_prefix(request, kind):
    """A metric prefix of the test case's own, so that cases sharing a daemon
    never see each other's metrics."""
    return "%s_%s" % (kind, request.node.callspec.id.replace("-", "_"))


def call(client, method, key, value=None, tags=None):
    """client.<method>(key[, value], tags=tags); no value means the default."""
    args = (key,) if value is None else (key, value)
    getattr(client, method)(*args, tags=tags)


def collectd_gauges(collectd, prefix):
    """Every gauge collectd holds under the prefix (``prefix.*``), with its value."""
    return collectd.gauges(n for n in collectd.gauge_names() if n.startswith(prefix + "."))


EU = {"region": "eu"}

# Calls on a client whose prefix is the case's own, and the gauges collectd
# then holds under that prefix (names without the prefix and its dot).
GAUGE_CASES = [
    pytest.param([("set", "users", 7)], {"users": 7}, id="set"),
    pytest.param([("set", "conn", 7, EU), ("inc", "conn", 3, EU), ("inc", "conn", -1, EU)],
                 {"conn,region=eu": 9}, id="set-then-changed-with-tags"),
    pytest.param([("inc", "hits"), ("inc", "hits"), ("inc", "hits")], {"hits": 3}, id="inc-default-count"),
    pytest.param([("inc", "queue", -4)], {"queue": -4}, id="change-without-a-set"),
    pytest.param([("inc", "x", 5), ("set", "x", 2)], {"x": 2}, id="set-after-changes"),
    pytest.param([("set", "temp", 10), ("set", "temp", -5)], {"temp": -5}, id="negative-set-after-positive"),
    pytest.param([("set", "temp", -5), ("set", "temp", -3)], {"temp": -3}, id="negative-set-twice"),
    pytest.param([("set", "temp", -5), ("set", "temp", 4)], {"temp": 4}, id="positive-set-after-negative"),
    pytest.param([("set", "temp", 10), ("set", "temp", 0)], {"temp": 0}, id="zero-set-after-positive"),
    pytest.param([("set", "conn", 10, EU), ("set", "conn", -7, EU)], {"conn,region=eu": -7},
                 id="negative-set-with-tags"),
    pytest.param([("set", "conn", 4, {"region": "eu", "canary": False, "shard": 3})],
                 {"conn,region=eu,canary,shard=3": 4}, id="tags-of-each-kind"),
    pytest.param([("set", "conn", 1, EU), ("set", "conn", 2, {"region": "us"}), ("inc", "conn", 5, EU),
                  ("set", "conn", 3)],
                 {"conn,region=eu": 6, "conn,region=us": 2, "conn": 3}, id="each-tag-set-its-own-gauge"),
]


@pytest.mark.parametrize("calls, expected", GAUGE_CASES)
def test_collectd_gauges(collectd, request, calls, expected):
    prefix = case_prefix(request, "g")
    client = StatClient(LOOPBACK, collectd.port, prefix)
    for c in calls:
        call(client, *c)
    collectd.sync()
    assert collectd_gauges(collectd, prefix) == {
        "%s.%s" % (prefix, name): float(value) for name, value in expected.items()}


def test_collectd_negative_gauges_set_concurrently(collectd):
    # Two threads and two processes set the same gauges to their own negative values, a gauge at a
    # time, all stopping together: each gauge must end on a value that was set. A reset and a value
    # in two datagrams leave a gauge at the sum of two senders' values where their pairs interleave.
    keys, values, start = ["k%d" % i for i in range(8)], [-11, -13, -17, -19], time.time() + 1.0
    args = lambda value: [LOOPBACK, collectd.port, "race", value, start, 0.2] + keys  # noqa: E731
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    worker = "import sys, daemon_helpers; daemon_helpers.set_in_turn(*sys.argv[1:])"
    processes = [subprocess.Popen([sys.executable, "-c", worker, *map(str, args(v))], env=env) for v in values[2:]]
    threads = [threading.Thread(target=set_in_turn, args=args(v)) for v in values[:2]]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert [p.wait(30) for p in processes] == [0, 0]
    collectd.sync()
    ended = {k: collectd.gauge("race." + k) for k in keys}
    assert all(value in values for value in ended.values()), ended


# Raw datagrams ("{p}" is the case's prefix) and the gauges collectd then holds:
# how collectd reads the lines, which the client's behaviour above relies on.
CONTROL_CASES = [
    pytest.param(["{p}.temp:10|g", "{p}.temp:-5|g"], {"{p}.temp": 5}, id="leading-minus-is-a-change"),
    pytest.param(["{p}.temp:10|g", "{p}.temp:+3|g"], {"{p}.temp": 13}, id="leading-plus-is-a-change"),
    pytest.param(["{p}.temp:10|g", "{p}.temp:0|g", "{p}.temp:-5|g"], {"{p}.temp": -5},
                 id="zero-first-makes-minus-absolute"),
    pytest.param(["{p}.conn,region=eu:7|g"], {"{p}.conn,region=eu": 7}, id="tags-stay-in-the-name"),
    pytest.param(["{p}.lf,k=x:1|g\n{p}.injected:2|g"], {"{p}.lf,k=x": 1, "{p}.injected": 2},
                 id="line-feed-splits-a-datagram"),
]


@pytest.mark.parametrize("datagrams, expected", CONTROL_CASES)
def test_collectd_reads_raw_lines(collectd, request, datagrams, expected):
    prefix = case_prefix(request, "ctl")
    for datagram in datagrams:
        send_raw(collectd.port, datagram.format(p=prefix))
    collectd.sync()
    assert collectd_gauges(collectd, prefix) == {
        name.format(p=prefix): float(value) for name, value in expected.items()}


# A line feed smuggled into a line ("{p}" is the case's prefix).  Sent as it is,
# each of these would make collectd create a gauge from each side of the line
# feed, e.g. "{p}.lf,k=x" and "{p}.injected" (see line-feed-splits-a-datagram).
INJECTED = "x:1|g\n{p}.injected"
LINE_FEED_CASES = [
    pytest.param("set", "lf", 1, {"k": INJECTED}, id="tag-value-set"),
    pytest.param("set", "lf", -2, {"k": INJECTED}, id="tag-value-negative-set"),
    pytest.param("inc", "lf", 1, {"k": INJECTED}, id="tag-value-inc"),
    pytest.param("timing", "lf", 0.25, {"k": INJECTED}, id="tag-value-timing"),
    pytest.param("set", "lf", 1, {INJECTED: "v"}, id="tag-name"),
    pytest.param("set", "lf,k=" + INJECTED, 1, None, id="key"),
]


@pytest.mark.parametrize("method, key, value, tags", LINE_FEED_CASES)
def test_collectd_gets_no_line_with_a_line_feed(collectd, request, method, key, value, tags):
    prefix = case_prefix(request, "lf")
    fill = lambda text: text.format(p=prefix)  # noqa: E731
    key = fill(key)
    tags = None if tags is None else {fill(k): fill(v) for k, v in tags.items()}
    client = StatClient(LOOPBACK, collectd.port, prefix)
    with pytest.raises(ValueError):
        call(client, method, key, value, tags)
    client.set("after", 1)  # the same client still reports
    collectd.sync()
    assert collectd_gauges(collectd, prefix) == {prefix + ".after": 1.0}


# Durations in seconds, sent in one burst to one key.
TIMING_CASES = [
    pytest.param([0.25], id="quarter-second"),
    pytest.param([2], id="whole-seconds"),
    pytest.param([1.5], id="seconds-and-a-half"),
    pytest.param([0.0125], id="milliseconds"),
    pytest.param([0.5, 0.125, 0.25], id="several"),
]


@pytest.mark.parametrize("durations", TIMING_CASES)
def test_netdata_charts_timings_as_histograms(netdata, request, durations):
    # Letters only: netdata splits a chart's type from its name at "_" too.
    prefix = "t" + "".join(ch for ch in request.node.callspec.id if ch.isalnum())
    client = StatClient(LOOPBACK, netdata.port, prefix)
    for seconds in durations:
        client.timing("latency", seconds)
    chart = "statsd_%s.latency_histogram" % prefix
    # Whatever chart the lines make (a timer would make "..._timer"), then its rows.
    ours = poll(lambda: [c for c in netdata.charts() if c.startswith("statsd_%s." % prefix)] or None,
                netdata.WAIT_TIMEOUT, "netdata to chart a metric of %s" % prefix)
    assert ours == [chart]
    rows = poll(lambda: netdata.chart_rows(chart) or None, netdata.WAIT_TIMEOUT,
                "netdata to store a row of %s" % chart)
    meta = netdata.charts()[chart]
    assert (meta["family"], meta["units"]) == ("histograms", "value")

    # The chart's first row is the first flush, exactly as received: it holds
    # the first `events` durations (one burst, in order, may span two flushes).
    first = rows[0]
    count = round(first["events"])
    assert 1 <= count <= len(durations)
    seen = durations[:count]
    # netdata keeps histogram values to 1/1000 ("decimal detail").
    assert first["min"] == pytest.approx(min(seen), abs=1e-3)
    assert first["max"] == pytest.approx(max(seen), abs=1e-3)
    assert first["average"] == pytest.approx(sum(seen) / count, abs=1e-3)


@pytest.mark.parametrize("values", [[10, -5], [-3, -5]], ids=["after-positive", "twice"])
def test_netdata_reads_a_negative_set_as_the_value(netdata, request, values):
    # netdata, too, takes the reset and the value of one datagram as that value
    prefix = "g" + "".join(ch for ch in request.node.callspec.id if ch.isalnum())
    client = StatClient(LOOPBACK, netdata.port, prefix)
    for value in values:
        client.set("temp", value)
    assert netdata.gauge(prefix + ".temp", fence=prefix + ".fence") == -5
