"""kestrel-exporter against callers and devices that would take it over: unlisted targets, dead
and hanging devices, a second exporter on the same state or documents folder, folders that refuse
writes. Loopback only."""

import concurrent.futures
import os
import re
import resource
import select
import shutil
import signal
import socket
import subprocess
import threading
import unittest

from support import (BINARY_DIR, EXPORTER, Exporter, ExporterTestCase, Simulator, Site,
                     device_list, get, stop, wait_for)


def metric(body, name, device):
    found = re.search(r'^%s\{device="%s"[^}]*\} (\S+)$' % (re.escape(name), re.escape(device)),
                      body, re.M)
    return found.group(1) if found else None


def probe_all(exporter, targets, timeout_header="1", clients=32):
    """Probes every target at once (up to clients in flight); answers their (status, body)."""
    headers = {"X-Prometheus-Scrape-Timeout-Seconds": timeout_header}
    seconds = float(timeout_header) + 30
    with concurrent.futures.ThreadPoolExecutor(clients) as pool:
        return list(pool.map(lambda t: get(exporter.url + "/probe?target=" + t, headers, seconds),
                             targets))


def has_ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


def listening_sockets(count):
    """count sockets listening on loopback that never accept: a connection to one completes (the
    kernel takes it into the backlog) and then hears nothing, as a device that hangs."""
    sockets = []
    for _ in range(count):
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        s.listen(64)
        sockets.append(s)
    return sockets


def connected(listener):
    """Whether a connection waits in listener's backlog (never accepted: it is there at once)."""
    return bool(select.select([listener], [], [], 0)[0])


class DocumentServers:
    """count loopback ports answering every GET with body, from one thread: as many devices as
    ports, where one simulator would be one address and port."""

    def __init__(self, count, body):
        self.body = body
        self.sockets = listening_sockets(count)
        self.ports = [s.getsockname()[1] for s in self.sockets]
        self.reading, self.stopping = os.pipe()
        self.thread = threading.Thread(target=self.serve)

    def __enter__(self):
        self.thread.start()
        return self

    def serve(self):
        while True:
            ready = select.select(self.sockets + [self.reading], [], [])[0]
            if self.reading in ready:
                return
            for listener in ready:
                connection = listener.accept()[0]
                threading.Thread(target=self.answer, args=(connection,), daemon=True).start()

    def answer(self, connection):
        with connection:
            request = b""
            while b"\r\n\r\n" not in request:
                chunk = connection.recv(4096)
                if not chunk:
                    return
                request += chunk
            connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                               b"Content-Length: %d\r\nConnection: close\r\n\r\n"
                               % len(self.body) + self.body)

    def __exit__(self, *exc):
        os.write(self.stopping, b"x")
        self.thread.join()
        for s in self.sockets:
            s.close()
        os.close(self.reading)
        os.close(self.stopping)


def unlisted_config(listen="127.0.0.1:0", allowed=("127.0.0.0/8",), reachable=("127.0.0.0/8",),
                    extra="", devices=""):
    quoted = lambda networks: ", ".join("'%s'" % n for n in networks)
    return ("listen: '%s'\nallow_unlisted_targets: true\n"
            "unlisted_targets_allowed_networks: [%s]\n"
            "unlisted_targets_reachable_networks: [%s]\n%s%s"
            % (listen, quoted(allowed), quoted(reachable), extra, devices))


