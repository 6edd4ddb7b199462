"""Real statsd daemons for the daemon tests: collectd (its statsd plugin, read
back through its unixsock plugin) and netdata (its statsd listener, read back
through its REST API).

Each daemon runs in the foreground as a child process in a session of its own,
with its configuration, sockets, logs and data in a temporary folder, bound to
127.0.0.1 only.  Every wait is a poll with a deadline; none is a fixed sleep.
"""
import grp
import json
import os
import pwd
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request

LOOPBACK = "127.0.0.1"
POLL_INTERVAL = 0.05
INSTALL_HINT = "install Debian's %s package (CI does it in .ci/install-daemons)"
# Where Debian puts daemons; a non-root PATH often lacks these folders.
SBIN_PATH = os.pathsep.join([os.environ.get("PATH", os.defpath), "/usr/sbin", "/sbin"])


class DaemonUnavailable(Exception):
    """The daemon could not be started here."""


class NotInstalled(DaemonUnavailable):
    """The daemon's program (or a file of its package) is not on this machine."""


def find_program(name):
    return shutil.which(name, path=SBIN_PATH)


def free_port(kind):
    """A port on the loopback interface that nothing is bound to right now."""
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind((LOOPBACK, 0))
        return s.getsockname()[1]


def poll(probe, timeout, what):
    """Call ``probe`` until it returns something other than None; return that.

    Gives up after ``timeout`` seconds with a TimeoutError naming ``what`` and
    the last thing the probe reported (through the exception it raised, if any);
    a DaemonUnavailable from the probe ends the wait at once.
    """
    deadline = time.monotonic() + timeout
    last = None
    while True:
        try:
            result = probe()
        except DaemonUnavailable:
            raise  # the daemon is gone: no use waiting
        except Exception as exc:  # noqa: BLE001 - reported if the wait fails
            result, last = None, exc
        if result is not None:
            return result
        if time.monotonic() >= deadline:
            raise TimeoutError("gave up after %.0f s waiting for %s (last: %r)" % (timeout, what, last))
        time.sleep(POLL_INTERVAL)


def send_raw(port, payload):
    """One datagram, exactly as given, to the daemon's statsd port."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.sendto(payload.encode() if isinstance(payload, str) else payload, (LOOPBACK, port))


def set_in_turn(host, port, prefix, value, start, slot, *keys):
    """Sets each key to ``value`` again and again for ``slot`` seconds, one key after the other
    from the time ``start`` (on a thread, or in a process through ``python -c``)."""
    from vantor.common.stat import StatClient

    client, value, start, slot = StatClient(host, int(port), prefix), int(value), float(start), float(slot)
    time.sleep(max(0.0, start - time.time()))
    for i, key in enumerate(keys, 1):
        while time.time() < start + i * slot:
            client.set(key, value)


def tail(path, lines=30):
    try:
        with open(path, errors="replace") as f:
            return "".join(f.readlines()[-lines:])
    except OSError as exc:
        return "(no log: %s)" % exc


class _Daemon:
    """A foreground daemon in a process group of its own."""

    name = "daemon"

    def __init__(self, workdir):
        self.workdir = str(workdir)
        self.log_path = os.path.join(self.workdir, "%s.out" % self.name)
        self.proc = None

    def _spawn(self, argv):
        with open(self.log_path, "wb") as log:
            self.proc = subprocess.Popen(
                argv, cwd=self.workdir, stdin=subprocess.DEVNULL, stdout=log,
                stderr=subprocess.STDOUT, start_new_session=True)

    def check_alive(self):
        if self.proc.poll() is not None:
            raise DaemonUnavailable("%s exited with status %s during start-up:\n%s"
                                    % (self.name, self.proc.returncode, self.log_tail()))

    def log_tail(self):
        return tail(self.log_path)

    def stop(self):
        """End the daemon (and any child it made in its group): TERM, then KILL."""
        if self.proc is None or self.proc.poll() is not None:
            return
        pgid = self.proc.pid  # start_new_session: the group is ours alone
        for sig, grace in ((signal.SIGTERM, 15), (signal.SIGKILL, 5)):
            try:
                os.killpg(pgid, sig)
            except ProcessLookupError:
                return
            try:
                self.proc.wait(timeout=grace)
                return
            except subprocess.TimeoutExpired:
                continue


class Collectd(_Daemon):
    """collectd with the statsd plugin on 127.0.0.1 and the unixsock plugin.

    Gauges arrive as values named ``HOST/statsd/gauge-<metric name>``.
    """

    name = "collectd"
    HOST = "vantor-test"
    FENCE = "vantor_fence"
    PROBE = "vantor_probe"
    START_TIMEOUT = 30.0
    WAIT_TIMEOUT = 20.0

    def __init__(self, workdir):
        super().__init__(workdir)
        self.socket_path = os.path.join(self.workdir, "unixsock")
        self._socket_dir = None
        if len(self.socket_path) > 100:  # too long for a unix socket's address
            self._socket_dir = tempfile.mkdtemp(prefix="vantor-collectd-")
            self.socket_path = os.path.join(self._socket_dir, "unixsock")
        self.conf_path = os.path.join(self.workdir, "collectd.conf")
        self.port = None
        self._fence = 0

    def stop(self):
        super().stop()
        if self._socket_dir is not None:
            shutil.rmtree(self._socket_dir, ignore_errors=True)

    @staticmethod
    def types_db():
        for path in ("/usr/share/collectd/types.db", "/usr/local/share/collectd/types.db"):
            if os.path.exists(path):
                return path
        raise NotInstalled("collectd's types.db is missing (" + INSTALL_HINT % "collectd-core" + ")")

    def start(self):
        program = find_program("collectd")
        if program is None:
            raise NotInstalled("collectd is not installed: " + INSTALL_HINT % "collectd-core")
        self.port = free_port(socket.SOCK_DGRAM)
        group = grp.getgrgid(os.getgid()).gr_name
        conf = f"""
