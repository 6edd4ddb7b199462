# The process around the modules: fork (by hand, multiprocessing), exit without shutdown, an exit
# interrupted or forced by a signal while workers are busy. Each case runs in a subprocess with a
# time limit, so a hang fails the case, and a crash shows as a signal or as "FATAL" on stderr.
import ast
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

LIMIT = 60

PREAMBLE = """
import os, signal, sys, threading, time
from vantor.common.executors import DelayedBatchExecutor
OUT = sys.argv[1] if __name__ == "__main__" else None

class Recorder(DelayedBatchExecutor):
    # Appends what each run call received to a file of this process, one task per line.
    def run(self, tasks):
        with open(os.path.join(OUT, "ran-%d" % os.getpid()), "a") as f:
            f.writelines(repr(t.args) + "\\n" for t in tasks)
        if self.slow:
            time.sleep(self.slow)
        if any(t.kwargs.get("fail") for t in tasks):
            raise ValueError("run failed")

    slow = 0
"""

FORK_STORM = """
e = Recorder(num_threads=2, batch_size=7, duration=0.001)
stop = threading.Event()
def produce(p):
    i = 0
    while not stop.is_set():
        e.add_task("p", p, i); i += 1
        if i % 20 == 0:
            time.sleep(0.001)
producers = [threading.Thread(target=produce, args=(p,)) for p in range(3)]
for t in producers: t.start()
failed = []
for k in range(25):
    time.sleep(0.01)
    pid = os.fork()
    if pid == 0:
        signal.alarm(20)  # a deadlocked child dies instead of hanging the case
        assert e._is_running is False and e._num_running_threads == 0 and not hasattr(e, "executor")
        assert e._queue.empty()  # the parent's queued tasks stay the parent's
        e.add_task("child", k)
        e.wait_until_empty()
        e.shutdown()
        ran = open(os.path.join(OUT, "ran-%d" % os.getpid())).read()
        os._exit(0 if "('child', %d)" % k in ran else 3)
    _, status = os.waitpid(pid, 0)
    if status: failed.append((k, status))
stop.set()
for t in producers: t.join()
e.wait_until_empty(); e.shutdown()
print("failed children", failed)
"""

MULTIPROCESSING = """
import multiprocessing
JOBS = '''
from vantor.common.executors import DelayedBatchExecutor
class Collect(DelayedBatchExecutor):
    def run(self, tasks):
        self.done.extend(t.args[0] for t in tasks)
writer = Collect(duration=0.01)   # made at import time, in the parent
writer.done = []
writer.add_task("parent")
def job(n):
    writer.add_task(n)
    writer.wait_until_empty()
    return sorted(x for x in writer.done if x != "parent")
'''
if __name__ == "__main__":
    with open(os.path.join(OUT, "jobs.py"), "w") as f:
        f.write(JOBS)
    sys.path.insert(0, OUT)
    import jobs
    jobs.writer.wait_until_empty()
    method = sys.argv[2]
    ctx = multiprocessing.get_context(method)
    if method == "forkserver":
        ctx.set_forkserver_preload(["jobs"])
    with ctx.Pool(2) as pool:
        results = pool.map(jobs.job, range(6), chunksize=1)
    assert all(n in r for n, r in zip(range(6), results)), results
    jobs.writer.shutdown()
    print("ok", jobs.writer.done)
"""

EXIT_WITHOUT_SHUTDOWN = """
e = Recorder(num_threads=3, batch_size=10, duration=0.5)
e.add_task(0, fail=True)
time.sleep(0.1)  # the loops are pacing: what comes now waits for their next iteration
for i in range(1, 500):
    e.add_task(i, fail=(i % 50 == 0))
if sys.argv[2] == "shutdown":
    e.shutdown()  # as a last step: the loops end without another iteration
print("leaving")
"""

EXIT_WHILE_WAITING = """
e = Recorder(num_threads=2, batch_size=5, duration=0.05)
e.slow = 0.01
for i in range(200):
    e.add_task(i)
waiter = threading.Thread(target=e.wait_until_empty, daemon=sys.argv[2] == "daemon")
waiter.start()
time.sleep(0.05)  # the exit comes while run and wait_until_empty are in progress
print("leaving")
"""

ADDED_DURING_THE_LAST_ROUND = """
import queue
ending, looked = False, []

class Nudging(queue.Queue):
    # the exit's second look at a queue adds a task to the queue it looked at first, as a thread
    # still running could: the round has seen that queue empty already
    def empty(self):
        if ending and threading.current_thread() is threading.main_thread():
            looked.append(self)
            if len(looked) == 2:
                owners[id(looked[0])].add_task("late")
        return super().empty()

owners = {}
for e in (Recorder(num_threads=1), Recorder(num_threads=1)):
    e._queue = Nudging()
    owners[id(e._queue)] = e
ending = True
"""