class UnlistedTest(ExporterTestCase):
    def test_refused_shapes_and_networks(self):
        with Simulator() as sim:
            good = sim.address
            name = 'roomalert_up{device="%s"} 1' % good
            shapes = [
                (good, 200),
                # Every spelling of one address is one target.
                ("127.1:" + sim.port, 200),
                ("2130706433:" + sim.port, 200),
                ("0x7f.1:" + sim.port, 200),
                ("017700000001:" + sim.port, 200),
                ("[::ffff:127.0.0.1]:" + sim.port, 200),
                ("localhost:" + sim.port, 200),
                (good + "/admin", 403),                      # another path of the device
                ("admin:pw@" + good, 403),                   # credentials of the caller's
                (good + "?x=1", 403),
                ("%s/admin%%3Fq%%3D1%%23" % good, 403),       # what a scanner sent
            ]
            with Exporter(self.dir, unlisted_config()) as exporter:
                for target, status in shapes:
                    with self.subTest(target):
                        code, body = exporter.probe(target)
                        self.assertEqual(code, status, body)
                        if status == 200:
                            self.assertIn(name, body)
                        else:
                            self.assertIn("host[:port]", body)
                state = os.path.join(exporter.state, ".unlisted")
                names = os.listdir(state)
                self.assertEqual(len(names), 1)
                self.assertRegex(names[0], r"^[0-9a-f]{16}$")  # nothing of the caller's text
                # A reload drops unlisted targets, and their folders go with them.
                exporter.reload(unlisted_config())
                # A load still running keeps its folder until it ends.
                wait_for(lambda: not os.listdir(state))
                self.assertEqual(os.listdir(state), [])
            networks = [
                ([], "127.0.0.1", 403),
                (["10.0.0.0/8"], "127.0.0.1", 403),
                (["127.0.0.1/32"], "127.0.0.1", 200),
                (["::1/128"], "127.0.0.1", 403),
                (["0.0.0.0/0"], "127.0.0.1", 200),
            ]
            if has_ipv6_loopback():
                networks += [(["::1/128"], "[::1]", 200), (["127.0.0.0/8"], "[::1]", 403)]
            for allowed, client, status in networks:
                with self.subTest(allowed=allowed, client=client):
                    config = unlisted_config(client + ":0", allowed, devices=device_list([good]))
                    with Exporter(self.dir, config) as exporter:
                        code, body = exporter.probe(good)
                        self.assertEqual(code, status, body)
                        # Configured devices are for every client.
                        self.assertEqual(exporter.probe("room-1")[0], 200)

    def test_refusals_come_before_any_connection(self):
        trap, other = listening_sockets(2)
        port = trap.getsockname()[1]
        with trap, other:
            # (reachable networks, target, more configuration, why it is refused); "OWN" is the
            # exporter's own address.
            cases = [
                (["10.0.0.0/8"], "127.0.0.1:%d" % port, "", "in unlisted_targets_reachable"),
                # A network wide enough for devices opens neither this machine nor its neighbours.
                (["0.0.0.0/0"], "127.0.0.1:%d" % port, "", "is loopback"),
                (["0.0.0.0/0"], "[::ffff:127.0.0.1]:%d" % port, "", "is loopback"),
                (["0.0.0.0/0"], "169.254.169.254", "", "is link-local"),
                (["0.0.0.0/0"], "[::ffff:169.254.169.254]:80", "", "is link-local"),
                (["127.0.0.0/8"], "OWN", "", "is this exporter itself"),
                (["127.0.0.0/8"], "127.0.0.1:%d" % port, "unlisted_targets_per_client: 1\n",
                 "unlisted_targets_per_client"),
            ]
            for reachable, target, extra, why in cases:
                with self.subTest(target=target, reachable=reachable, extra=extra):
                    with Exporter(self.dir, unlisted_config(reachable=reachable, extra=extra)) \
                            as exporter:
                        if extra:  # the client's one target is another
                            exporter.probe("127.0.0.1:%d" % other.getsockname()[1], "1")
                        target = target.replace("OWN", exporter.address)
                        code, body = exporter.probe(target)
                        self.assertEqual((code, why in body), (403, True), body)
                        self.assertFalse(connected(trap), target)

    def test_slow_unlisted_targets_leave_configured_devices_up(self):
        hanging = listening_sockets(64)
        targets = ["127.0.0.1:%d" % s.getsockname()[1] for s in hanging]
        with Site(2) as healthy:
            config = unlisted_config(devices=device_list(healthy.hosts))
            with Exporter(self.dir, config, "--workers", "8") as exporter:
                answers = probe_all(exporter, targets, timeout_header="1")
                self.assertTrue(all(code == 200 and "roomalert_up" in body
                                    for code, body in answers))
                for name in ("room-1", "room-2"):
                    code, body = exporter.probe(name, "2")
                    self.assertEqual(metric(body, "roomalert_up", name), "1", body)
        for s in hanging:
            s.close()

    def test_large_documents_of_many_targets_leave_memory_bounded(self):
        # A real 3W sends about 1 KB; 1 MB of sensors is what the network component still takes.
        with Simulator("--fault", "sensors:1048576") as sim:
            document = get("http://%s/getData.json" % sim.address)[1].encode()
        # The sanitizers' allocators keep what is freed: there only the loads themselves are run.
        count = 2 if SANITIZED else 100
        config = unlisted_config(extra="defaults: {timeout: 150s}\nunlisted_targets_per_client: "
                                       "%d\n" % count)
        with DocumentServers(count, document) as servers, Exporter(self.dir, config) as exporter:
            targets = ["127.0.0.1:%d" % port for port in servers.ports]
            answers = probe_all(exporter, targets, timeout_header="150", clients=8)
            self.assertEqual([metric(body, "roomalert_up", target)
                              for target, (_, body) in zip(targets, answers)], ["1"] * count)
            rss, _ = memory_mb(exporter.process.pid)
            if not SANITIZED:
                self.assertLess(rss, 200)


