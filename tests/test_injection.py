"""The executor's life cycle with Python code injected at every point where it can run
(injection.py): each operation is run once to record the points on the thread that runs it,
then again once per point and action. VANTOR_INJECTION=full injects at every point (./dev
injection); otherwise at an even sample of VANTOR_INJECTION_SAMPLE points (default 40) per
operation. Every case prints how many points it recorded and injected at."""
import ast
import os
import queue
import select
import signal
import subprocess
import sys
import threading
import time
import _thread

import pytest

import injection
from injection import BOUND, INTERRUPT, Injector, check, executor, finish

FULL = os.environ.get("VANTOR_INJECTION") == "full"
SAMPLE = int(os.environ.get("VANTOR_INJECTION_SAMPLE", "40"))
ACTIONS = sorted(injection.ACTIONS)
FAILURES_SHOWN = 5


def traced(inj, call):
    inj.traced()
    try:
        return call()
    except KeyboardInterrupt:
        if inj.outcome != "interrupted":
            raise
        return None  # the operation ends there, as at Ctrl-C: what follows must still work
    finally:
        inj.untraced()


def op_start(inj, made):
    ex = inj.ex = executor()
    traced(inj, lambda: ex.add_task(1))
    return finish(ex, inj, [1], made)


class AppQueue(queue.Queue):
    """An application's queue: its steps are method calls, whose Python code runs each time."""


def op_add_running(inj, made):
    # on a plain queue a running executor's add_task runs no Python code at all: no point
    ex = inj.ex = executor()
    ex._queue = AppQueue()
    ex.add_task(0)
    traced(inj, lambda: ex.add_task(1))
    return finish(ex, inj, [0, 1], made)


def op_shutdown(inj, made):
    ex = inj.ex = executor()
    ex.add_task(0)
    ex.add_task(1)
    traced(inj, ex.shutdown)
    return finish(ex, inj, [0, 1], made)


def op_wait(inj, made):
    ex = inj.ex = executor()
    for i in range(5):
        ex.add_task(i)
    try:
        outcome = traced(inj, ex.wait_until_empty)
    except RuntimeError as e:  # an injected shutdown left tasks that nothing can take: said so
        outcome = None if inj.action == "shutdown" and "no worker loop" in str(e) else e
    return finish(ex, inj, range(5), made) + ([] if outcome is None else ["wait_until_empty: %r" % (outcome,)])


def op_iteration(inj, made):
    # one iteration of a worker loop, traced on its pool thread: parked in its pacing sleep
    # until three tasks are queued, then traced from the iteration's time() to the next one
    ex = inj.ex = executor(num_threads=1, batch_size=2, duration=1.0)
    ex.add_task(0)
    ex.wait_until_empty()
    loop_thread = next(iter(made[0]._threads)).ident
    inj.on_loop_thread = True
    stage = ["park"]
    parked, go, done = threading.Event(), threading.Event(), threading.Event()

    def hook(name):
        here = _thread.get_ident()
        if stage[0] == "park" and name == "sleep" and here == loop_thread:
            parked.set()
            go.wait(BOUND)
        elif stage[0] == "armed" and name == "time" and here == loop_thread:
            stage[0] = "tracing"
            inj.traced()
        elif stage[0] == "tracing" and name == "time" and here == inj.thread:
            inj.untraced()
            stage[0] = "done"
            done.set()

    inj.hook = hook
    assert parked.wait(BOUND)
    for i in (1, 2, 3):
        ex.add_task(i)
    stage[0] = "armed"
    go.set()
    deadline = time.monotonic() + BOUND
    # an interrupt ends the loop instead (reported as a loop that died)
    while not done.wait(0.001) and not (inj.outcome == "interrupted" and ex.live == 0):
        if time.monotonic() > deadline:
            break
    ended = done.is_set() or inj.outcome == "interrupted"
    inj.hook = None
    return finish(ex, inj, [0, 1, 2, 3], made) + ([] if ended else ["the traced iteration never ended"])


def op_bootstrap(inj, made):
    # a new pool thread, traced from its start-up (where threading installs the trace function)
    # until it runs its work item, the loop: where a finalizer can run on it
    ex = inj.ex = executor(num_threads=1)
    reached = threading.Event()

    def trace_new(frame, event, arg):
        if inj.thread is None and not reached.is_set():
            inj.traced()
            sys.settrace(trace_bootstrap)
            return trace_bootstrap(frame, event, arg)
        return None

    def trace_bootstrap(frame, event, arg):
        if event == "call" and frame.f_code.co_name == "run" and "concurrent" in frame.f_code.co_filename:
            inj.untraced()
            reached.set()
            return None
        return inj.tracer(frame, event, arg)

    threading.settrace(trace_new)
    try:
        ex.add_task(1)
    finally:
        threading.settrace(None)
    ended = reached.wait(BOUND)
    return finish(ex, inj, [1], made) + ([] if ended else ["the work item never ran"])


