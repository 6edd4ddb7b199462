"""Typed use of the public API; the test suite runs mypy --strict over this file."""
from typing import Any, List

from vantor.common import executors, stat


class Recorder(stat.StatClient):
    def __init__(self) -> None:
        super().__init__("127.0.0.1", 8125, prefix="svc")
        self.lines: List[str] = []

    def _after(self, data: str) -> None:
        self.lines.append(data)


class Summer(executors.DelayedBatchExecutor):
    def __init__(self) -> None:
        super().__init__(num_threads=2, batch_size=10, duration=0.05)
        self.total = 0

    def run(self, tasks: List[executors.Task]) -> Any:
        self.total += sum(task.args[0] for task in tasks)


def report(client: stat.AbstractStatClient, tags: stat.Tags) -> None:
    client.inc("requests", 2, tags=tags)
    client.set("depth", -3)
    client.timing("latency", 0.25, tags={"region": "eu", "retry": True, "shard": 0, "note": None})


recorder = Recorder()
report(recorder, {"zone": "a"})


@stat.timing(recorder, "work")
def work(x: int) -> str:
    return str(x)


text: str = work(3)
summer = Summer()
summer.add_task(1, source="typed")
summer.wait_until_empty()
summer.shutdown()
