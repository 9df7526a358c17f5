"""What every end-to-end test stands on, in one place: where the programs are, the simulator, the
exporter, Prometheus and a Nagios core as context managers, free loopback ports, waiting with
deadlines, a CPU hog, and the test case bases with a private folder.

    from support import Simulator, HostTestCase

    class ExampleTest(HostTestCase):
        def test_reads_the_device(self):
            with Simulator("--fault", "500") as sim:     # roomalert-sim on 127.0.0.1, any port
                run = self.host("--host", sim.address)  # kestrel-host, files in self.dir
            self.assertEqual(run.exit, 1, run.stderr)

Rules the helpers keep, and tests should too: loopback only; a server is started and stopped by
the test itself and is used only once it says it is ready; waiting is for something to happen,
with a deadline (wait_for), never a sleep that concludes that something did not happen.

Environment (each optional):
    KESTREL_BINARY_DIR    build folder with the programs and the module (default build/release)
    KESTREL_FIXTURES_DIR  tests/fixtures (default: the repository's)
    KESTREL_SOURCE_DIR    the repository (default: two folders above this file)
    KESTREL_HOST_CMD      the host command line, e.g. "tools/wine-run.sh build/windows/kestrel-host.exe"
                          (default: kestrel-host of the build folder)
    KESTREL_PROMETHEUS    the Prometheus server (default /usr/bin/prometheus)
    KESTREL_PROMTOOL      promtool (default: from PATH)
"""

import io
import json
import os
import pwd
import re
import select
import shlex
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest
import urllib.error
import urllib.parse
import urllib.request
import warnings

try:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        import crypt
except ImportError:  # Python 3.13 and later: htpasswd (apache2-utils) makes the hashes
    crypt = None