class DeadDevicesTest(ExporterTestCase):
    def test_a_refusing_device_is_left_alone_and_hanging_ones_hold_no_one_up(self):
        with socket.socket() as closed:
            closed.bind(("127.0.0.1", 0))
            refusing = "127.0.0.1:%d" % closed.getsockname()[1]  # bound, never listening
            with Site(300, faulty=range(1, 301), fault="delay:60000") as hanging, \
                    Site(2) as healthy:
                config = ("listen: 127.0.0.1:0\n" + device_list(hanging.hosts + healthy.hosts) +
                          "  - {name: refusing, host: '%s'}\n" % refusing)
                with Exporter(self.dir, config, "--workers", "16") as exporter:
                    for _ in range(3):
                        code, body = exporter.probe("refusing")
                        self.assertIn('roomalert_up{device="refusing"} 0', body)
                        self.assertIn("actively refused", body)
                    metrics = get(exporter.url + "/metrics")[1]
                    self.assertEqual(
                        metric(metrics, "roomalert_exporter_loads_total", "refusing"), "1")

                    names = ["room-%d" % k for k in range(1, 301)]
                    answers = probe_all(exporter, names, timeout_header="1", clients=64)
                    self.assertTrue(all(code == 200 for code, _ in answers))
                    for name in ("room-301", "room-302"):
                        body = exporter.probe(name, "2")[1]
                        self.assertEqual(metric(body, "roomalert_up", name), "1", body)


def memory_mb(pid, reset_peak=False):
    """The process's resident memory now and at its peak, in MB; reset_peak starts a new peak."""
    if reset_peak:
        with open("/proc/%d/clear_refs" % pid, "w") as f:
            f.write("5")
    with open("/proc/%d/status" % pid) as f:
        status = f.read()
    return tuple(int(re.search(r"%s:\s+(\d+) kB" % key, status).group(1)) / 1024
                 for key in ("VmRSS", "VmHWM"))


# The sanitizers keep freed memory in quarantine and use their own allocator: no bound holds there.
SANITIZED = re.search(r"(asan|tsan)", os.path.basename(os.path.normpath(BINARY_DIR))) is not None