Hostname "{self.HOST}"
FQDNLookup false
BaseDir "{self.workdir}"
PIDFile "{self.workdir}/collectd.pid"
TypesDB "{self.types_db()}"
AutoLoadPlugin false
Interval 0.2
# Values only need to reach the cache that unixsock reads: nothing is written.
PostCacheChain "PostCache"
<Chain "PostCache">
  Target "stop"
</Chain>
LoadPlugin statsd
LoadPlugin unixsock
<Plugin statsd>
  Host "{LOOPBACK}"
  Port "{self.port}"
  DeleteGauges false
</Plugin>
<Plugin unixsock>
  SocketFile "{self.socket_path}"
  SocketGroup "{group}"
  SocketPerms "0700"
  DeleteSocket true
</Plugin>
"""
        with open(self.conf_path, "w") as f:
            f.write(conf)
        self._spawn([program, "-f", "-C", self.conf_path])
        # Ready once a gauge sent to the statsd port can be read back.
        try:
            poll(self._probe_ready, self.START_TIMEOUT, "collectd to take a gauge")
        except TimeoutError as exc:
            self.check_alive()
            raise TimeoutError("%s\ncollectd log:\n%s" % (exc, self.log_tail())) from None

    def _probe_ready(self):
        self.check_alive()
        send_raw(self.port, "%s:1|g" % self.PROBE)
        return True if self.gauge(self.PROBE) == 1 else None  # raises until unixsock answers

    # -- the unixsock protocol -------------------------------------------------
    def command(self, line):
        """Send one command; return (status, message, the lines that follow)."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(5)
            s.connect(self.socket_path)
            with s.makefile("rw", encoding="utf-8", newline="\n") as f:
                f.write(line + "\n")
                f.flush()
                head = f.readline().rstrip("\n")
                status, _, message = head.partition(" ")
                status = int(status)
                rest = [f.readline().rstrip("\n") for _ in range(max(status, 0))]
        return status, message, rest

    @staticmethod
    def quote(identifier):
        return '"%s"' % identifier.replace("\\", "\\\\").replace('"', '\\"')

    def gauge_names(self):
        """The names of all the statsd gauges that collectd holds values for."""
        status, message, lines = self.command("LISTVAL")
        if status < 0:
            raise RuntimeError("LISTVAL failed: " + message)
        head = "%s/statsd/gauge-" % self.HOST
        names = set()
        for line in lines:
            _, _, identifier = line.partition(" ")
            if identifier.startswith(head):
                names.add(identifier[len(head):])
        return names

    def gauge(self, metric):
        """The current value of the gauge ``metric``, or None if there is none."""
        status, message, lines = self.command(
            "GETVAL " + self.quote("%s/statsd/gauge-%s" % (self.HOST, metric)))
        if status < 0:
            return None
        values = dict(line.split("=", 1) for line in lines)
        return float(values["value"])

    def gauges(self, names):
        return {name: self.gauge(name) for name in names}

    def _fence_once(self, timeout):
        self._fence += 1
        n = self._fence
        send_raw(self.port, "%s:%d|g" % (self.FENCE, n))
        poll(lambda: True if self.gauge(self.FENCE) == n else None, timeout,
             "collectd to show %s = %d" % (self.FENCE, n))

    def sync(self, timeout=None):
        """Return once every line sent to the statsd port before the call is in
        collectd's values: a fence gauge goes through two flushes."""
        timeout = self.WAIT_TIMEOUT if timeout is None else timeout
        self._fence_once(timeout)
        self._fence_once(timeout)