SOURCE_DIR = os.path.abspath(os.environ.get(
    "KESTREL_SOURCE_DIR", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")))
BINARY_DIR = os.environ.get("KESTREL_BINARY_DIR", os.path.join(SOURCE_DIR, "build", "release"))
FIXTURES = os.environ.get("KESTREL_FIXTURES_DIR", os.path.join(SOURCE_DIR, "tests", "fixtures"))
HOST_CMD = shlex.split(os.environ.get("KESTREL_HOST_CMD", "")) or [
    os.path.join(BINARY_DIR, "kestrel-host")]
SIM = os.path.join(BINARY_DIR, "roomalert-sim")
EXPORTER = os.path.join(BINARY_DIR, "kestrel-exporter")
PROMETHEUS = os.environ.get("KESTREL_PROMETHEUS", "/usr/bin/prometheus")
PROMTOOL = os.environ.get("KESTREL_PROMTOOL", "promtool")
NAGIOS = shutil.which("nagios4") or "/usr/sbin/nagios4"
MOSQUITTO = shutil.which("mosquitto") or "/usr/sbin/mosquitto"
ICINGA = shutil.which("icinga2") or "/usr/sbin/icinga2"

# The password the tests give devices: it must show in no output, trace or document.
PASSWORD = "e2e-Pa55word"

# The module's last error texts, as a host shows them.
HTTP_FAILED = "Failed to retrieve device data over HTTP. The GET request failed with error: [%s]."
MALFORMED = "The received Json data could not be parsed. It is missing or malformed."
REFUSED = "No connection could be made because the target machine actively refused it"
CERTIFICATE = ("One or more errors were found in the Secure Sockets Layer (SSL) certificate sent "
               "by the server.")


def fixture(name, folder="roomalert"):
    """A device answer of tests/fixtures/<folder>/ (roomalert: recorded 3W documents; check:
    documents made for the check's cases)."""
    return os.path.join(FIXTURES, folder, name)


def bcrypt(password):
    """A bcrypt hash of cost 10 of password, as basic_auth_users takes it."""
    if crypt is not None:
        return crypt.crypt(password, crypt.mksalt(crypt.METHOD_BLOWFISH, rounds=1 << 10))
    line = subprocess.run(["htpasswd", "-nbBC", "10", "user", password], check=True,
                          capture_output=True, timeout=60).stdout.decode().strip()
    return line.split(":", 1)[1]


def free_port():
    """A loopback port nothing listens on now (another program may take it later)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(condition, seconds=60, every=0.1):
    """Calls condition() until it answers something true or seconds have passed; answers its
    last answer, so a caller asserts on it and shows what it was."""
    deadline = time.monotonic() + seconds
    answer = condition()
    while not answer and time.monotonic() < deadline:
        time.sleep(every)
        answer = condition()
    return answer


def read_line_with(process, stream, needle, seconds=15):
    """Reads lines of stream (a pipe of process) until one holds needle; answers that line.
    Raises RuntimeError with the lines seen when the stream ends or the deadline passes."""
    if isinstance(stream, io.BufferedReader):
        # select() sees only the pipe: a line already taken into the reader's buffer along with
        # the one before it would wait out the deadline (the exporter's "listening on" after its
        # "starting" line, on a busy machine).
        raise ValueError("read_line_with needs an unbuffered pipe: Popen(..., bufsize=0)")
    deadline = time.monotonic() + seconds
    seen = []
    while time.monotonic() < deadline:
        ready, _, _ = select.select([stream], [], [], max(0.0, deadline - time.monotonic()))
        if not ready:
            break
        line = stream.readline().decode("utf-8", "replace")
        if not line:
            break
        seen.append(line)
        if needle in line:
            return line
    raise RuntimeError("%s never said %r: %r" % (process.args[0], needle, seen))


def stop(process, timeout=20):
    """SIGTERM, then SIGKILL when the process has not ended within timeout seconds; answers the
    exit status (negative: the signal that ended it, -9 for the kill)."""
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            return process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
    return process.wait()


def get(url, headers=None, timeout=30):
    """(status, body text) of a GET; an HTTP error status is an answer, not an exception."""
    request = urllib.request.Request(url, headers=headers or {})
    try:
        with urllib.request.urlopen(request, timeout=timeout) as response:
            return response.status, response.read().decode("utf-8")
    except urllib.error.HTTPError as error:
        return error.code, error.read().decode("utf-8")


class Simulator:
    """roomalert-sim on 127.0.0.1 and a free port, with the given arguments (faults, fixture, TLS,
    login). address is "127.0.0.1:PORT", port the port as text. On leaving, it is stopped with
    SIGTERM and must end at once with exit status 0 (when the block raised nothing else)."""

    STOP_SECONDS = 15

    def __init__(self, *args):
        self.args = [SIM, "--listen", "127.0.0.1:0", *args]

    def __enter__(self):
        self.log = tempfile.TemporaryFile()
        self.process = subprocess.Popen(self.args, stdout=subprocess.PIPE, stderr=self.log,
                                        stdin=subprocess.DEVNULL, bufsize=0)
        try:
            line = read_line_with(self.process, self.process.stdout, "listening on")
        except RuntimeError:
            self._end()
            raise
        self.address = line.split("listening on ")[1].split()[0]
        self.port = self.address.rsplit(":", 1)[1]
        return self

    def loads(self):
        """How often each device's document was asked for: [/getData.json, d1, d2, ...]."""
        return json.loads(get("http://%s/stats" % self.address)[1])["devices"]

    def _end(self):
        code = stop(self.process, self.STOP_SECONDS)
        self.process.stdout.close()
        self.log.seek(0)
        said = self.log.read().decode("utf-8", "replace")
        self.log.close()
        return code, said

    def __exit__(self, *exc):
        code, said = self._end()
        if exc[0] is None and code != 0:
            raise AssertionError("roomalert-sim ended with %d on SIGTERM (-9: it did not stop "
                                 "within %d s): %s" % (code, self.STOP_SECONDS, said[-2000:]))


class Site(Simulator):
    """One roomalert-sim serving count devices (--devices); faulty devices (numbers from 1) get
    fault. hosts[k] is device k+1's host text, dK.localhost:PORT, which libcurl resolves to
    loopback by itself: the exporter takes only host[:port]."""

    def __init__(self, count, faulty=(), fault="500", extra=()):
        args = ["--devices", str(count)]
        if faulty:
            args += ["--fault-devices", ",".join(map(str, sorted(faulty))) + ":" + fault]
        super().__init__(*(list(extra) + args))
        self.count = count

    def __enter__(self):
        super().__enter__()
        self.hosts = ["d%d.localhost:%s" % (k, self.port) for k in range(1, self.count + 1)]
        return self


def device_list(hosts, auth=None):
    """The exporter configuration's devices: room-1, room-2, ... for the hosts given."""
    lines = []
    for k, host in enumerate(hosts, 1):
        lines.append("  - name: room-%d\n    host: \"%s\"\n" % (k, host))
        if auth:
            lines.append("    auth: %s\n" % auth)
    return "devices:\n" + "".join(lines)


class Exporter:
    """kestrel-exporter with a configuration written into folder (exporter.yml, state/), started
    on entry and used once it says where it listens: address ("127.0.0.1:PORT"), url. log() is
    every stderr line so far; exit the exit status after leaving (SIGTERM). user: another user
    to run it as (root's tests run it as nobody to meet a folder that refuses writes)."""

    def __init__(self, folder, config_text, *args, user=None):
        self.folder = folder
        self.config = os.path.join(folder, "exporter.yml")
        self.state = os.path.join(folder, "state")
        self.args = list(args)
        self.user = user
        self.write(config_text)

    def write(self, text):
        """Replaces the configuration file (reload() or SIGHUP makes the exporter read it)."""
        with open(self.config, "w") as f:
            f.write(text)

    def __enter__(self):
        self.process = subprocess.Popen(
            [EXPORTER, "--config", self.config, "--state-dir", self.state] + self.args, bufsize=0,
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
            user=self.user)
        # Generous: under ThreadSanitizer on a busy machine, starting the workers takes seconds.
        try:
            line = read_line_with(self.process, self.process.stderr, "listening on", seconds=90)
        except RuntimeError:
            stop(self.process)
            self.process.stderr.close()
            raise
        self.address = line.split("listening on ")[1].strip()
        self.url = "http://" + self.address
        self.log_lines = [line]
        return self

    def log(self):
        """Every stderr line so far (the exporter logs one line per event)."""
        while not self.process.stderr.closed:
            ready, _, _ = select.select([self.process.stderr], [], [], 0.2)
            if not ready:
                break
            line = self.process.stderr.readline()
            if not line:
                break
            self.log_lines.append(line.decode("utf-8", "replace"))
        return "".join(self.log_lines)

    def reload(self, text=None, expect="reload ok", seconds=60):
        """Writes text (when given), sends SIGHUP and waits for the log line holding expect."""
        if text is not None:
            self.write(text)
        self.process.send_signal(signal.SIGHUP)
        line = read_line_with(self.process, self.process.stderr, expect, seconds=seconds)
        self.log_lines.append(line)
        return line

    def probe(self, target, timeout_header=None):
        """(status, body) of /probe?target=..., with Prometheus's scrape time-out header."""
        headers = {"X-Prometheus-Scrape-Timeout-Seconds": timeout_header} if timeout_header else {}
        return get(self.url + "/probe?target=" + urllib.parse.quote(target), headers)

    def __exit__(self, *exc):
        self.exit = stop(self.process)
        self.log()
        self.process.stderr.close()


class Prometheus:
    """A Prometheus server on a free loopback port with the given configuration text, its files in
    folder. It may not answer at once: api() answers None until it does."""

    def __init__(self, folder, config_text):
        self.folder = folder
        with open(os.path.join(folder, "prometheus.yml"), "w") as f:
            f.write(config_text)

    def __enter__(self):
        self.port = free_port()
        with open(os.path.join(self.folder, "prometheus.log"), "wb") as log:
            self.process = subprocess.Popen(
                [PROMETHEUS, "--config.file=" + os.path.join(self.folder, "prometheus.yml"),
                 "--storage.tsdb.path=" + os.path.join(self.folder, "tsdb"),
                 "--web.listen-address=127.0.0.1:%d" % self.port],
                stdout=subprocess.DEVNULL, stderr=log, stdin=subprocess.DEVNULL)
        return self

    def api(self, path, **params):
        """The data of /api/v1/<path>, or None while the server does not answer."""
        try:
            status, body = get("http://127.0.0.1:%d/api/v1/%s?%s"
                               % (self.port, path, urllib.parse.urlencode(params)))
        except OSError:
            return None
        return json.loads(body)["data"] if status == 200 else None

    def query(self, expression):
        """The result list of an instant query ([] while there is none)."""
        data = self.api("query", query=expression)
        return data["result"] if data else []

    def series(self, expression, instant):
        """Values of each series the query answers over the last 30 s, as Grafana asks."""
        if instant:
            return [[r["value"][1]] for r in self.query(expression)]
        now = time.time()
        data = self.api("query_range", query=expression, start=now - 30, end=now, step=1)
        return [[v for _, v in r["values"]] for r in data["result"]] if data else []

    def alerts(self):
        data = self.api("alerts")
        return data["alerts"] if data else []

    def __exit__(self, *exc):
        self.exit = stop(self.process)


class CpuHog:
    """Keeps every core busy while it is entered, as a loaded CI machine would: races of a
    program's start show there."""

    def __init__(self, processes=None):
        self.count = processes or os.cpu_count() or 2

    def __enter__(self):
        self.processes = [subprocess.Popen(["python3", "-c", "while True: pass"],
                                           stdin=subprocess.DEVNULL) for _ in range(self.count)]
        return self

    def __exit__(self, *exc):
        for process in self.processes:
            process.kill()
            process.wait()


# -------------------------------------------------------------------------- a monitoring core

_NAGIOS_OBJECTS = """
define timeperiod {
    timeperiod_name always
    alias           always
    sunday 00:00-24:00
    monday 00:00-24:00
    tuesday 00:00-24:00
    wednesday 00:00-24:00
    thursday 00:00-24:00
    friday 00:00-24:00
    saturday 00:00-24:00
}
define command {
    command_name    host-up
    command_line    /bin/true
}
define command {
    command_name    notify-nobody
    command_line    /bin/true
}
define contact {
    contact_name                  oncall
    host_notifications_enabled    0
    service_notifications_enabled 0
    host_notification_period      always
    service_notification_period   always
    host_notification_options     n
    service_notification_options  n
    host_notification_commands    notify-nobody
    service_notification_commands notify-nobody
}
"""

_NAGIOS_HOST = """
define host {
    host_name             %(name)s
    address               %(address)s
    check_command         host-up
    max_check_attempts    1
    check_period          always
    contacts              oncall
    notification_period   always
}
define service {
    host_name             %(name)s
    service_description   Room Alert
    check_command         check_roomalert!%(args)s
    max_check_attempts    1
    check_interval        1
    retry_interval        1
    check_period          always
    contacts              oncall
    notification_period   always
}
"""


def plugin_folder(folder):
    """A plug-in folder whose check_roomalert runs the build's kestrel-host, as the package's does."""
    plugins = os.path.join(folder, "plugins")
    os.makedirs(plugins)
    script = os.path.join(plugins, "check_roomalert")
    with open(script, "w") as f:
        command = [os.path.abspath(c) if os.path.exists(c) else c for c in HOST_CMD]
        f.write("#!/bin/sh\nexec %s --check \"$@\"\n" % " ".join(command))
    os.chmod(script, 0o755)
    return plugins


def nagios_config(folder, command_file, hosts):
    """nagios.cfg for a private Nagios 4 core in folder, with the command definitions of
    command_file and a service "Room Alert" per host; hosts: (name, address, check arguments).
    Checks run every second, their results reaped and status.dat written every second."""
    plugins = plugin_folder(folder)
    with open(os.path.join(folder, "objects.cfg"), "w") as f:
        f.write(_NAGIOS_OBJECTS)
        for name, address, args in hosts:
            f.write(_NAGIOS_HOST % {"name": name, "address": address, "args": args})
    with open(os.path.join(folder, "resource.cfg"), "w") as f:
        f.write("$USER1$=%s\n" % plugins)
    user = pwd.getpwuid(os.getuid()).pw_name if os.getuid() != 0 else "nagios"
    inside = {
        "log_file": "nagios.log", "resource_file": "resource.cfg", "status_file": "status.dat",
        "object_cache_file": "objects.cache", "precached_object_file": "objects.precache",
        "temp_file": "nagios.tmp", "temp_path": ".", "lock_file": "nagios.pid",
        "check_result_path": "checkresults", "command_file": "nagios.cmd",
        "state_retention_file": "retention.dat",
    }
    settings = {
        "nagios_user": user, "nagios_group": user, "interval_length": "1",
        "status_update_interval": "1", "check_result_reaper_frequency": "1",
        "max_service_check_spread": "1", "max_host_check_spread": "1",
        "retain_state_information": "0", "use_syslog": "0", "check_for_updates": "0",
        "enable_notifications": "0", "service_check_timeout": "30",
    }
    lines = ["cfg_file=" + os.path.abspath(command_file)]
    lines += ["%s=%s" % (k, os.path.join(folder, v)) for k, v in inside.items()]
    lines += ["%s=%s" % (k, v) for k, v in settings.items()]
    lines.append("cfg_file=" + os.path.join(folder, "objects.cfg"))
    os.makedirs(os.path.join(folder, "checkresults"))
    path = os.path.join(folder, "nagios.cfg")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    if os.getuid() == 0:
        for root, dirs, files in os.walk(folder):
            for name in dirs + files + ["."]:
                shutil.chown(os.path.join(root, name), user, user)
    return path


def service_status(status_dat):
    """{host name: {field: value}} of the servicestatus blocks of a Nagios status.dat."""
    found = {}
    with open(status_dat, encoding="utf-8", errors="replace") as f:
        text = f.read()
    for block in re.findall(r"servicestatus \{\n(.*?)\n\s*\}", text, re.S):
        fields = dict(line.strip().split("=", 1) for line in block.splitlines() if "=" in line)
        found[fields["host_name"]] = fields
    return found


class NagiosCore:
    """A private Nagios 4 core (nagios_config) running while entered. checked() answers the
    status of every service once each has been checked, or None."""

    def __init__(self, folder, command_file, hosts):
        self.folder = folder
        self.count = len(hosts)
        self.config = nagios_config(folder, command_file, hosts)

    def __enter__(self):
        self.process = subprocess.Popen([NAGIOS, self.config], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        return self

    def checked(self):
        status_dat = os.path.join(self.folder, "status.dat")
        if not os.path.exists(status_dat):
            return None
        status = service_status(status_dat)
        done = len(status) == self.count and all(s.get("has_been_checked") == "1"
                                                  for s in status.values())
        return status if done else None

    def __exit__(self, *exc):
        self.exit = stop(self.process, 30)


# -------------------------------------------------------------------------- test case bases

class FolderTestCase(unittest.TestCase):
    """A private folder for each test (self.dir), removed afterwards."""

    FOLDER_PREFIX = "kestrel-e2e-"

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix=self.FOLDER_PREFIX)
        self.addCleanup(shutil.rmtree, self.dir, True)

    def path(self, name):
        return os.path.join(self.dir, name)


def without_stamp(result):
    """A JSON line without what differs from run to run (when, how long, which port)."""
    return {k: v for k, v in result.items() if k not in ("time", "host", "durationMs")}


class HostRun:
    """One finished kestrel-host: exit, stdout and stderr as text; json() parses stdout."""

    def __init__(self, completed, workdir):
        self.exit = completed.returncode
        self.stdout = completed.stdout.decode("utf-8")
        self.stderr = completed.stderr.decode("utf-8", "replace")
        self.workdir = workdir

    def json(self):
        return json.loads(self.stdout)


class HostTestCase(FolderTestCase):
    def host(self, *args, env=None, config=None, command=None):
        """One kestrel-host run (command: another host command line, e.g. the Linux one beside
        the Windows one) with its documents and trace in the test folder; --format json unless
        given."""
        command = list(command or HOST_CMD) + [
            "--config", config or self.path("device.xml"), "--data", self.path("device-data.xml"),
            "--trace", self.path("trace.log")]
        command += list(args)
        if "--format" not in args:
            command += ["--format", "json"]
        environment = dict(os.environ, **(env or {}))
        completed = subprocess.run(command, cwd=self.dir, capture_output=True, timeout=120,
                                   env=environment, stdin=subprocess.DEVNULL)
        return HostRun(completed, self.dir)

    def assertLoadFails(self, run, text):
        """The load failed with the module's last error text (exit 1, in JSON and on stderr)."""
        self.assertEqual(run.exit, 1, run.stderr)
        self.assertEqual(without_stamp(run.json()), {"result": -1, "lastError": text})
        self.assertIn(text, run.stderr)

    def files(self):
        """{name: bytes} of the documents in the test folder."""
        found = {}
        for name in ("device.xml", "device-data.xml"):
            if os.path.exists(self.path(name)):
                with open(self.path(name), "rb") as f:
                    found[name] = f.read()
        return found


class ExporterTestCase(FolderTestCase):
    FOLDER_PREFIX = "kestrel-exporter-e2e-"

    def assertPromtoolAccepts(self, text):
        """promtool check metrics takes text without an error or a lint finding."""
        checked = subprocess.run([PROMTOOL, "check", "metrics"], input=text.encode(),
                                 capture_output=True, timeout=60)
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
        # promtool prints lint findings (warnings) even when it answers 0.
        self.assertEqual(checked.stdout + checked.stderr, b"")


# -------------------------------------------------------------------------- an MQTT broker

def throwaway_ca(folder):
    """A CA made for one test, and a server (127.0.0.1, localhost) and a client certificate it
    signed: {name: path} of ca.crt, server.crt, server.key, client.crt, client.key, other-ca.crt
    (a CA that signed nothing here)."""
    def run(*args):
        subprocess.run(["openssl"] + list(args), cwd=folder, check=True, capture_output=True,
                       timeout=60)
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    for ca in ("ca", "other-ca"):
        run("req", "-x509", *key, "-keyout", ca + ".key", "-out", ca + ".crt", "-days", "2",
            "-subj", "/CN=kestrel e2e " + ca)
    with open(os.path.join(folder, "san.cnf"), "w") as f:
        f.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n")
    for name in ("server", "client"):
        run("req", *key, "-keyout", name + ".key", "-out", name + ".csr", "-subj", "/CN=" + name)
        run("x509", "-req", "-in", name + ".csr", "-CA", "ca.crt", "-CAkey", "ca.key",
            "-CAcreateserial", "-out", name + ".crt", "-days", "2",
            *(["-extfile", "san.cnf"] if name == "server" else []))
    return {name: os.path.join(folder, name) for name in
            ("ca.crt", "server.crt", "server.key", "client.crt", "client.key", "other-ca.crt")}


class Broker:
    """Mosquitto on two free loopback ports, both asking for a user and password (USER,
    PASSWORD): plain (port) and TLS with a client certificate required (tls_port), from a CA made
    for the test (certs). restart() stops it and starts it again on the same ports, without the
    retained messages; subscribe() watches topics."""

    USER = "kestrel"
    PASSWORD = "mqtt-e2e-Pa55"

    def __init__(self, folder):
        self.folder = folder
        self.certs = throwaway_ca(folder)
        self.port, self.tls_port = free_port(), free_port()
        passwords = os.path.join(folder, "mosquitto.passwd")
        subprocess.run(["mosquitto_passwd", "-c", "-b", passwords, self.USER, self.PASSWORD],
                       check=True, capture_output=True, timeout=60)
        self.config = os.path.join(folder, "mosquitto.conf")
        with open(self.config, "w") as f:
            # As root the broker would become the user mosquitto, who cannot read these files.
            f.write("user %s\n" % pwd.getpwuid(os.getuid()).pw_name)
            f.write("per_listener_settings false\nallow_anonymous false\n"
                    "password_file %s\nlog_dest stderr\n" % passwords)
            f.write("listener %d 127.0.0.1\n" % self.port)
            f.write("listener %d 127.0.0.1\ncafile %s\ncertfile %s\nkeyfile %s\n"
                    "require_certificate true\n" % (self.tls_port, self.certs["ca.crt"],
                                                    self.certs["server.crt"],
                                                    self.certs["server.key"]))

    def url(self):
        return "mqtts://127.0.0.1:%d" % self.tls_port

    def __enter__(self):
        self.process = subprocess.Popen([MOSQUITTO, "-c", self.config], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                        bufsize=0)
        try:
            read_line_with(self.process, self.process.stderr, " running", seconds=30)
        except RuntimeError:
            self.__exit__()
            raise
        return self

    def restart(self):
        self.__exit__()
        self.__enter__()

    def subscribe(self, *topics):
        return Subscription(self, topics)

    def __exit__(self, *exc):
        self.exit = stop(self.process)
        self.process.stderr.close()


class Subscription:
    """mosquitto_sub on the broker's plain port, ready once the broker acknowledged the
    subscription. messages: each {"topic", "payload" (text), "retain" (bool)} received so far;
    wait_for(condition) reads on until condition(messages) holds."""

    def __init__(self, broker, topics):
        # Line by line: into a pipe its debug lines (the SUBACK) would wait in a full buffer.
        command = ["stdbuf", "-oL", "mosquitto_sub", "-h", "127.0.0.1", "-p", str(broker.port), "-u", broker.USER,
                   "-P", broker.PASSWORD, "-d", "-F", "%j"]
        for topic in topics:
            command += ["-t", topic]
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, bufsize=0)
        self.messages = []
        try:
            read_line_with(self.process, self.process.stdout, "received SUBACK", seconds=30)
        except RuntimeError:
            self.close()
            raise

    def wait_for(self, condition, seconds=60):
        """Reads messages until condition(messages) answers something true, or seconds passed;
        answers its last answer."""
        deadline = time.monotonic() + seconds
        answer = condition(self.messages)
        while not answer and time.monotonic() < deadline:
            ready, _, _ = select.select([self.process.stdout], [], [],
                                        max(0.0, deadline - time.monotonic()))
            if not ready:
                break
            line = self.process.stdout.readline().decode("utf-8", "replace")
            if not line:
                break
            if line.startswith("{"):
                message = json.loads(line)
                self.messages.append({"topic": message["topic"], "payload": message["payload"],
                                      "retain": bool(message["retain"])})
                answer = condition(self.messages)
        return answer

    def latest(self):
        """{topic: payload} of the last message on each topic."""
        return {m["topic"]: m["payload"] for m in self.messages}

    def close(self):
        stop(self.process)
        self.process.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