SIGTERM_WHILE_BUSY = """
e = Recorder(num_threads=4, batch_size=5, duration=0.001)
e.slow = 0.002
signal.signal(signal.SIGTERM, lambda *a: sys.exit(3))
for i in range(400):
    e.add_task(i)
threading.Timer(0.1, os.kill, (os.getpid(), signal.SIGTERM)).start()
time.sleep(30)
"""

CLIENT_AFTER_FORK = """
import socket
from vantor.common.stat import StatClient
rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); rx.bind(("127.0.0.1", 0)); rx.settimeout(5)
c = StatClient("127.0.0.1", rx.getsockname()[1], "svc")
c.inc("before", tags={"a": 1})
pid = os.fork()
c.inc("child" if pid == 0 else "parent", tags={"a": 1})
if pid == 0:
    os._exit(0)
os.waitpid(pid, 0)
print(sorted(rx.recv(100).decode() for _ in range(3)))
"""


CRASHES = {-signal.SIGSEGV, -signal.SIGABRT, -signal.SIGBUS, -signal.SIGILL}


def write_script(tmp_path, body, preamble=PREAMBLE):
    script = tmp_path / "case.py"
    script.write_text(textwrap.dedent(preamble) + textwrap.dedent(body))
    return [sys.executable, str(script), str(tmp_path)]


def run_script(tmp_path, body, *args, preamble=PREAMBLE):
    proc = subprocess.run(write_script(tmp_path, body, preamble) + list(args), capture_output=True, text=True,
                          timeout=LIMIT)
    assert "FATAL" not in proc.stderr and proc.returncode >= 0, proc.stderr
    return proc


def tasks_run(tmp_path):
    """Every task's args as run, per process, from the files the runs wrote."""
    return {p.name: p.read_text().splitlines() for p in tmp_path.glob("ran-*")}


def test_forking_while_producers_and_workers_run(tmp_path):
    proc = run_script(tmp_path, FORK_STORM)
    assert proc.returncode == 0 and "failed children []" in proc.stdout, proc.stdout + proc.stderr
    ran = [t for tasks in tasks_run(tmp_path).values() for t in tasks]
    assert len(ran) == len(set(ran))  # across parent and children, no task ran twice
    assert len([t for t in ran if t.startswith("('child'")]) == 25


@pytest.mark.parametrize("method", ["fork", "forkserver"])
def test_multiprocessing_with_an_executor_made_at_import(tmp_path, method):
    proc = run_script(tmp_path, MULTIPROCESSING, method)
    assert proc.returncode == 0 and proc.stdout.startswith("ok ['parent']"), proc.stdout + proc.stderr


@pytest.mark.parametrize("ending", ["no shutdown", "shutdown"])
def test_exit_runs_everything(tmp_path, ending):
    proc = run_script(tmp_path, EXIT_WITHOUT_SHUTDOWN, ending)
    assert proc.returncode == 0, proc.stderr
    ran = [t for tasks in tasks_run(tmp_path).values() for t in tasks]
    assert sorted(ran) == sorted(repr((i,)) for i in range(500))
    # the failing batches were logged as in the loop, and the exit still completed
    assert proc.stderr.count("ValueError: run failed") == 10


def test_exit_runs_a_task_added_after_its_queue_was_looked_at(tmp_path):
    proc = run_script(tmp_path, ADDED_DURING_THE_LAST_ROUND)
    assert proc.returncode == 0, proc.stderr
    assert [t for tasks in tasks_run(tmp_path).values() for t in tasks] == ["('late',)"]


@pytest.mark.parametrize("waiter", ["daemon", "non-daemon"])
def test_exit_while_waiting_and_running(tmp_path, waiter):
    proc = run_script(tmp_path, EXIT_WHILE_WAITING, waiter)
    assert proc.returncode == 0, proc.stderr
    assert len([t for tasks in tasks_run(tmp_path).values() for t in tasks]) == 200


def test_sigterm_with_sys_exit_while_workers_are_busy(tmp_path):
    for _ in range(4):
        proc = run_script(tmp_path, SIGTERM_WHILE_BUSY)
        assert proc.returncode == 3, proc.stderr


