"""A tour of vantor.common against a statsd receiver embedded in this script.

The receiver listens on 127.0.0.1 (a free port) and prints every datagram it gets, so the
output shows exactly what a statsd daemon would see.
"""
import logging
import socket
import threading
import time
from typing import Callable, List

from vantor.common import executors, stat


class EmbeddedReceiver:
    """A stand-in statsd daemon: one UDP socket on loopback and a thread that collects each
    datagram; the main thread prints them, so output from different threads never interleaves."""

    def __init__(self) -> None:
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.lines: List[str] = []
        self.printed = 0
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self) -> None:
        while not self._stop.is_set():
            try:
                data = self.sock.recv(65535)
            except socket.timeout:
                continue
            with self._lock:
                self.lines.append(data.decode("ascii"))

    @property
    def count(self) -> int:
        with self._lock:
            return len(self.lines)

    def settle(self, expected: int, timeout: float = 2.0) -> None:
        """Waits (bounded) until `expected` datagrams in total have arrived, then prints the new ones."""
        deadline = time.monotonic() + timeout
        while self.count < expected and time.monotonic() < deadline:
            time.sleep(0.01)
        with self._lock:
            fresh = self.lines[self.printed:]
            self.printed = len(self.lines)
        for line in fresh:  # a datagram of two lines shows its line feed as \n
            print("    received: " + line.replace("\n", "\\n"))

    def close(self) -> None:
        self._stop.set()
        self._thread.join()
        self.sock.close()


def main() -> None:
    logging.basicConfig(level=logging.WARNING, format="%(levelname)s %(name)s: %(message)s")
    receiver = EmbeddedReceiver()
    print(f"statsd receiver on 127.0.0.1:{receiver.port}")
    client = stat.StatClient("127.0.0.1", receiver.port, prefix="shop")
    sent = 0

    def step(title: str, action: Callable[[], None], lines: int = 1) -> None:
        nonlocal sent
        print(title)
        action()
        sent += lines
        receiver.settle(sent)

    tags: stat.Tags = {"region": "eu", "canary": True, "shard": 0}
    step("gauge change: inc('orders', 3, tags=...)", lambda: client.inc("orders", 3, tags=tags))
    step("gauge change: inc('orders', -1)", lambda: client.inc("orders", -1))
    step("absolute gauge: set('queue.depth', 42)", lambda: client.set("queue.depth", 42))
    step("negative absolute gauge: set('balance', -7) resets to 0 first, in the same datagram",
         lambda: client.set("balance", -7))
    step("duration: timing('db.query', 0.0123, tags={'table': 'orders'})",
         lambda: client.timing("db.query", 0.0123, tags={"table": "orders"}))

    @stat.timing(client, "checkout.time", tags={"region": "eu"})
    def checkout(items: List[int]) -> int:
        time.sleep(0.005)
        return sum(items)

    step("timed function: checkout([1, 2, 3])", lambda: print(f"    checkout returned {checkout([1, 2, 3])}"))

    print("refused: a line feed would smuggle in a second metric")
    try:
        client.inc("orders", tags={"note": "x\nfake.metric:1|c"})
    except ValueError as error:
        print(f"    ValueError: {error}")

    disabled = stat.StatClient("statsd.invalid", 8125)
    disabled.inc("orders")
    print(f"a client for an unresolvable host is disabled: statd_available={disabled.statd_available}")

    class InventoryReporter(executors.DelayedBatchExecutor):
        """Turns queued stock events into gauges, reported in batches."""

        def run(self, tasks: List[executors.Task]) -> None:
            print(f"  batch of {len(tasks)}: {[task.args for task in tasks]}")
            for task in tasks:
                sku, change = task.args
                client.inc(f"stock.{sku}", change, tags=task.kwargs)

    print("executor: 7 stock events, batch_size 3, one worker waking every 0.05 s")
    reporter = InventoryReporter(num_threads=1, batch_size=3, duration=0.05)
    events = [("apple", 5), ("pear", -2), ("apple", -1), ("plum", 9), ("pear", 4), ("apple", 2), ("fig", 1)]
    for sku, change in events:
        reporter.add_task(sku, change, warehouse="north")
    reporter.wait_until_empty()
    reporter.shutdown()
    sent += len(events)
    receiver.settle(sent)

    receiver.close()
    print(f"done: {receiver.count} datagrams received")


if __name__ == "__main__":
    main()