class Netdata(_Daemon):
    """netdata with its statsd listener on 127.0.0.1, everything else off.

    Its statsd plugin makes a private chart per metric: a histogram ``a.b`` is
    chart ``statsd_a.b_histogram`` in the family ``histograms`` (a timer would
    be ``statsd_a.b_timer`` in ``timers``).  The chart's type ends at the
    name's first dot or underscore: ``a_b.c`` is ``statsd_a.b.c_histogram``.
    """

    name = "netdata"
    START_TIMEOUT = 60.0
    WAIT_TIMEOUT = 30.0
    PROBE = "vantorprobe.ready"

    def __init__(self, workdir):
        super().__init__(workdir)
        self.conf_path = os.path.join(self.workdir, "netdata.conf")
        self.port = None
        self.web_port = None
        self._fence = 0

    def start(self):
        program = find_program("netdata")
        if program is None:
            raise NotInstalled("netdata is not installed: " + INSTALL_HINT % "netdata-core")
        self.port = free_port(socket.SOCK_DGRAM)
        self.web_port = free_port(socket.SOCK_STREAM)
        w = self.workdir
        for sub in ("config", "config/statsd.d", "cache", "lib", "log", "plugins", "web"):
            os.makedirs(os.path.join(w, sub), exist_ok=True)
        user = pwd.getpwuid(os.getuid()).pw_name
        conf = f"""
[global]
	run as user = {user}
	hostname = vantor-test
[db]
	mode = ram
	update every = 1
[directories]
	config = {w}/config
	stock config = /usr/lib/netdata/conf.d
	log = {w}/log
	cache = {w}/cache
	lib = {w}/lib
	home = {w}/lib
	lock = {w}/lib/lock
	plugins = {w}/plugins
	web = {w}/web
	registry = {w}/lib/registry
[logs]
	debug = {w}/log/debug.log
	error = {w}/log/error.log
	access = none
[web]
	bind to = {LOOPBACK}:{self.web_port}
[plugins]
	enable running new plugins = no
	proc = no
	diskspace = no
	cgroups = no
	tc = no
	idlejitter = no
	timex = no
	netdata monitoring = no
	slabinfo = no
	statsd = yes
[health]
	enabled = no
[registry]
	enabled = no
[statsd]
	enabled = yes
	update every (flushInterval) = 1
	bind to = udp:{LOOPBACK}:{self.port}
	create private charts for metrics matching = *
	add dimension for number of events received = yes
	gaps on histograms (deleteHistograms) = yes
	gaps on timers (deleteTimers) = yes
"""
        with open(self.conf_path, "w") as f:
            f.write(conf)
        self._spawn([program, "-D", "-c", self.conf_path])
        try:
            poll(self._api_answers, self.START_TIMEOUT, "netdata's web API")
        except TimeoutError as exc:
            self.check_alive()
            raise DaemonUnavailable("%s\nnetdata log:\n%s" % (exc, self.error_log_tail())) from None
        probe_chart = "statsd_%s_gauge" % self.PROBE

        def probe():
            self.check_alive()
            send_raw(self.port, "%s:1|g" % self.PROBE)
            return True if probe_chart in self.charts() else None

        try:
            poll(probe, self.START_TIMEOUT, "netdata to chart a statsd gauge")
        except TimeoutError as exc:
            raise TimeoutError("%s\nnetdata log:\n%s" % (exc, self.error_log_tail())) from None

    def check_alive(self):
        if self.proc.poll() is not None:
            raise DaemonUnavailable("netdata exited with status %s during start-up:\n%s\n%s"
                                    % (self.proc.returncode, self.log_tail(), self.error_log_tail()))

    def error_log_tail(self):
        return tail(os.path.join(self.workdir, "log", "error.log"))

    def api(self, path, **query):
        url = "http://%s:%d/api/v1/%s" % (LOOPBACK, self.web_port, path)
        if query:
            url += "?" + urllib.parse.urlencode(query)
        with urllib.request.urlopen(url, timeout=5) as response:
            return json.load(response)

    def _api_answers(self):
        self.check_alive()
        return self.api("info")

    def charts(self):
        """Every chart, by id: its metadata (type, family, units, dimensions...)."""
        return self.api("charts")["charts"]

    def gauge(self, metric, fence):
        """The gauge ``metric`` in the first flush that shows ``fence`` set after the call."""
        self._fence += 1
        send_raw(self.port, "%s:%d|g" % (fence, self._fence))
        rows = poll(lambda: [r for r in self.chart_rows("statsd_%s_gauge" % fence) if r["gauge"] == self._fence]
                    or None, self.WAIT_TIMEOUT, "netdata to chart %s = %d" % (fence, self._fence))
        return poll(lambda: [r["gauge"] for r in self.chart_rows("statsd_%s_gauge" % metric)
                             if r["time"] >= rows[0]["time"]] or None, self.WAIT_TIMEOUT, "a row of " + metric)[0]

    def chart_rows(self, chart, seconds=600):
        """The chart's stored rows, oldest first, as dicts; rows without any value
        (the gaps between flushes that received nothing) are left out."""
        try:
            data = self.api("data", chart=chart, after=-seconds, format="json")
        except urllib.error.HTTPError as exc:
            if exc.code == 404:  # no such chart (yet)
                return []
            raise
        labels = data["labels"]
        rows = [dict(zip(labels, row)) for row in data["data"]]
        rows = [r for r in rows if any(r[k] is not None for k in labels if k != "time")]
        return sorted(rows, key=lambda r: r["time"])