def op_fork(inj, made):
    # the fork hook, traced in the child (the tracer is inherited); the child then makes its
    # final start and shutdown and reports through a pipe
    ex = inj.ex = executor(num_threads=1)
    ex.add_task(0)
    ex.wait_until_empty()
    first_pool = len(made)
    read_end, write_end = os.pipe()
    inj.pid = os.getpid()
    inj.traced()
    started = [False]

    def trace_from_our_hook(frame, event, arg):
        # the hook's first Python code is the new queue's construction; the other modules' fork
        # hooks, which run before it, are not its points
        if not started[0]:
            started[0] = frame.f_code.co_name == "__init__" and frame.f_code.co_filename.endswith("queue.py")
            if not started[0] or os.getpid() == inj.pid:
                return None
        return inj.tracer(frame, event, arg)

    sys.settrace(trace_from_our_hook)
    inherited = ex.live  # the parent's loop, counted in the memory the child gets
    pid = os.fork()
    if pid == 0:
        inj.untraced()
        inj.pid = None
        ex.live -= inherited  # the parent's loops did not come along
        try:
            report = (inj.count, inj.calls, finish(ex, inj, [0], made, first_pool))
        except BaseException as e:
            report = (inj.count, inj.calls, ["the child raised %r" % (e,)])
        os.write(write_end, repr(report).encode())
        os._exit(0)
    inj.untraced()
    inj.pid = None
    os.close(write_end)
    try:
        ready, _, _ = select.select([read_end], [], [], BOUND)
        data = os.read(read_end, 1 << 20) if ready else b""
    finally:
        os.close(read_end)
        if not data:
            os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        ex.shutdown()
    if not data:
        return ["the child hung"]
    inj.count, inj.calls, wrong = ast.literal_eval(data.decode())
    return wrong


OPERATIONS = {
    "add_task that starts": op_start,
    "add_task while running": op_add_running,
    "shutdown": op_shutdown,
    "wait_until_empty": op_wait,
    "one iteration, on its pool thread": op_iteration,
    "a pool thread's start-up": op_bootstrap,
    "the fork hook, in the child": op_fork,
}


def run_in_process(name, target, action, waits, calls=False):
    inj = Injector(target, action)
    made = []
    saved = injection.install(inj, made, waits)
    outcome = {}

    def body():
        try:
            outcome["wrong"] = OPERATIONS[name](inj, made)
        except BaseException as e:
            outcome["wrong"] = ["raised %r" % (e,)]

    try:
        thread = threading.Thread(target=body, daemon=True)
        thread.start()
        thread.join(BOUND)
        if thread.is_alive():  # what can be stopped is, so that the run can go on and end
            if inj.ex is not None:
                inj.ex._is_running = False
            for pool in made:
                pool.shutdown(wait=False)
            return inj.count, ["hung"]
    finally:
        injection.restore(saved)
    return (inj.calls if calls else inj.count), outcome["wrong"]


def run_exit(target, action, waits):
    # the exit hook in a process of its own: a running executor with ten tasks, a stopped one
    # with three left; each hands every task to run once
    args = [sys.executable, injection.HERE, str(target or 0), action or "-", "1" if waits else "0"]
    try:
        proc = subprocess.run(args, capture_output=True, text=True, timeout=3 * BOUND)
    except subprocess.TimeoutExpired:
        return 0, ["hung"]
    lines = proc.stdout.strip().splitlines()
    if proc.returncode != 0 or not lines or "Traceback" in proc.stderr:
        return 0, ["exit status %d: %s" % (proc.returncode, proc.stderr[-2000:])]
    report = ast.literal_eval(lines[-1])
    wrong = []
    if action is not None and report["outcome"].startswith(("TimeoutError", "AttributeError")):
        wrong.append("the injected %s: %s" % (action, report["outcome"]))
    if sorted(map(str, report["running"])) != sorted(map(str, list(range(10)) + report["added"])):
        wrong.append("the running executor ran %r" % (report["running"],))
    if sorted(report["stopped"]) != ["s0", "s1", "s2", "s3"]:
        wrong.append("the stopped executor ran %r" % (report["stopped"],))
    if any(submits != 2 or shutdowns > 1 for submits, shutdowns in report["pools"]):
        wrong.append("pool calls %r" % (report["pools"],))
    return report["points"], wrong


def run(name, target=None, action=None, waits=True):
    if name == "the exit hook":
        return run_exit(target, action, waits)
    return run_in_process(name, target, action, waits)


def sample(count):
    if FULL or count <= SAMPLE:
        return list(range(1, count + 1))
    return sorted({1 + (i * count) // SAMPLE for i in range(SAMPLE)})


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # fork of a process with threads
@pytest.mark.parametrize("name", list(OPERATIONS) + ["the exit hook"])
def test_python_code_at_every_point(name, capsys):
    count, wrong = run(name)
    assert count > 0 and not wrong, wrong
    points = sample(count)
    failures = []
    for i, target in enumerate(points):
        for action in ACTIONS:
            waits = (i + ACTIONS.index(action)) % 2 == 0  # both pools, in turn
            _, wrong = run(name, target, action, waits)
            if wrong:
                failures.append((target, action, "waiting pool" if waits else "pool that does not wait", wrong))
        if len(failures) >= FAILURES_SHOWN:
            break
    with capsys.disabled():
        print(f"\n[injection] {name}: {count} points, injected at {len(points)} x {len(ACTIONS)} actions")
    assert not failures, failures


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # fork of a process with threads
@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")  # a loop that died says so
@pytest.mark.parametrize("name", list(OPERATIONS))
def test_an_interrupt_at_every_call(name, capsys):
    # KeyboardInterrupt out of each call of a module global (before and after it): the operation
    # ends there, and the executor still runs every task once and leaves no thread behind. (At
    # exit, an interrupt ends the hook by design.)
    calls, wrong = run_in_process(name, None, None, True, calls=True)
    assert not wrong, wrong
    failures = []
    for target in range(1, calls + 1):
        _, wrong = run_in_process(name, target, INTERRUPT, target % 2 == 0)
        if wrong:
            failures.append((target, wrong))
        if len(failures) >= FAILURES_SHOWN:
            break
    with capsys.disabled():
        print(f"\n[injection] {name}: an interrupt at each of {calls} calls")
    assert not failures, failures