def test_interrupted_exit_does_not_crash(tmp_path):
    # Ctrl-C during the exit's last pass: the interpreter finalizes with the workers still in
    # our C++ code, and ends them there. Dying of SIGINT is how Python reports an interrupt.
    argv = write_script(tmp_path, """
        import signal
        signal.signal(signal.SIGINT, signal.default_int_handler)  # a shell's background job ignores it
        e = Recorder(num_threads=4, batch_size=5, duration=0.001)
        e.slow = 0.001
        for i in range(20000):
            e.add_task(i)
        print("leaving", flush=True)
        """)
    # Threads ended at exit leave their objects behind, as any Python thread does: not a leak of ours.
    env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
    for _ in range(3):
        proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
        assert proc.stdout.readline() == "leaving\n"
        time.sleep(0.3)
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=LIMIT)
        assert proc.returncode not in CRASHES and "FATAL" not in err, err
        assert "KeyboardInterrupt" in err


FORKED_QUEUE = """
import queue
class NoSize(queue.Queue):
    def __init__(self):
        super().__init__()
warnings = []
parent = os.getpid()
class Waiting(queue.Queue):
    # made anew by the fork hook in the child: a wait there is one for the reset itself
    def __init__(self, maxsize=0):
        super().__init__(maxsize)
        if os.getpid() != parent:
            try:
                e.wait_until_empty()
                warnings.append("waited")
            except RuntimeError as error:
                warnings.append("refused: %s" % error)
class Log:
    def warning(self, *args): warnings.append(args[0] % args[1:])
    def debug(self, *args): pass
import vantor.common.executors as vex
vex.logger = Log()
e = Recorder(duration=0.001)
e._queue = eval(sys.argv[2])
e.add_task("parent")
e.wait_until_empty()
e.slow = 0.3
e.add_task("inside run at the fork")  # the child inherits a count of 1 running loop
time.sleep(0.1)
pid = os.fork()
if pid == 0:
    q = e._queue
    os.write(1, repr((type(q).__name__, q.maxsize, q.qsize(), warnings)).encode())
    os._exit(0)
os.waitpid(pid, 0)
e.shutdown()
"""


@pytest.mark.parametrize("made, kind, maxsize, warning", [
    ("queue.PriorityQueue(maxsize=1000)", "PriorityQueue", 1000, None),
    ("NoSize()", "Queue", 0, "Cannot make a new NoSize queue in the forked child (TypeError"),  # takes no maxsize
    ("Waiting()", "Waiting", 0, "refused: wait_until_empty() cannot wait on this thread now: it is resetting"),
])
def test_a_forked_child_gets_a_new_queue_of_the_same_kind(tmp_path, made, kind, maxsize, warning):
    proc = run_script(tmp_path, FORKED_QUEUE, made)
    got_kind, got_maxsize, size, warnings = ast.literal_eval(proc.stdout)
    assert (got_kind, got_maxsize, size) == (kind, maxsize, 0), proc.stderr
    assert [w[:len(warning)] for w in warnings] == ([warning] if warning else []), warnings


GEVENT = """
from gevent import monkey
monkey.patch_all()
import time
from vantor.common.executors import DelayedBatchExecutor

class Slow(DelayedBatchExecutor):
    inside = 0
    def run(self, tasks):
        Slow.inside += 1
        time.sleep(0.02)  # gevent's sleep: the other greenlets run meanwhile
        Slow.inside -= 1
        self.done.extend(t.args[0] for t in tasks)

e = Slow(num_threads=2, batch_size=1, duration=0.01)
e.done = []
for i in range(10):
    e.add_task(i)
e.wait_until_empty()
for i in range(10, 20):
    e.add_task(i)
time.sleep(0.03)
e.shutdown()
print(Slow.inside, sorted(e.done) == list(range(20)))
"""


def test_gevent_patched_before_the_import(tmp_path):
    # greenlets share one thread: they are told apart by the module's get_ident
    pytest.importorskip("gevent")
    proc = run_script(tmp_path, GEVENT, preamble="")  # patched before anything imports threading
    assert proc.stdout.split() == ["0", "True"], proc.stdout + proc.stderr


def test_client_works_in_both_processes_after_fork(tmp_path):
    proc = run_script(tmp_path, CLIENT_AFTER_FORK)
    assert proc.stdout.strip() == "['svc.before,a=1:+1|g', 'svc.child,a=1:+1|g', 'svc.parent,a=1:+1|g']", proc.stderr


def test_dying_loop_is_reported_once(make, monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", lambda args: reports.append((args.exc_type, args.object)))

    def halt(ex, tasks):
        raise KeyboardInterrupt

    ex = make(num_threads=1, hook=halt)
    ex.add_task(1)
    ex.executor.shutdown()  # returns once the only loop has ended
    assert len(reports) == 1 and reports[0][0] is KeyboardInterrupt
    assert reports[0][1].__self__ is ex and reports[0][1].__name__ == "_batch"