class HostileDevicesTest(ExporterTestCase):
    # A real 3W sends about 1 KB; the network component takes at most 1 MB.
    CASES = [
        ("size:1048577", "0"),      # one byte over the cap
        ("sensors:1048576", "1"),   # 1 MB of sensors, at the cap: read in full
        ("endless", "0"),           # a chunked body without end
        ("drip:1000", "0"),         # a byte a second, until the request's time-out
    ]
    # What one load may add at its peak, and what a series of loads may keep beyond the first.
    GROWTH_MB = 64
    KEPT_MB = 24

    def test_each_hostile_device_is_down_or_read_within_bounded_memory(self):
        for fault, up in self.CASES:
            with self.subTest(fault), Site(1, faulty=[1], fault=fault) as site:
                # Generous: a 1 MB load takes half a minute under the sanitizers on a busy machine.
                config = ("listen: 127.0.0.1:0\ndefaults: {timeout: 150s, backoff: 0s}\n" +
                          device_list(site.hosts))
                with Exporter(self.dir, config) as exporter:
                    pid = exporter.process.pid
                    kept = None
                    # A drip lasts the request's whole time-out (10 s): one load shows it.
                    for load in range(1 if fault.startswith("drip") else 3):
                        before, _ = memory_mb(pid, reset_peak=True)
                        body = get(exporter.url + "/probe?target=room-1",
                                   {"X-Prometheus-Scrape-Timeout-Seconds": "150"}, timeout=180)[1]
                        self.assertEqual(metric(body, "roomalert_up", "room-1"), up, body)
                        # the large body's files are not kept (their folder may be tmpfs)
                        self.assertFalse(os.path.exists(
                            os.path.join(exporter.state, "room-1", "device.json")))
                        after, peak = memory_mb(pid)
                        if SANITIZED:
                            continue
                        self.assertLess(peak - before, self.GROWTH_MB, (load, before, peak))
                        kept = after if kept is None else kept
                        self.assertLess(after - kept, self.KEPT_MB, (load, kept, after))


class FoldersTest(ExporterTestCase):
    def test_a_second_exporter_on_either_folder_is_refused_and_leaves_its_files_alone(self):
        state, documents = self.path("state"), self.path("documents")
        config = unlisted_config(devices="devices: []\n")
        with Simulator() as sim, \
                Exporter(self.dir, config, "--documents-dir", documents) as first:
            self.assertEqual(first.probe(sim.address)[0], 200)
            made = sorted(os.listdir(os.path.join(documents, ".unlisted")))
            self.assertEqual(len(made), 1)
            holder = "is in use by another kestrel-exporter (PID %d)" % first.process.pid
            cases = [
                (["--state-dir", state], "the state directory %s " % state),
                (["--state-dir", self.path("other"), "--documents-dir", documents],
                 "the documents directory %s " % documents),
                (["--state-dir", documents], "the state directory %s " % documents),
            ]
            for args, which in cases:
                with self.subTest(args):
                    second = subprocess.run([EXPORTER, "--config", first.config] + args,
                                            capture_output=True, timeout=30,
                                            stdin=subprocess.DEVNULL)
                    self.assertEqual(second.returncode, 2, second.stderr)
                    self.assertIn(which + holder, second.stderr.decode())
                    self.assertEqual(sorted(os.listdir(os.path.join(documents, ".unlisted"))),
                                     made)
            self.assertEqual(get(first.url + "/-/healthy")[0], 200)

    def test_a_starting_exporter_removes_only_what_an_earlier_one_left(self):
        config = unlisted_config(devices="devices: []\n")
        with Simulator() as sim:
            with Exporter(self.dir, config) as crashed:
                self.assertEqual(crashed.probe(sim.address)[0], 200)
                crashed.process.send_signal(signal.SIGKILL)
                crashed.process.wait()
        unlisted = os.path.join(self.path("state"), ".unlisted")
        left = os.listdir(unlisted)
        self.assertEqual(len(left), 1)
        foreign = ["notes.txt", "0123456789abcdef/precious.txt", "mine/device.xml"]
        for name in foreign:
            os.makedirs(os.path.dirname(os.path.join(unlisted, name)), exist_ok=True)
            open(os.path.join(unlisted, name), "w").close()
        with Exporter(self.dir, config):
            pass
        self.assertEqual(sorted(os.listdir(unlisted)), ["0123456789abcdef", "mine", "notes.txt"])

    def test_the_descriptor_limit_is_raised_and_a_short_one_is_reported(self):
        config = self.path("exporter.yml")
        with open(config, "w") as f:
            f.write("listen: 127.0.0.1:0\ndevices:\n  - {name: d0, host: 10.0.0.1}\n")
        for soft, hard, reported in ((256, 4096, False), (256, 1024, True)):
            with self.subTest(hard=hard):
                def limit():
                    resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
                process = subprocess.Popen(
                    [EXPORTER, "--config", config, "--state-dir", self.path("state")],
                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                    preexec_fn=limit)
                try:
                    lines = []
                    while not lines or "listening on" not in lines[-1]:
                        lines.append(process.stderr.readline().decode())
                        self.assertNotEqual(lines[-1], "", lines)
                    with open("/proc/%d/limits" % process.pid) as f:
                        line = [l for l in f if l.startswith("Max open files")][0]
                    self.assertEqual(line.split()[3:5], [str(hard), str(hard)])
                    # One device's connection, 2 files for each of 160 workers' loads, 64 of
                    # the program's own: the server keeps the other 639 for its clients.
                    self.assertEqual("but the limit is 1024: at most 639 client connections"
                                     in "".join(lines), reported, lines)
                finally:
                    self.assertEqual(stop(process), 0)
                    process.stderr.close()


