"""Both modules in interpreters of their own: several at once, each with a GIL of its own
(concurrent.interpreters from 3.14, its private forerunner on 3.13); and legacy
subinterpreters (_testcapi.run_in_subinterp), one after another, as mod_wsgi runs applications.
The main interpreter's client and executor keep working around them."""
import socket
import sys
import threading

import pytest

from executor_helpers import Collector, bounded
from vantor.common.stat import StatClient

# One interpreter's work: a client whose sends go nowhere makes many calls (nothing may leak, no
# recursion guard may be left entered), a client aimed at the receiver sends a few metrics and then
# one under a prefix changed through the instance dict, and an executor runs every task once.
WORK = """
import sys
from vantor.common.stat import StatClient
from vantor.common.executors import DelayedBatchExecutor

class Sink:
    def sendto(self, data, addr):
        pass

quiet = StatClient("127.0.0.1", {port}, "q")
quiet._sock = sink = Sink()
before = sys.getrefcount(sink)
for i in range(3000):
    quiet.inc("m", tags={{"a": 1}})
assert sys.getrefcount(sink) == before, (before, sys.getrefcount(sink))

c = StatClient("127.0.0.1", {port}, "i{k}")
for i in range(20):
    c.inc("m", i)
vars(c).update(_prefix="new{k}")
c.inc("changed")

class Writer(DelayedBatchExecutor):
    def run(self, tasks):
        self.ran.extend(t.args[0] for t in tasks)

w = Writer(num_threads=2, duration=0.001)
w.ran = []
for i in range(200):
    w.add_task(i)
w.wait_until_empty()
w.shutdown()
assert sorted(w.ran) == list(range(200)), w.ran
"""


class Drain:
    """Receives on a loopback socket on a thread of its own until told to stop."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.got, self.done = [], threading.Event()
        self.thread = threading.Thread(target=self._run)
        self.thread.start()

    def _run(self):
        while True:
            try:
                self.got.append(self.sock.recv(200))
            except socket.timeout:
                if self.done.is_set():
                    return

    def stop(self):
        self.done.set()
        self.thread.join()
        self.sock.close()
        return self.got


def isolated_interpreters():
    """create(), exec(interp, code) -> what failed or None, close(interp), for interpreters with a
    GIL of their own: concurrent.interpreters from 3.14, the private modules before it."""
    try:
        from concurrent import interpreters
    except ImportError:
        pass
    else:
        def run(interp, code):
            try:
                interp.exec(code)
            except interpreters.ExecutionFailed as e:
                return e
        return interpreters.create, run, lambda interp: interp.close()
    if sys.version_info < (3, 13):
        # 3.12 has them (_xxsubinterpreters), but its run_string hangs when called from a thread
        pytest.skip("interpreters with a GIL of their own are run from threads from 3.13 on")
    import _interpreters  # 3.13

    return _interpreters.create, _interpreters.exec, _interpreters.destroy


def in_isolated_interpreters(count, port):
    create, run, close = isolated_interpreters()
    made = [create() for _ in range(count)]
    errors = []

    def work(k, interp):
        try:
            failed = run(interp, WORK.format(port=port, k=k))
        except Exception as e:  # 3.12's run_string raises what failed
            failed = e
        if failed is not None:
            errors.append(failed)

    threads = [threading.Thread(target=work, args=(k, i)) for k, i in enumerate(made)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for interp in made:
        close(interp)
    return errors


def in_legacy_subinterpreters(count, port):
    testcapi = pytest.importorskip("_testcapi")
    return [k for k in range(count) if testcapi.run_in_subinterp(WORK.format(port=port, k=k)) != 0]


@pytest.mark.parametrize("run", [in_isolated_interpreters, in_legacy_subinterpreters],
                         ids=["a GIL of their own, four at once", "legacy, three in turn"])
def test_both_modules_in_interpreters_of_their_own(run):
    drain = Drain()
    main_client = StatClient("127.0.0.1", drain.port, "main")
    main_writer = Collector(duration=0.001)
    main_client.inc("before")
    main_writer.add_task("before")
    count = 4 if run is in_isolated_interpreters else 3
    try:
        failures = run(count, drain.port)
    finally:
        # the main interpreter's objects, and their caches, as they were
        main_client.inc("after")
        main_client._prefix = "main2"
        main_client.inc("after")
        main_writer.add_task("after")
        bounded(main_writer.wait_until_empty)
        bounded(main_writer.shutdown)
        got = drain.stop()
    assert failures == []
    for k in range(count):
        assert [g for g in got if g.startswith(b"i%d." % k)] == [b"i%d.m:+%d|g" % (k, i) for i in range(20)]
        assert b"new%d.changed:+1|g" % k in got
    assert [g for g in got if g.startswith(b"main")] == [b"main.before:+1|g", b"main.after:+1|g",
                                                        b"main2.after:+1|g"]
    assert [t.args for t in main_writer.taken()] == [("before",), ("after",)]
