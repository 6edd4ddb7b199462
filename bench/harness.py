"""Timing machinery for bench/run.py: compiled loops, interleaved repeats, medians, a loopback
UDP receiver, RSS readings and a description of the machine.

Every case is a statement run in a loop compiled for it, with the objects it uses passed in as
local variables (so a name costs a LOAD_FAST, as in a real function) and the body unrolled, so
the loop's own cost is a small fraction of a nanosecond per operation. The benchmarks of one
case are calibrated on their own, then run in interleaved rounds (ours, floor, peer, ours, ...),
so that a slow moment of the machine hits all of them alike; each result is the median of its
rounds.
"""
import gc
import itertools
import os
import platform
import socket
import statistics
import sys
import time

perf_counter_ns = time.perf_counter_ns
thread_time_ns = time.thread_time_ns
MIN_CPU_SHARE = 0.95
ROUNDS = {"run": 0, "clean": 0}  # totals over every measure() call, for the progress lines
UNROLL = 10


def compile_loop(stmt, names, unroll=UNROLL):
    """A function loop(iterations, *names) that runs `stmt` unroll times per iteration."""
    params = ", ".join(["_iterations"] + list(names))
    body = "".join(f"        {stmt}\n" for _ in range(unroll))
    source = f"def loop({params}):\n    for _ in _repeat(None, _iterations):\n{body}"
    namespace = {"_repeat": itertools.repeat}
    exec(compile(source, f"<loop: {stmt}>", "exec"), namespace)
    return namespace["loop"]


def compile_try_loop(stmt, exc_name, names, unroll=UNROLL):
    """Like compile_loop, but each statement sits in its own try/except <exc_name>."""
    params = ", ".join(["_iterations"] + list(names))
    body = "".join(f"        try:\n            {stmt}\n        except {exc_name}:\n            pass\n"
                   for _ in range(unroll))
    source = f"def loop({params}):\n    for _ in _repeat(None, _iterations):\n{body}"
    namespace = {"_repeat": itertools.repeat}
    exec(compile(source, f"<try loop: {stmt}>", "exec"), namespace)
    return namespace["loop"]


class Bench:
    """One statement over some objects, timed in ns per execution of the statement."""

    def __init__(self, label, stmt, threaded=False, catch=None, **objects):
        """`threaded`: the statement hands work to another thread of this process, so this
        thread's share of the CPU says nothing about other processes (not checked)."""
        self.label = label
        self.threaded = threaded
        self.stmt = stmt
        self.names = list(objects)
        self.values = [objects[name] for name in self.names]
        if catch:
            self.loop = compile_try_loop(stmt, catch, self.names)
        else:
            self.loop = compile_loop(stmt, self.names)
        self.iterations = 1
        self.samples = []
        self.clock = "wall"

    def run(self, iterations):
        """Wall time in ns of `iterations` * UNROLL executions, with the collector off. Also
        records this thread's CPU time over the same span (last_cpu) and its share of the wall
        time (last_share, below 1 when the machine took the CPU away from this thread)."""
        loop, values = self.loop, self.values
        gc_was_enabled = gc.isenabled()
        gc.disable()
        try:
            cpu0 = thread_time_ns()
            start = perf_counter_ns()
            loop(iterations, *values)
            wall = perf_counter_ns() - start
            self.last_cpu = thread_time_ns() - cpu0
            self.last_share = self.last_cpu / wall if wall else 1.0
            return wall
        finally:
            if gc_was_enabled:
                gc.enable()

    def calibrate(self, target_ns, between=None):
        """Pick iterations so that one round takes about target_ns; the runs also warm up."""
        iterations = 1
        while True:
            if between:
                between()
            elapsed = self.run(iterations)
            if elapsed >= target_ns / 8 or iterations >= 1 << 26:
                break
            iterations *= 4 if elapsed < target_ns / 64 else 2
        per_iteration = max(elapsed / iterations, 1.0)
        self.iterations = max(1, int(target_ns / per_iteration))
        return self.iterations

    @property
    def ops(self):
        return self.iterations * UNROLL

    @property
    def median(self):
        return statistics.median(self.samples)

    @property
    def spread(self):
        """Half the spread between the quartiles, relative to the median (a stability hint)."""
        if len(self.samples) < 3:
            return 0.0
        q = statistics.quantiles(self.samples, n=4)
        return (q[2] - q[0]) / 2 / self.median


