"""Shared fixtures: a loopback UDP receiver and a recording stand-in for the module logger
for the metrics-client tests; executors that are stopped after each test, and the fakes
that drive a worker loop deterministically, for the executor tests."""
import gc
import os
import socket

import pytest

# VANTOR_GC_THRESHOLD=N collects after every N allocations, so that finalizers and weak reference
# callbacks run at far more points inside our calls than in an ordinary run (one CI job sets it).
if os.environ.get("VANTOR_GC_THRESHOLD"):
    gc.set_threshold(int(os.environ["VANTOR_GC_THRESHOLD"]), 2, 2)

RECV_TIMEOUT = 2.0
FENCE = b"--fence--"


class UdpReceiver:
    """A bound UDP socket on the loopback interface that collects datagrams.

    Every wait is bounded by RECV_TIMEOUT.  To show that *nothing* was sent,
    ``drain()`` sends a fence datagram from a socket of its own and returns
    everything that arrived before it, so no test waits for a silence.
    """

    def __init__(self, family=socket.AF_INET, host="127.0.0.1"):
        self.family = family
        self.host = host
        self.sock = socket.socket(family, socket.SOCK_DGRAM)
        self.sock.bind((host, 0))
        self.sock.settimeout(RECV_TIMEOUT)
        self.port = self.sock.getsockname()[1]
        self._fence_sock = socket.socket(family, socket.SOCK_DGRAM)

    def recv(self):
        """The next datagram and its sender's address."""
        return self.sock.recvfrom(65536)

    def drain(self):
        """Every payload that arrived before a fresh fence datagram, in order."""
        self._fence_sock.sendto(FENCE, self.sock.getsockname())
        got = []
        while True:
            data, _ = self.recv()
            if data == FENCE:
                return got
            got.append(data)

    def close(self):
        self.sock.close()
        self._fence_sock.close()


@pytest.fixture
def receiver():
    r = UdpReceiver()
    yield r
    r.close()


@pytest.fixture
def vstat():
    # Imported here rather than at the top so that other modules' tests still
    # collect while this one does not import.
    import vantor.common.stat

    return vantor.common.stat


@pytest.fixture
def client(vstat, receiver):
    return vstat.StatClient("127.0.0.1", receiver.port)


@pytest.fixture
def make_client(vstat, receiver):
    """Build a client (or a client subclass) aimed at the receiver."""

    def make(cls=None, prefix="", **kwargs):
        return (cls or vstat.StatClient)("127.0.0.1", receiver.port, prefix, **kwargs)

    return make


class RecordingLogger:
    """Logger stand-in that records (method, args, kwargs) for every call."""

    def __init__(self):
        self.calls = []

    def _record(self, method):
        def record(*args, **kwargs):
            self.calls.append((method, args, kwargs))

        return record

    def __getattr__(self, name):
        if name in ("debug", "info", "warning", "error", "exception", "critical", "log"):
            return self._record(name)
        raise AttributeError(name)


@pytest.fixture
def recording_logger(vstat, monkeypatch):
    rec = RecordingLogger()
    monkeypatch.setattr(vstat, "logger", rec)
    return rec


@pytest.fixture
def disabled_client(vstat, recording_logger):
    c = vstat.StatClient("nonexistent.invalid", 8125)
    assert c.statd_available is False
    return c


@pytest.fixture
def make():
    """Executors (Collector unless a class is given) that are all stopped after the test."""
    from executor_helpers import Collector, executor_maker

    make, stop_all = executor_maker(Collector, 0.01)
    yield make
    stop_all()


@pytest.fixture
def fakes(monkeypatch):
    from executor_helpers import install_fakes

    return install_fakes(monkeypatch)