class WriteErrorsTest(ExporterTestCase):
    def refuse(self, folder, writable):
        """Makes a device's folder and its files writable or not for the exporter."""
        for name in os.listdir(folder):
            os.chmod(os.path.join(folder, name), 0o644 if writable else 0o444)
        os.chmod(folder, 0o755 if writable else 0o555)

    def test_a_folder_that_refuses_writes_is_said_once_and_counted(self):
        # root writes anywhere: the exporter then runs as nobody, for whom the folder is read-only.
        user = 65534 if os.geteuid() == 0 else None
        os.chmod(self.dir, 0o755)
        state, documents = self.path("state"), self.path("documents")
        for folder in (state, documents):
            os.mkdir(folder)
            if user is not None:
                shutil.chown(folder, user, user)
        with Simulator() as sim:
            # Every probe a load of its own: each is a write that fails.
            config = ("listen: 127.0.0.1:0\ndefaults: {min_interval: 0}\n" +
                      device_list([sim.address]))
            with Exporter(self.dir, config, "--documents-dir", documents, user=user) as exporter:
                for which, folder, up in (("state", state, "1"), ("documents", documents, "0")):
                    with self.subTest(which):
                        self.assertEqual(metric(exporter.probe("room-1")[1], "roomalert_up",
                                                "room-1"), "1")
                        self.refuse(os.path.join(folder, "room-1"), False)
                        for _ in range(3):
                            body = exporter.probe("room-1")[1]
                            self.assertEqual(metric(body, "roomalert_up", "room-1"), up, body)
                        count = re.search(r'^roomalert_exporter_write_errors_total\{folder="%s"\}'
                                          r' (\S+)$' % which, get(exporter.url + "/metrics")[1],
                                          re.M)
                        self.assertEqual(count and count.group(1), "3")
                        self.refuse(os.path.join(folder, "room-1"), True)
                        exporter.probe("room-1")
                        said = wait_for(lambda: "%s directory %s takes writes again"
                                        % (which, folder) in exporter.log(), 30)
                        self.assertTrue(said, exporter.log())
                        self.assertEqual(exporter.log().count("%s directory %s refuses writes"
                                                              % (which, folder)), 1)


if __name__ == "__main__":
    unittest.main()