def measure(benches, repeats, target_ns, between=None):
    """Calibrate, warm up, then run interleaved rounds; fills each bench's samples with ns per
    operation, one per kept round, aligned across benches.

    A round is clean when every run of it kept its CPU (this thread on a CPU for MIN_CPU_SHARE
    of the wall time). When a round is not, more rounds are run, up to twice `repeats`; if
    `repeats` clean rounds came together, their wall times are the samples. Otherwise the
    machine is too busy for wall time to mean much, and every round counts with this thread's
    CPU time instead (bench.clock becomes "cpu"), except for a `threaded` bench, whose work is
    partly done by another thread and which keeps its wall time. `between` (untimed) runs
    before every timed run."""
    for bench in benches:
        bench.calibrate(target_ns, between)
    for bench in benches:  # one full-size warm-up run each
        if between:
            between()
        bench.run(bench.iterations)
    gc.collect()
    rounds = []  # (clean, {bench: (wall ns per op, cpu ns per op)})
    while True:
        clean_count = sum(clean for clean, _ in rounds)
        if clean_count >= repeats or len(rounds) >= 2 * repeats:
            break
        shift = len(rounds) % len(benches)
        samples, clean = {}, True
        for bench in benches[shift:] + benches[:shift]:
            if between:
                between()
            wall = bench.run(bench.iterations)
            samples[bench] = (wall / bench.ops, bench.last_cpu / bench.ops)
            clean = clean and (bench.threaded or bench.last_share >= MIN_CPU_SHARE)
        rounds.append((clean, samples))
    ROUNDS["run"] += len(rounds)
    ROUNDS["clean"] += clean_count
    wall_clock = clean_count >= repeats
    for bench in benches:
        if wall_clock:
            bench.samples = [s[bench][0] for clean, s in rounds if clean][:repeats]
            bench.clock = "wall"
        else:
            index = 0 if bench.threaded else 1
            bench.samples = [s[bench][index] for _, s in rounds]
            bench.clock = "wall" if bench.threaded else "cpu"
        bench.rounds, bench.clean_rounds = len(rounds), clean_count
    return benches


class Receiver:
    """A UDP socket bound on 127.0.0.1 with a receive buffer as large as the kernel allows,
    drained (untimed) between timed runs so that every run sees the same, non-full queue."""

    def __init__(self, family=socket.AF_INET, host="127.0.0.1"):
        self.sock = socket.socket(family, socket.SOCK_DGRAM)
        self.rcvbuf = self._grow_buffer(64 << 20)
        self.sock.bind((host, 0))
        self.sock.setblocking(False)
        self.address = self.sock.getsockname()
        self.port = self.address[1]
        self._buffer = bytearray(65536)

    def _grow_buffer(self, wanted):
        force = getattr(socket, "SO_RCVBUFFORCE", 33)
        try:  # needs CAP_NET_ADMIN; otherwise the ordinary option, capped by rmem_max
            self.sock.setsockopt(socket.SOL_SOCKET, force, wanted)
        except OSError:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, wanted)
        return self.sock.getsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF)

    def drain(self):
        """Discard everything queued; returns the number of datagrams."""
        count = 0
        recv_into, buffer = self.sock.recv_into, self._buffer
        while True:
            try:
                recv_into(buffer)
            except BlockingIOError:
                return count
            count += 1

    def receive_all(self, timeout=0.5):
        """Every datagram that arrives within `timeout` of the last one."""
        got = []
        self.sock.settimeout(timeout)
        try:
            while True:
                got.append(self.sock.recv(65536))
        except (socket.timeout, BlockingIOError):
            pass
        finally:
            self.sock.setblocking(False)
        return got

    def close(self):
        self.sock.close()


def rss_bytes():
    """Resident set size of this process, from /proc/self/statm (Linux) or resource."""
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:
        import resource
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def machine_info():
    lines = []
    model, mhz = None, None
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                key, _, value = line.partition(":")
                key = key.strip()
                if key == "model name" and model is None:
                    model = value.strip()
                elif key == "cpu MHz" and mhz is None:
                    mhz = value.strip()
    except OSError:
        pass
    model = model or platform.processor() or "unknown"
    cpus = os.cpu_count()
    try:
        usable = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        usable = cpus
    lines.append(f"CPU      {model}" + (f" @ {float(mhz):.0f} MHz" if mhz else "")
                 + f", {cpus} logical CPUs ({usable} usable)")
    try:
        with open("/proc/loadavg") as f:
            load = " ".join(f.read().split()[:3])
    except OSError:
        load = "?"
    lines.append(f"System   {platform.system()} {platform.release()} ({platform.machine()}), load {load}")
    build = " ".join(platform.python_build())
    lines.append(f"Python   {platform.python_implementation()} {platform.python_version()} "
                 f"({build}; {platform.python_compiler()}), switch interval "
                 f"{sys.getswitchinterval() * 1000:.0f} ms")
    return lines


def paired(bench, reference):
    """The median over rounds of bench/reference, each round's two runs being neighbours in
    time (so a slow moment of a shared machine cancels out), and the relative half-IQR of it."""
    ratios = [a / b for a, b in zip(bench.samples, reference.samples)]
    middle = statistics.median(ratios)
    if len(ratios) < 3:
        return middle, 0.0
    q = statistics.quantiles(ratios, n=4)
    return middle, (q[2] - q[0]) / 2 / middle
