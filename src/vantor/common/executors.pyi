from abc import ABC as ABC, abstractmethod as abstractmethod
from collections import namedtuple as namedtuple
from concurrent.futures import ThreadPoolExecutor as ThreadPoolExecutor
from logging import Logger
from queue import Empty as Empty, Queue as Queue
from threading import Lock as Lock, get_ident as get_ident
from time import sleep as sleep, time as time
from typing import Any as Any, List as List, NamedTuple

from vantor.common.utils import LogUtils as LogUtils

logger: Logger

class Task(NamedTuple):
    args: tuple[Any, ...]
    kwargs: dict[str, Any]

class DelayedBatchExecutor(ABC):
    num_threads: int
    batch_size: int
    duration: float
    executor: ThreadPoolExecutor
    _queue: Queue[Task]
    _is_running: bool
    _num_running_threads: int
    _lock: Lock
    def __init__(self, num_threads: int = 1, batch_size: int = 100, duration: float = 0.1) -> None: ...
    def add_task(self, *args: Any, **kwargs: Any) -> None: ...
    def wait_until_empty(self) -> None: ...
    def shutdown(self) -> None: ...
    def _batch(self) -> None: ...
    @abstractmethod
    def run(self, tasks: List[Task]) -> Any: ...
