"""What every end-to-end test stands on, in one place (basics.py and ecosystem.py are read
through it): where the programs are, the simulator, the
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

import json
import os
import select
import shutil
import signal
import subprocess
import tempfile
import unittest
import urllib.parse


from basics import *  # noqa: F401,F403
from basics import (BINARY_DIR, EXPORTER, HOST_CMD, PROMTOOL, SIM, free_port, get,
                    read_line_with, stop, wait_for)
from ecosystem import *  # noqa: F401,F403
from ecosystem import throwaway_ca  # noqa: F401

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
